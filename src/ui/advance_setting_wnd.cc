#include "ui/advance_setting_wnd.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>

#include "base/log.h"
#include "data/data_mgr.h"
#include "print/port_list.h"
#include "print/printer_link.h"
#include "print/sdk_binding.h"
#include "print/test_receipt.h"
#include "ui/port_choice.h"
#include "ui/ui_text.h"

namespace tillcast::ui {
namespace {

const QString kSerial = QStringLiteral(u"串口");
const QString kParallel = QStringLiteral(u"并口");
const QString kDriver = QStringLiteral(u"驱动");

struct ComboRow {
  const char* control;
  const char* key;
  std::vector<const char16_t*> items;  // empty: filled from discovery
};

const std::vector<ComboRow>& ComboRows() {
  static const std::vector<ComboRow> rows = {
      {"ComboType", "PortType", {}},
      {"ComboPort", "PortName", {}},
      {"ComboParity", "Parity", {u"无", u"奇", u"偶"}},
      {"ComboBaudrate", "Baudrate", {u"2400", u"4800", u"9600", u"19200", u"38400", u"57600", u"115200"}},
      {"ComboStopBits", "StopBits", {u"1", u"2"}},
      {"ComboDataBits", "DataBits", {u"7", u"8"}},
      {"ComboFlowControl", "FlowControl", {u"XON/OFF", u"硬件", u"无"}},
      {"ComboPageModel", "PageMode", {u"标准", u"页"}},
      {"ComboPageWidth", "PageWidth", {u"58", u"80"}},
  };
  return rows;
}

// Opens `c` into `handle` and returns it; `status` receives the failure
// text, if any. The caller holds PrinterLock.
intptr_t OpenChoice(const AdvanceSettingWnd::PortChoice& c, std::atomic<intptr_t>& handle, QString* status) {
  const PosSdkTable& sdk = PrinterSdk();
  if (!c.typeKnown || (c.type != kSerial && c.type != kParallel && c.type != kDriver)) {
    *status = QStringLiteral(u"端口类型无效");
  } else if (sdk.POS_Open == nullptr) {
    handle.store(-1);
  } else if (c.type == kSerial) {
    handle.store(sdk.POS_Open(c.name.c_str(), c.baud, c.dataBits, c.stopBits, c.parity, c.flow));
  } else if (c.type == kParallel) {
    handle.store(sdk.POS_Open(c.name.c_str(), 0, 0, 0, 0, 18));
  } else {
    if (handle.load() != -1 && sdk.POS_Close != nullptr) {
      sdk.POS_Close();
      handle.store(-1);
    }
    handle.store(sdk.POS_Open(c.name.c_str(), 0, 0, 0, 0, 20));
  }
  if (c.typeKnown && handle.load() == -1) *status = QStringLiteral(u"打开端口失败");
  return handle.load();
}

}  // namespace

AdvanceSettingWnd::AdvanceSettingWnd(PortList* ports, WorkerThreads* workers)
    : ports_(ports != nullptr ? ports : &PortList::GetInstance()),
      ownWorkers_(workers != nullptr ? nullptr : std::make_unique<WorkerThreads>()),
      workers_(workers != nullptr ? workers : ownWorkers_.get()) {}

AdvanceSettingWnd::~AdvanceSettingWnd() {
  // A running worker finishes on its own (auto-detect after the receipt it
  // is printing); only the window's own pool waits for it here.
  shared_->closing.store(true);
  if (ownWorkers_) ownWorkers_->JoinAll();
}

bool AdvanceSettingWnd::WorkerBusy() const {
  std::lock_guard<std::mutex> l(shared_->mu);
  return shared_->busy;
}

void AdvanceSettingWnd::JoinWorker() {
  std::unique_lock<std::mutex> l(shared_->mu);
  shared_->idle.wait(l, [this] { return !shared_->busy; });
}

int AdvanceSettingWnd::FlowCode(const QString& text) {
  // The combo offers "XON/OFF"; the older spellings are accepted too.
  if (text == QStringLiteral("XON/OFF") || text == QStringLiteral("Xon/Xoff")) return 2;
  if (text == QStringLiteral(u"硬件")) return 1;
  return 3;
}

void AdvanceSettingWnd::InitWindow() {
  buttonOpenPort = FindControl<QPushButton>(QStringLiteral("ButtonOpenPort"));
  buttonClosePort = FindControl<QPushButton>(QStringLiteral("ButtonClosePort"));
  buttonSave = FindControl<QPushButton>(QStringLiteral("ButtonSave"));
  buttonPrint = FindControl<QPushButton>(QStringLiteral("ButtonPrint"));
  buttonAutoDetect = FindControl<QPushButton>(QStringLiteral("ButtonAutoDetect"));
  editStatus = FindControl<QLineEdit>(QStringLiteral("EditStatus"));
  comboType = FindControl<QComboBox>(QStringLiteral("ComboType"));
  comboPort = FindControl<QComboBox>(QStringLiteral("ComboPort"));
  comboBaudrate = FindControl<QComboBox>(QStringLiteral("ComboBaudrate"));
  comboDataBits = FindControl<QComboBox>(QStringLiteral("ComboDataBits"));
  comboStopBits = FindControl<QComboBox>(QStringLiteral("ComboStopBits"));
  comboParity = FindControl<QComboBox>(QStringLiteral("ComboParity"));
  comboFlowControl = FindControl<QComboBox>(QStringLiteral("ComboFlowControl"));
  comboPageModel = FindControl<QComboBox>(QStringLiteral("ComboPageModel"));
  comboPageWidth = FindControl<QComboBox>(QStringLiteral("ComboPageWidth"));

  for (const ComboRow& row : ComboRows()) {
    auto* combo = FindControl<QComboBox>(QString::fromLatin1(row.control));
    if (combo == nullptr || combo == comboPort) continue;
    QStringList items;
    if (combo == comboType) {
      for (const auto& [type, names] : ports_->Refresh()) items << FromAnsi(type);
    } else {
      for (const char16_t* item : row.items) items << QString::fromUtf16(item);
    }
    ComboSetItems(combo, items);
    const int index = ComboFind(combo, ConfigText(row.key));
    // Selecting the type notifies "itemselect", which fills ComboPort.
    ComboSelect(combo, index >= 0 ? index : 0);
  }
  if (comboType == nullptr || comboType->count() == 0) FillPortCombo();
  const bool open = shared_->portHandle.load() != -1;
  if (buttonPrint) buttonPrint->setEnabled(true);
  if (buttonClosePort) buttonClosePort->setEnabled(open);
}

void AdvanceSettingWnd::FillPortCombo() {
  if (comboPort == nullptr) return;
  ComboSetItems(comboPort, PortChoices(ports_, comboType != nullptr ? comboType->currentText() : QString()));
  const int index = ComboFind(comboPort, ConfigText("PortName"));
  ComboSelect(comboPort, index >= 0 ? index : 0);
}

void AdvanceSettingWnd::Notify(TNotifyUI& msg) {
  const QString& name = msg.controlName;
  if (msg.sType == QStringLiteral("itemselect")) {
    if (name == QStringLiteral("ComboType")) {
      FillPortCombo();
      if (buttonAutoDetect) buttonAutoDetect->setEnabled(!WorkerBusy());
    }
    return;
  }
  if (msg.sType != QStringLiteral("click")) return;
  if (name == QStringLiteral("ButtonClose")) {
    Close(0);
  } else if (name == QStringLiteral("ButtonOpenPort")) {
    OnOpenPort();
  } else if (name == QStringLiteral("ButtonClosePort")) {
    OnClosePort();
  } else if (name == QStringLiteral("ButtonSave")) {
    OnSave();
  } else if (name == QStringLiteral("ButtonPrint")) {
    OnPrint();
  } else if (name == QStringLiteral("ButtonAutoDetect")) {
    OnAutoDetect();
  }
}

intptr_t AdvanceSettingWnd::HandleMessage(uint32_t message, uintptr_t wparam, intptr_t lparam, bool& handled) {
  if (message == kMsgNcDoubleClick) {
    handled = true;
    return 0;
  }
  return WindowImplBase::HandleMessage(message, wparam, lparam, handled);
}

AdvanceSettingWnd::PortChoice AdvanceSettingWnd::ReadChoice(const QString& explicitName) const {
  PortChoice c;
  c.typeKnown = comboType != nullptr;
  c.type = comboType != nullptr ? comboType->currentText() : QString();
  c.name = ToAnsi(explicitName.isEmpty() && comboPort != nullptr ? comboPort->currentText() : explicitName);
  if (comboBaudrate) c.baud = comboBaudrate->currentText().toInt();
  if (comboDataBits) c.dataBits = comboDataBits->currentText().toInt();
  if (comboStopBits) c.stopBits = comboStopBits->currentText() == QStringLiteral("2") ? 2 : 0;
  if (comboParity) {
    const QString p = comboParity->currentText();
    c.parity = p == QStringLiteral(u"奇") ? 1 : p == QStringLiteral(u"偶") ? 2 : 0;
  }
  if (comboFlowControl) c.flow = FlowCode(comboFlowControl->currentText());
  return c;
}

void AdvanceSettingWnd::SetStatus(const QString& text) {
  if (editStatus) editStatus->setText(text);
}

void AdvanceSettingWnd::EnableActions(bool print, bool detect) {
  if (buttonPrint) buttonPrint->setEnabled(print);
  if (buttonAutoDetect) buttonAutoDetect->setEnabled(detect);
}

void AdvanceSettingWnd::FinishAction(bool print, bool detect) {
  EnableActions(print, detect);
  if (buttonOpenPort) buttonOpenPort->setEnabled(true);
  if (buttonClosePort) buttonClosePort->setEnabled(shared_->portHandle.load() != -1);
}

bool AdvanceSettingWnd::StartWorker(std::function<void(Shared& shared, const TaskPoster& post)> body) {
  {
    std::lock_guard<std::mutex> l(shared_->mu);
    if (shared_->busy) return false;
    shared_->busy = true;
  }
  EnableActions(false, false);
  if (buttonOpenPort) buttonOpenPort->setEnabled(false);
  if (buttonClosePort) buttonClosePort->setEnabled(false);
  // The worker holds the shared state and a poster, never the window: it
  // may outlive the window, whose posts are then dropped.
  workers_->Start([shared = shared_, post = Poster(), body = std::move(body)] {
    body(*shared, post);
    std::lock_guard<std::mutex> l(shared->mu);
    shared->busy = false;
    shared->idle.notify_all();
  });
  return true;
}

void AdvanceSettingWnd::OnOpenPort() {
  SetStatus(QString());
  const PortChoice choice = ReadChoice();
  const bool detect = buttonAutoDetect != nullptr && buttonAutoDetect->isEnabled();
  // The printer lock may be held for seconds by a document being printed:
  // the open waits for it on the worker, not on the UI thread.
  StartWorker([this, choice, detect](Shared& shared, const TaskPoster& post) {
    QString status;
    bool open = false;
    {
      std::lock_guard<std::mutex> printing(PrinterLock());
      if (shared.closing.load()) return;  // the window is gone: open nothing
      open = OpenChoice(choice, shared.portHandle, &status) != -1;
    }
    post([this, status, open, detect] {
      SetStatus(status);
      FinishAction(open, detect);
    });
  });
}

void AdvanceSettingWnd::OnClosePort() {
  const bool print = buttonPrint != nullptr && buttonPrint->isEnabled();
  const bool detect = buttonAutoDetect != nullptr && buttonAutoDetect->isEnabled();
  // Waits for a document in print rather than cutting it off.
  StartWorker([this, print, detect](Shared& shared, const TaskPoster& post) {
    const PosSdkTable& sdk = PrinterSdk();
    QString status;
    {
      std::lock_guard<std::mutex> printing(PrinterLock());
      // Another print may have made its own port the library's current one
      // meanwhile: this window closes the port it opened.
      const intptr_t handle = shared.portHandle.load();
      if (handle != -1 && sdk.POS_SetHandle != nullptr) sdk.POS_SetHandle(static_cast<POS_HANDLE>(handle));
      const int rc = sdk.POS_Close != nullptr ? sdk.POS_Close() : POS_FAIL;
      if (rc == POS_FAIL || rc == POS_ERROR_INVALID_HANDLE) {
        status = QStringLiteral(u"关闭端口失败");
      } else {
        shared.portHandle.store(-1);
        status = QStringLiteral(u"关闭端口完成");
      }
    }
    post([this, status, print, detect] {
      SetStatus(status);
      FinishAction(print, detect);
    });
  });
}

void AdvanceSettingWnd::OnSave() {
  DataMgr& data = DataMgr::GetInstance();
  for (const ComboRow& row : ComboRows()) {
    if (auto* combo = FindControl<QComboBox>(QString::fromLatin1(row.control)))
      data.SetConfig(row.key, ToAnsi(combo->currentText()));
  }
  data.SaveConfig();
  SetStatus(QStringLiteral(u"保存成功"));
}

void AdvanceSettingWnd::OnPrint() {
  if (WorkerBusy()) return;
  SetStatus(QString());
  const PortChoice choice = ReadChoice();
  StartWorker([this, choice](Shared& shared, const TaskPoster& post) {
    {
      // One document at a time on the printer, whoever prints it.
      std::lock_guard<std::mutex> printing(PrinterLock());
      QString status;
      if (OpenChoice(choice, shared.portHandle, &status) == -1) {
        Log(LOG_ERROR, "%s",
            ToAnsi(QStringLiteral(u"打印测试时打开端口失败，端口名称：%1").arg(FromAnsi(choice.name))).c_str());
      } else {
        PrintTestReceipt(choice.name, choice.type == kDriver);
        if (PrinterSdk().POS_Close) PrinterSdk().POS_Close();
        shared.portHandle.store(-1);
      }
    }
    const bool detect = choice.type != kDriver;
    post([this, detect] {
      SetStatus(QStringLiteral(u"打印测试完成"));
      FinishAction(true, detect);
    });
  });
}

void AdvanceSettingWnd::OnAutoDetect() {
  if (WorkerBusy()) return;
  const PortChoice base = ReadChoice();
  if (base.type == kDriver) {
    SetStatus(QStringLiteral(u"暂不支持驱动类型"));
    return;
  }
  SetStatus(QString());
  std::vector<PortChoice> choices;
  if (comboPort != nullptr)
    for (int i = 0; i < comboPort->count(); ++i) choices.push_back(ReadChoice(comboPort->itemText(i)));
  StartWorker([this, choices](Shared& shared, const TaskPoster& post) {
    for (const PortChoice& choice : choices) {
      // A closed window ends the run after the receipt in print.
      if (shared.closing.load()) return;
      const QString name = FromAnsi(choice.name);
      post([this, name] { SetStatus(QStringLiteral(u"正在检测：") + name); });
      Log(LOG_INFO, "%s", ToAnsi(QStringLiteral(u"正在检测：%1\n").arg(name)).c_str());
      std::lock_guard<std::mutex> printing(PrinterLock());
      if (shared.closing.load()) return;  // closed while waiting for the printer
      QString status;
      if (OpenChoice(choice, shared.portHandle, &status) == -1) {
        Log(LOG_ERROR, "%s", ToAnsi(QStringLiteral(u"自动检测时打开端口失败，端口名称：%1").arg(name)).c_str());
        continue;
      }
      PrintTestReceipt(choice.name, false);
      if (PrinterSdk().POS_Close) PrinterSdk().POS_Close();
      shared.portHandle.store(-1);
    }
    post([this] {
      SetStatus(QStringLiteral(u"检测完成,请选择测试小票显示的端口号"));
      FinishAction(true, true);
    });
  });
}

}  // namespace tillcast::ui
