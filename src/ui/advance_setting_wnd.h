// The dialog in which the staff choose how the agent reaches the receipt
// printer: port type and port, serial line and paper settings. It opens and
// closes the chosen port, prints a test receipt, probes every port of a type
// and saves the choices into the device configuration.
//
// UI thread only, except the actions that reach the printer (open and close
// the port, the test print, auto-detect): each runs on a worker thread, one
// at a time, holding the printer lock for each use of the printer, so the
// window never waits for a document another thread is printing. A worker
// reads a snapshot of the choices taken on the UI thread, shares only the
// port state with the window and posts its control changes back. Closing
// the window does not wait for it: auto-detect stops after the receipt it
// is printing, and the worker belongs to the WorkerThreads given (which
// joins it); without one the window's own pool waits in the destructor.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "app/worker_threads.h"
#include "ui/toolkit.h"

class QComboBox;
class QLineEdit;
class QPushButton;

namespace tillcast {
class PortList;
}

namespace tillcast::ui {

class AdvanceSettingWnd final : public WindowImplBase {
 public:
  // `ports` (not owned) lists the ports; null = the process-wide list.
  // `workers` (not owned, outlives the worker it is given) runs the printer
  // actions; null = a pool of the window's own.
  explicit AdvanceSettingWnd(PortList* ports = nullptr, WorkerThreads* workers = nullptr);
  ~AdvanceSettingWnd() override;

  QString GetWindowClassName() const override { return QStringLiteral("AdvanceSettingWnd"); }
  QString GetSkinFile() override { return QStringLiteral("advance_setting.xml"); }
  std::string GetSkinFolder() override { return SkinFolder(); }
  void InitWindow() override;
  void Notify(TNotifyUI& msg) override;
  intptr_t HandleMessage(uint32_t message, uintptr_t wparam, intptr_t lparam, bool& handled) override;

  // The serial settings and port as the SDK takes them.
  struct PortChoice {
    bool typeKnown = false;  // a port type combo exists
    QString type;
    std::string name;  // ANSI
    int baud = 9600;
    int dataBits = 8;
    int stopBits = 0;
    int parity = 0;
    int flow = 3;
  };
  PortChoice ReadChoice(const QString& explicitName = QString()) const;
  // Flow-control code of a combo text: "XON/OFF" -> 2, "硬件" -> 1, else 3.
  static int FlowCode(const QString& text);

  intptr_t port_handle() const { return shared_->portHandle.load(); }
  // True while a printer action runs on its worker.
  bool WorkerBusy() const;
  // Waits until no printer action runs (tests).
  void JoinWorker();

  // What the window and its worker share; the worker keeps it alive.
  struct Shared {
    std::atomic<intptr_t> portHandle{-1};
    std::atomic<bool> closing{false};  // the window is gone: stop early
    std::mutex mu;
    std::condition_variable idle;
    bool busy = false;  // guarded by mu
  };

 private:
  void FillPortCombo();
  void OnOpenPort();
  void OnClosePort();
  void OnSave();
  void OnPrint();
  void OnAutoDetect();
  void SetStatus(const QString& text);
  void EnableActions(bool print, bool detect);
  // Disables the printer actions and runs `body` on a worker; false (and
  // nothing started) while another one runs.
  bool StartWorker(std::function<void(Shared& shared, const TaskPoster& post)> body);
  // Back on the UI thread after an action: every action button enabled
  // again, ButtonPrint and ButtonAutoDetect as given, ButtonClosePort when
  // a port is open.
  void FinishAction(bool print, bool detect);

  PortList* ports_;
  std::unique_ptr<WorkerThreads> ownWorkers_;
  WorkerThreads* workers_;
  QPushButton* buttonOpenPort = nullptr;
  QPushButton* buttonClosePort = nullptr;
  QPushButton* buttonSave = nullptr;
  QPushButton* buttonPrint = nullptr;
  QPushButton* buttonAutoDetect = nullptr;
  QLineEdit* editStatus = nullptr;
  QComboBox* comboType = nullptr;
  QComboBox* comboPort = nullptr;
  QComboBox* comboBaudrate = nullptr;
  QComboBox* comboDataBits = nullptr;
  QComboBox* comboStopBits = nullptr;
  QComboBox* comboParity = nullptr;
  QComboBox* comboFlowControl = nullptr;
  QComboBox* comboPageModel = nullptr;
  QComboBox* comboPageWidth = nullptr;

  std::shared_ptr<Shared> shared_ = std::make_shared<Shared>();
};

}  // namespace tillcast::ui
