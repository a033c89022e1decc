#include "platform/notify/DesktopNotice.h"

#include <gio/gio.h>

namespace brevant::platform {

bool ShowDesktopNotice(const std::string& appName, const std::string& summary, const std::string& body,
                       NoticeUrgency urgency, std::string* why) {
  GError* error = nullptr;
  // A connection of its own for each notice (they are rare): the shared
  // one would end the process when the bus goes away.
  gchar* address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, nullptr, &error);
  GDBusConnection* bus =
      address ? g_dbus_connection_new_for_address_sync(
                    address,
                    static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                                      G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
                    nullptr, nullptr, &error)
              : nullptr;
  g_free(address);
  if (!bus) {
    *why = std::string("no session bus: ") + (error ? error->message : "unknown error");
    g_clear_error(&error);
    return false;
  }
  GVariantBuilder actions, hints;
  g_variant_builder_init(&actions, G_VARIANT_TYPE("as"));
  g_variant_builder_init(&hints, G_VARIANT_TYPE("a{sv}"));
  g_variant_builder_add(&hints, "{sv}", "urgency", g_variant_new_byte(static_cast<guchar>(urgency)));
  // Notify(app_name, replaces_id, app_icon, summary, body, actions, hints,
  // expire_timeout): -1 leaves the time on screen to the desktop.
  GVariant* reply =
      g_dbus_connection_call_sync(bus, "org.freedesktop.Notifications", "/org/freedesktop/Notifications",
                                  "org.freedesktop.Notifications", "Notify",
                                  g_variant_new("(susssasa{sv}i)", appName.c_str(), 0u, "printer",
                                                summary.c_str(), body.c_str(), &actions, &hints, -1),
                                  G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, 10000, nullptr, &error);
  g_dbus_connection_close_sync(bus, nullptr, nullptr);
  g_object_unref(bus);
  if (!reply) {
    *why = std::string("the desktop's notification service did not take it: ") +
           (error ? error->message : "unknown error");
    g_clear_error(&error);
    return false;
  }
  g_variant_unref(reply);
  return true;
}

}  // namespace brevant::platform
