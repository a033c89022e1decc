#pragma once
// Named events shared between Brevant's processes ("FaxPrinter",
// "VestrelSpool", "QuorAuto", "QuorPause", "QuorStop", "QuorRecv").
//
// An event is a file in the runtime folder, held with a shared flock by every
// process that created or opened it: it exists exactly while a live process
// holds it, so a crashed holder never leaves a stale event behind. Signals are
// single bytes appended to a companion ".sig" file; a waiter compares its
// size against what it has seen and sleeps on inotify in between.
#include <memory>
#include <string>

namespace brevant::platform {

class NamedEvent {
 public:
  ~NamedEvent();
  NamedEvent(const NamedEvent&) = delete;
  NamedEvent& operator=(const NamedEvent&) = delete;

  // Creates the event, or opens it when another process holds it already
  // (*alreadyExisted tells which). Null when the runtime folder is unusable.
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

  // The folder that holds event files (BREVANT_RUNTIME_DIR, else
  // /run/brevant when usable, else $XDG_RUNTIME_DIR/brevant, or without that
  // variable the user's /run/user/<uid>/brevant, else /tmp/brevant-<uid>).
  static std::string RuntimeDir();

 private:
  NamedEvent() = default;
  long SignalCount() const;
  std::string name_;
  std::string sigPath_;
  int lockFd_ = -1;
  bool manualReset_ = false;
  long seen_ = 0;
};

}  // namespace brevant::platform
