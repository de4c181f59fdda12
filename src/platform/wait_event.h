// Auto-reset events that count their signals, and waiting on several of
// them: the capture driver signals one per pending payload, and each
// TryConsume takes exactly one signal, so no signal is merged with another.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

namespace tillcast::platform {

// Thread-safe: Signal and TryConsume may race freely.
class WaitEvent {
 public:
  // Null when the system has no descriptor to spare.
  static std::unique_ptr<WaitEvent> Create();
  ~WaitEvent();
  WaitEvent(const WaitEvent&) = delete;
  WaitEvent& operator=(const WaitEvent&) = delete;

  void Signal();
  // Takes one pending signal; false when none is pending.
  bool TryConsume();
  // The descriptor handed to the driver; owned by the event.
  int native() const { return fd_; }

 private:
  explicit WaitEvent(int fd) : fd_(fd) {}
  int fd_;
};

enum class WaitResult { kSignalled, kTimeout, kFailed };

// Waits until at least one event is signalled or `timeout_ms` passes
// (-1 = forever). On kSignalled `*ready` holds the indices of every
// signalled event, ascending. No signal is consumed. The events must stay
// open for the whole wait.
WaitResult WaitAny(const std::vector<const WaitEvent*>& events, int timeout_ms, std::vector<size_t>* ready);

}  // namespace tillcast::platform
