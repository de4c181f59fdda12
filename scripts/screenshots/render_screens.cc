// Renders the main window's pages, the advanced settings window and an
// order window to PNG files, with sample data and no network.
//   tillcast-screenshots <skin folder> <output folder>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <unistd.h>
#include <QLineEdit>
#include <QMovie>
#include <QLabel>
#include <QPixmap>

#include "base/text_util.h"
#include "data/data_mgr.h"
#include "print/port_list.h"
#include "ui/advance_setting_wnd.h"
#include "net/cloud_api.h"
#include "ui/login_wnd.h"
#include "ui/order_wnd.h"
#include "ui/toolkit.h"
#include "ui/ui_text.h"

namespace {

using namespace tillcast;

class SampleCloud final : public CloudApi {
 public:
  bool GetConnectionInfo() override { return true; }
  bool CreateConnection() override { return true; }
  bool GetStoreLogo() override { return false; }
  bool UploadTicketInfoFile(const std::string&) override { return true; }
  bool RequestReceiptPrint(const std::string&) override { return true; }
};

class SamplePorts final : public PortSource {
 public:
  std::optional<std::set<std::string>> SerialPorts() override {
    return std::set<std::string>{"/dev/ttyS0", "/dev/ttyUSB0"};
  }
  std::optional<std::set<std::string>> ParallelPorts() override { return std::set<std::string>{"/dev/usb/lp0"}; }
  std::optional<std::set<std::string>> Printers() override { return std::set<std::string>{"POS-80"}; }
};

std::string A(const char16_t* text) { return ui::ToAnsi(QString::fromUtf16(text)); }

void Settle(int ms) {
  QElapsedTimer t;
  t.start();
  while (t.elapsed() < ms) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
}

bool Save(QWidget* w, const QString& dir, const char* name) {
  Settle(150);
  const bool ok = w->grab().save(dir + "/" + name);
  std::printf("%s %s\n", ok ? "wrote" : "FAILED", name);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s <skin folder> <output folder>\n", argv[0]);
    return 2;
  }
  const std::string tmp = QDir::tempPath().toStdString() + "/tillcast-screens-" + std::to_string(getpid());
  setenv("XDG_DATA_HOME", tmp.c_str(), 1);
  setenv("XDG_CONFIG_HOME", tmp.c_str(), 1);
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);
  const QString out = QString::fromLocal8Bit(argv[2]);
  QDir().mkpath(out);
  ui::SetSkinFolder(argv[1]);
  ui::SetTrayAvailableForTest(1);

  DataMgr& data = DataMgr::GetInstance();
  data.SetConfig("PortType", A(u"串口"));
  data.SetConfig("PortName", "/dev/ttyUSB0");
  data.SetConfig("Baudrate", "115200");
  data.SetConfig("DataBits", "8");
  data.SetConfig("FlowControl", A(u"无"));
  data.SetConfig("PageWidth", "80");
  data.SetConfig("AutoStartUp", "true");
  data.SetConfig("DeviceID", "dev-0001");
  data.SetBindInfo("store_name", A(u"演示门店 · 人民路店"));
  data.SetBindInfo("device_name", A(u"收银台1"));

  SampleCloud cloud;
  PortList ports(std::make_unique<SamplePorts>());
  bool ok = true;
  {
    ui::LoginWndDeps deps;
    deps.cloud = &cloud;
    deps.ports = &ports;
    deps.spool_monitor = false;
    deps.cups_inbox = false;
    deps.quit = [] {};
    ui::LoginWnd wnd(std::move(deps));
    if (!wnd.Create(nullptr, ui::ProductDisplayName(), ui::kStyleAppWindow, ui::kExStyleWindowEdge)) return 1;
    wnd.ShowWindow(true, true);
    wnd.ShowPage(1);
    wnd.FindControl<QLineEdit>(QStringLiteral("EditPsw"))->setText(QStringLiteral("DEMO-KEY-0001"));
    ok = Save(wnd.GetHWND(), out, "main_login.png") && ok;
    wnd.ShowPage(8);
    if (auto* gif = wnd.FindControl<QLabel>(QStringLiteral("GifAnimWaiting")); gif && gif->movie())
      gif->movie()->jumpToFrame(3);
    ok = Save(wnd.GetHWND(), out, "main_waiting.png") && ok;
    wnd.ShowPage(2);
    ok = Save(wnd.GetHWND(), out, "main_ready.png") && ok;
    wnd.ShowPage(4);
    ok = Save(wnd.GetHWND(), out, "main_change_account.png") && ok;

    ui::AdvanceSettingWnd settings(&ports);
    if (settings.Create(&wnd, ui::ProductDisplayName(), ui::kStyleAppWindow, ui::kExStyleWindowEdge)) {
      settings.ShowWindow(true, true);
      settings.FindControl<QLineEdit>(QStringLiteral("EditStatus"))->setText(QStringLiteral(u"保存成功"));
      ok = Save(settings.GetHWND(), out, "advance_settings.png") && ok;
    }

    OrderInfo order;
    order.order_no = "SO2024050100017";
    order.amount = "28.50";
    order.pay_amount = "25.50";
    order.pay_time = "2024-05-01 12:30:45";
    order.total_number = 5;
    order.items.push_back({A(u"农夫山泉 550ml"), "2.00", "6.00", 3});
    order.items.push_back({A(u"进口有机燕麦片 1kg 家庭装"), "19.50", "19.50", 1});
    order.items.push_back({A(u"鲜切水果杯"), "3.00", "3.00", 1});
    auto* popup = new ui::CCvsOrderWnd;
    popup->SetOrder(order);
    if (popup->Create(&wnd, QStringLiteral(u"扫描购支付成功"), ui::kStyleAppWindow,
                      ui::kExStyleTopmost | ui::kExStyleToolWindow)) {
      popup->ShowWindow(true, false);
      popup->SendMessage(ui::kMsgTimer, ui::CCvsOrderWnd::kCountdownTimer, 0);
      ok = Save(popup->GetHWND(), out, "order_window.png") && ok;
    }
    ui::CCvsOrderWnd::DestroyAll();
  }
  QDir(QString::fromStdString(tmp)).removeRecursively();
  return ok ? 0 : 1;
}
