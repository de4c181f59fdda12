// The message loop on Qt's event loop; SIGTERM and SIGINT end it cleanly.
#pragma once

#include <memory>

#include "app/startup.h"

class QSocketNotifier;

namespace tillcast {

// Create after the QApplication, on the UI thread.
class QtMessageLoop final : public MessageLoop {
 public:
  QtMessageLoop();
  ~QtMessageLoop() override;
  void Run() override;
  // Thread-safe: posts the quit to the UI thread.
  void Quit() override;

 private:
  std::unique_ptr<QSocketNotifier> signal_notifier_;
};

}  // namespace tillcast
