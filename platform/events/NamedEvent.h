#pragma once
// Named events shared between Brevant's processes ("FaxPrinter",
// "VestrelSpool", "QuorAuto", "QuorPause", "QuorStop", "QuorRecv").
//
// An event is a file in the user's own runtime folder, held with a shared
// flock by every process that created or opened it: it exists exactly while
// a live process holds it, so a crashed holder never leaves a stale event
// behind. Signals are single bytes appended to a companion ".sig" file; a
// waiter compares its size against what it has seen and sleeps on inotify in
// between.
//
// The folder belongs to the user and nobody else may write into it; a folder
// that another user owns or may change, and an event file that is a symlink
// or not the user's own, are refused (the event then cannot be had, and the
// reason goes to the error log). Every lock is taken with a time-out.
#include <memory>
#include <string>

#include "platform/fs/Files.h"

namespace brevant::platform {

class NamedEvent {
 public:
  ~NamedEvent();
  NamedEvent(const NamedEvent&) = delete;
  NamedEvent& operator=(const NamedEvent&) = delete;

  // Creates the event, or opens it when another process holds it already
  // (*alreadyExisted tells which). Null when the runtime folder or the
  // event's files are refused, or another process kept its lock too long.
  static std::unique_ptr<NamedEvent> Create(const std::string& name, bool manualReset,
                                            bool initiallySignalled, bool* alreadyExisted = nullptr);
  // Opens an existing event; null when no live process holds it.
  static std::unique_ptr<NamedEvent> Open(const std::string& name);
  static bool Exists(const std::string& name);

  void Set();
  void Reset();
  // Waits until signalled (true) or until timeoutMs passed (false). An
  // auto-reset event consumes the signal.
  bool Wait(long timeoutMs);
  const std::string& Name() const { return name_; }

  // The folder that holds event files: BREVANT_RUNTIME_DIR, else
  // $XDG_RUNTIME_DIR/brevant, else (a process started outside the session:
  // by the print scheduler, cron or runuser) /run/user/<uid>/brevant when
  // that runtime folder is the user's, else /tmp/brevant-<uid>. It is made
  // with mode 0700 when missing.
  static std::string RuntimeDir();

  // Where refusals are reported: (text, "module.Procedure"). The logging
  // module points it at the error log; until then they go to stderr.
  using Reporter = void (*)(const std::string& text, const std::string& source);
  static void SetReporter(Reporter reporter);

  // How long a lock held by another process is waited for.
  static constexpr long kLockTimeoutMs = 2000;

 private:
  NamedEvent() = default;
  long SignalCount() const;
  std::string name_;
  UniqueFd lockFd_;
  UniqueFd sigFd_;
  bool manualReset_ = false;
  long seen_ = 0;
};

}  // namespace brevant::platform
