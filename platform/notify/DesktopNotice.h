#pragma once
// Desktop notifications: a short message that the desktop of this process's
// session shows on its own (a bubble or banner), through the desktop's
// notification service (org.freedesktop.Notifications on the session bus).
// Only a process of the user's own session can reach it; a system service
// tells that process instead.
#include <string>

namespace brevant::platform {

enum class NoticeUrgency { Normal = 1, Critical = 2 };

// Shows one notification; false with *why when the session has no bus or
// the bus no notification service.
bool ShowDesktopNotice(const std::string& appName, const std::string& summary, const std::string& body,
                       NoticeUrgency urgency, std::string* why);

}  // namespace brevant::platform
