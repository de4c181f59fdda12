// The wiring of the whole program: the hooks of the start-up sequence
// filled with the main window, the capture road, the capture driver's
// watcher, the network thread, the print hooks and the keyboard filter.
//
// Construct and destroy on the UI thread, after the QApplication and before
// RunAgent; destroy after RunAgent has returned (the main window goes with
// this object).
#pragma once

#include <memory>

#include "app/startup.h"

namespace tillcast::capture {
class CaptureRoad;
}

namespace tillcast::ui {
class LoginWnd;
}

namespace tillcast {

class AgentWiring {
 public:
  // None owned; all outlive this object. Installs the printing hooks, so
  // construct it before DataMgr::Init runs.
  AgentWiring(MessageLoop* loop, platform::ProcessLauncher* launcher, CrashReporter* crash);
  ~AgentWiring();
  AgentWiring(const AgentWiring&) = delete;
  AgentWiring& operator=(const AgentWiring&) = delete;

  // Fills every hook of the run.
  void FillHooks(StartupHooks& hooks);
  ui::LoginWnd* window() const { return wnd_.get(); }

 private:
  void StartCapture();

  MessageLoop* loop_;
  platform::ProcessLauncher* launcher_;
  CrashReporter* crash_;
  // Outlives the window: a capture may still be on its way to the cloud.
  std::unique_ptr<capture::CaptureRoad> capture_;
  std::unique_ptr<ui::LoginWnd> wnd_;
};

}  // namespace tillcast
