// The advanced settings window against the printer SDK stand-in, with a
// pseudo-terminal as the serial port the receipt printer hangs on.
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>

#include <atomic>
#include <thread>

#include "base/worker_threads.h"
#include "print/printer_link.h"
#include "print/sdk_binding.h"
#include "ui/advance_setting_wnd.h"
#include "support/pty.h"
#include "support/subprocess.h"
#include "ui_fixture.h"

namespace tillcast::ui {
namespace {

using test::Pty;

class AdvanceSettingTest : public test::UiFixture {
 protected:
  void SetUp() override {
    UiFixture::SetUp();
    ASSERT_FALSE(pty_.slave().empty());
    ASSERT_TRUE(BindPrinterSdkFrom(test::BinDir() + "/libprint.so"));
    ports_ = std::make_unique<PortList>(std::make_unique<test::FixedPorts>(
        std::set<std::string>{pty_.slave()}, std::set<std::string>{dir_.Sub("lp0")}, std::set<std::string>{"queue"}));
    data().SetConfig("PortType", test::Gbk("串口"));
    data().SetConfig("PortName", pty_.slave());
    data().SetConfig("Baudrate", "1200");  // not offered: the first item
    data().SetConfig("Parity", test::Gbk("偶"));
    data().SetConfig("FlowControl", "XON/OFF");
  }
  void TearDown() override {
    if (wnd_) wnd_->JoinWorker();
    wnd_.reset();
    UnbindPrinterSdkForTest();
    UiFixture::TearDown();
  }
  void Open() {
    wnd_ = std::make_unique<AdvanceSettingWnd>(ports_.get());
    ASSERT_TRUE(wnd_->Create(nullptr, ProductDisplayName(), kStyleAppWindow, kExStyleWindowEdge));
    wnd_->ShowWindow(true, true);
  }
  QComboBox* Combo(const char* name) { return wnd_->FindControl<QComboBox>(QString::fromLatin1(name)); }
  QPushButton* Button(const char* name) { return wnd_->FindControl<QPushButton>(QString::fromLatin1(name)); }
  QString Status() { return wnd_->FindControl<QLineEdit>(QStringLiteral("EditStatus"))->text(); }

  Pty pty_;
  std::unique_ptr<PortList> ports_;
  std::unique_ptr<AdvanceSettingWnd> wnd_;
};

TEST_F(AdvanceSettingTest, CombosShowTheConfiguration) {
  Open();
  EXPECT_EQ(Combo("ComboType")->currentText(), QStringLiteral(u"串口"));
  EXPECT_EQ(Combo("ComboPort")->currentText(), QString::fromStdString(pty_.slave()));
  EXPECT_EQ(Combo("ComboBaudrate")->currentText(), QStringLiteral("2400"));
  EXPECT_EQ(Combo("ComboParity")->currentText(), QStringLiteral(u"偶"));
  EXPECT_EQ(Combo("ComboFlowControl")->currentText(), QStringLiteral("XON/OFF"));
  EXPECT_EQ(Combo("ComboFlowControl")->count(), 3);
  EXPECT_EQ(Combo("ComboPageWidth")->count(), 2);
  Combo("ComboType")->setCurrentIndex(Combo("ComboType")->findText(QStringLiteral(u"并口")));
  EXPECT_EQ(Combo("ComboPort")->currentText(), QString::fromStdString(dir_.Sub("lp0")));
}

TEST_F(AdvanceSettingTest, FlowControlCodes) {
  EXPECT_EQ(AdvanceSettingWnd::FlowCode(QStringLiteral("XON/OFF")), 2);
  EXPECT_EQ(AdvanceSettingWnd::FlowCode(QStringLiteral(u"硬件")), 1);
  EXPECT_EQ(AdvanceSettingWnd::FlowCode(QStringLiteral(u"无")), 3);
  Open();
  const AdvanceSettingWnd::PortChoice c = wnd_->ReadChoice();
  EXPECT_EQ(c.baud, 2400);
  EXPECT_EQ(c.parity, 2);
  EXPECT_EQ(c.flow, 2);
  EXPECT_EQ(c.dataBits, 7);  // not configured: the first item
}

TEST_F(AdvanceSettingTest, SaveWritesTheDisplayedValues) {
  Open();
  Combo("ComboPageWidth")->setCurrentIndex(1);
  Button("ButtonSave")->click();
  EXPECT_EQ(Status(), QStringLiteral(u"保存成功"));
  EXPECT_EQ(data().GetConfig("Baudrate"), "2400");
  EXPECT_EQ(data().GetConfig("PageWidth"), "80");
  EXPECT_EQ(data().GetConfig("PortName"), pty_.slave());
  EXPECT_EQ(data().GetConfig("Parity"), test::Gbk("偶"));
  EXPECT_TRUE(test::FileExists(data().ConfigPath()));
}

// Clicks `button` and pumps the UI until its worker's result has arrived
// (the worker's last post enables ButtonOpenPort again).
bool ClickAndFinish(AdvanceSettingWnd& wnd, QPushButton* button) {
  button->click();
  wnd.JoinWorker();
  auto* open = wnd.FindControl<QPushButton>(QStringLiteral("ButtonOpenPort"));
  return test::PumpUntil([&] { return open->isEnabled(); }, 5000);
}

TEST_F(AdvanceSettingTest, OpenAndCloseThePort) {
  Open();
  ASSERT_TRUE(ClickAndFinish(*wnd_, Button("ButtonOpenPort")));
  EXPECT_NE(wnd_->port_handle(), -1);
  EXPECT_TRUE(Button("ButtonClosePort")->isEnabled());
  EXPECT_TRUE(Button("ButtonPrint")->isEnabled());
  ASSERT_TRUE(ClickAndFinish(*wnd_, Button("ButtonClosePort")));
  EXPECT_EQ(Status(), QStringLiteral(u"关闭端口完成"));
  EXPECT_EQ(wnd_->port_handle(), -1);
  EXPECT_FALSE(Button("ButtonClosePort")->isEnabled());
  Button("ButtonClosePort")->setEnabled(true);
  ASSERT_TRUE(ClickAndFinish(*wnd_, Button("ButtonClosePort")));
  EXPECT_EQ(Status(), QStringLiteral(u"关闭端口失败"));
  // A port that does not exist.
  Combo("ComboType")->setCurrentIndex(Combo("ComboType")->findText(QStringLiteral(u"并口")));
  ports_.reset();
  wnd_->ComboSetItems(Combo("ComboPort"), {QString::fromStdString(dir_.Sub("missing/lp9"))});
  Combo("ComboPort")->setCurrentIndex(0);
  ASSERT_TRUE(ClickAndFinish(*wnd_, Button("ButtonOpenPort")));
  EXPECT_EQ(Status(), QStringLiteral(u"打开端口失败"));
  EXPECT_FALSE(Button("ButtonPrint")->isEnabled());
}

// True while another thread holds the printer lock.
bool PrinterLockHeld() {
  if (!PrinterLock().try_lock()) return true;
  PrinterLock().unlock();
  return false;
}

// A cloud job is printing a long document on the port the window opened:
// Close port waits for the document instead of cutting it off, and the UI
// stays free meanwhile.
TEST_F(AdvanceSettingTest, ClosePortDuringAPrintWaitsForTheDocument) {
  Open();
  ASSERT_TRUE(ClickAndFinish(*wnd_, Button("ButtonOpenPort")));
  ASSERT_NE(wnd_->port_handle(), -1);

  // Far more than the pseudo-terminal holds: the job's writes wait until
  // the "printer" (this test) reads, keeping the printer lock meanwhile.
  std::vector<unsigned char> document(256 * 1024, 'A');
  const std::string end = "END-OF-DOCUMENT";
  document.insert(document.end(), end.begin(), end.end());
  std::atomic<bool> printed{false};
  data().SetConfig("DataBits", "8");
  data().SetConfig("StopBits", "1");
  std::thread job([&] {
    PrinterLink link;
    printed.store(PrintRaw(link, document));
  });
  ASSERT_TRUE(test::WaitUntil(PrinterLockHeld, 5000));

  Button("ButtonClosePort")->click();  // returns at once: the close waits on its worker
  EXPECT_TRUE(wnd_->WorkerBusy());
  test::PumpFor(300);
  EXPECT_TRUE(wnd_->WorkerBusy()) << "the port was closed while a document was printing";
  EXPECT_NE(Status(), QStringLiteral(u"关闭端口完成"));

  const std::string bytes = pty_.Drain(200, 5000);
  job.join();
  EXPECT_TRUE(printed.load()) << log_.Text();
  EXPECT_EQ(bytes.size(), document.size());
  EXPECT_EQ(bytes.substr(bytes.size() - std::min(bytes.size(), end.size())), end);
  ASSERT_TRUE(test::PumpUntil([&] { return Status() == QStringLiteral(u"关闭端口完成"); }, 5000))
      << Status().toStdString();
  EXPECT_EQ(wnd_->port_handle(), -1);
  EXPECT_TRUE(Button("ButtonOpenPort")->isEnabled());
}

// The staff close the window while auto-detect waits for the printer (a
// job holds it): the window goes at once, and the worker stops on its own
// without printing on any port.
TEST_F(AdvanceSettingTest, ClosingTheWindowDuringAutoDetectDoesNotWaitForIt) {
  Pty second;
  ASSERT_FALSE(second.slave().empty());
  ports_ = std::make_unique<PortList>(std::make_unique<test::FixedPorts>(
      std::set<std::string>{pty_.slave(), second.slave()}, std::set<std::string>{}, std::set<std::string>{}));
  WorkerThreads workers;
  wnd_ = std::make_unique<AdvanceSettingWnd>(ports_.get(), &workers);
  ASSERT_TRUE(wnd_->Create(nullptr, ProductDisplayName(), kStyleAppWindow, kExStyleWindowEdge));
  wnd_->ShowWindow(true, true);
  ASSERT_EQ(Combo("ComboPort")->count(), 2);
  {
    std::unique_lock<std::mutex> printing(PrinterLock());
    Button("ButtonAutoDetect")->click();
    ASSERT_TRUE(test::PumpUntil([&] { return Status().startsWith(QStringLiteral(u"正在检测：")); }, 5000));
    // Holding the printer lock here, a window that waited for its worker
    // would never finish closing.
    Button("ButtonClose")->click();
    ASSERT_TRUE(test::PumpUntil([&] { return !wnd_->IsWindow(); }, 2000));
    wnd_.reset();
  }
  workers.JoinAll();
  EXPECT_EQ(pty_.Drain(300), "");
  EXPECT_EQ(second.Drain(300), "");
}

TEST_F(AdvanceSettingTest, TestPrintReachesTheSerialPort) {
  Open();
  Button("ButtonPrint")->click();
  EXPECT_FALSE(Button("ButtonPrint")->isEnabled());
  const std::string bytes = pty_.Drain(200, 5000);
  ASSERT_TRUE(test::PumpUntil([&] { return Status() == QStringLiteral(u"打印测试完成"); }, 5000));
  EXPECT_TRUE(Button("ButtonPrint")->isEnabled());
  EXPECT_TRUE(Button("ButtonAutoDetect")->isEnabled());
  EXPECT_NE(bytes.find(test::Gbk("测试小票")), std::string::npos);
  EXPECT_NE(bytes.find(test::Gbk("消费金额：")), std::string::npos);
  EXPECT_NE(bytes.find(pty_.slave()), std::string::npos);
  EXPECT_NE(bytes.find("\x1dV"), std::string::npos);  // cut
  EXPECT_EQ(wnd_->port_handle(), -1);
}

TEST_F(AdvanceSettingTest, AutoDetectPrintsOnEveryPortOfTheType) {
  Open();
  Button("ButtonAutoDetect")->click();
  const std::string bytes = pty_.Drain(200, 5000);
  ASSERT_TRUE(
      test::PumpUntil([&] { return Status() == QStringLiteral(u"检测完成,请选择测试小票显示的端口号"); }, 5000));
  EXPECT_NE(bytes.find(pty_.slave()), std::string::npos);
  EXPECT_TRUE(log_.Contains(test::Gbk("正在检测：") + pty_.slave()));
}

TEST_F(AdvanceSettingTest, DriverTypeIsNotAutoDetected) {
  Open();
  Combo("ComboType")->setCurrentIndex(Combo("ComboType")->findText(QStringLiteral(u"驱动")));
  Button("ButtonAutoDetect")->click();
  EXPECT_EQ(Status(), QStringLiteral(u"暂不支持驱动类型"));
  EXPECT_FALSE(wnd_->WorkerBusy());
  EXPECT_EQ(pty_.Drain(100), "");
}

TEST_F(AdvanceSettingTest, CaptionDoubleClickIsSwallowedAndCloseEnds) {
  Open();
  bool handled = false;
  EXPECT_EQ(wnd_->HandleMessage(kMsgNcDoubleClick, 0, 0, handled), 0);
  EXPECT_TRUE(handled);
  Button("ButtonClose")->click();
  EXPECT_TRUE(test::PumpUntil([&] { return !wnd_->IsWindow(); }, 2000));
}

}  // namespace
}  // namespace tillcast::ui
