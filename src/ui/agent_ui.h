// The agent's windows and subsystems plugged into its run: the hooks of
// the start-up sequence filled with the main window, the capture driver's
// watcher, the network thread and the keyboard filter.
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

class AgentUi {
 public:
  // None owned; all outlive this object. Installs the printing hooks, so
  // construct it before DataMgr::Init runs.
  AgentUi(MessageLoop* loop, platform::ProcessLauncher* launcher, CrashReporter* crash);
  ~AgentUi();
  AgentUi(const AgentUi&) = delete;
  AgentUi& operator=(const AgentUi&) = delete;

  // Fills every hook of the run.
  void FillHooks(StartupHooks& hooks);
  LoginWnd* window() const { return wnd_.get(); }

 private:
  void StartCapture();

  MessageLoop* loop_;
  platform::ProcessLauncher* launcher_;
  CrashReporter* crash_;
  // Outlives the window: a capture may still be on its way to the cloud.
  std::unique_ptr<capture::CaptureRoad> capture_;
  std::unique_ptr<LoginWnd> wnd_;
};

}  // namespace tillcast::ui
