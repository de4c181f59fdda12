// The dialog in which the staff choose how the agent reaches the receipt
// printer: port type and port, serial line and paper settings. It opens and
// closes the chosen port, prints a test receipt, probes every port of a type
// and saves the choices into the device configuration.
//
// UI thread only, except the test print and auto-detect workers, which read
// a snapshot of the choices taken on the UI thread and post their control
// changes back to it. The destructor waits for a running worker.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

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
  explicit AdvanceSettingWnd(PortList* ports = nullptr);
  ~AdvanceSettingWnd() override;

  QString GetWindowClassName() const override { return QStringLiteral("AdvanceSettingWnd"); }
  QString GetSkinFile() override { return QStringLiteral("advance_setting.xml"); }
  std::string GetSkinFolder() override { return SkinFolder(); }
  void InitWindow() override;
  void Notify(TNotifyUI& msg) override;
  intptr_t HandleMessage(uint32_t message, uintptr_t wparam, intptr_t lparam, bool& handled) override;

  // The serial settings and port as the SDK takes them.
  struct PortChoice {
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

  intptr_t port_handle() const { return portHandle.load(); }
  // True while a test print or auto-detect worker runs.
  bool WorkerBusy() const { return busy_.load(); }
  // Waits for the worker (tests).
  void JoinWorker();

 private:
  void FillPortCombo();
  void OnOpenPort();
  void OnClosePort();
  void OnSave();
  void OnPrint();
  void OnAutoDetect();
  // Opens `choice` into portHandle and returns it (worker or UI thread);
  // `status` receives the failure text, if any.
  intptr_t OpenChoice(const PortChoice& choice, QString* status);
  void SetStatus(const QString& text);
  void PostStatus(const QString& text);
  void EnableActions(bool print, bool detect);
  void StartWorker(std::function<void()> body);

  PortList* ports_;
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

  std::atomic<intptr_t> portHandle{-1};
  std::atomic<bool> busy_{false};
  std::thread worker_;
};

}  // namespace tillcast::ui
