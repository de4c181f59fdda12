// The toolkit layer: notifications from the widgets, timers by id, posts
// from other threads, and posts after the window is gone.
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>

#include <thread>

#include "ui_fixture.h"

namespace tillcast::ui {
namespace {

int g_probe_messages = 0;  // UI thread only

// A window over the settings layout that records what reaches it.
class ProbeWnd final : public WindowImplBase {
 public:
  QString GetWindowClassName() const override { return QStringLiteral("ProbeWnd"); }
  QString GetSkinFile() override { return skin; }
  void Notify(TNotifyUI& msg) override { notes.push_back(msg.sType + QStringLiteral(":") + msg.controlName); }
  intptr_t HandleMessage(uint32_t message, uintptr_t wparam, intptr_t lparam, bool& handled) override {
    if (message >= 0x400) {
      ++g_probe_messages;
      messages.push_back({message, wparam, lparam});
      handled = true;
      return 0;
    }
    if (message == kMsgTimer) ticks.push_back(static_cast<uint32_t>(wparam));
    return WindowImplBase::HandleMessage(message, wparam, lparam, handled);
  }
  void OnFinalMessage() override { ++finals; }

  struct Msg {
    uint32_t message;
    uintptr_t wparam;
    intptr_t lparam;
  };
  QString skin = QStringLiteral("advance_setting.xml");
  std::vector<QString> notes;
  std::vector<Msg> messages;
  std::vector<uint32_t> ticks;
  int finals = 0;
};

class ToolkitTest : public test::UiFixture {};

TEST_F(ToolkitTest, WidgetsNotifyByTypeAndName) {
  ProbeWnd w;
  ASSERT_TRUE(w.Create(nullptr, QStringLiteral("probe"), kStyleAppWindow, kExStyleWindowEdge));
  w.FindControl<QPushButton>(QStringLiteral("ButtonSave"))->click();
  auto* combo = w.FindControl<QComboBox>(QStringLiteral("ComboPageWidth"));
  WindowImplBase::ComboSetItems(combo, {QStringLiteral("58"), QStringLiteral("80")});
  EXPECT_EQ(w.notes.size(), 1u);  // filling is silent
  w.ComboSelect(combo, 1);
  w.ComboSelect(combo, 1);  // selecting again notifies again
  auto* edit = w.FindControl<QLineEdit>(QStringLiteral("EditStatus"));
  edit->setText(QStringLiteral("x"));
  emit edit->returnPressed();
  const std::vector<QString> expected = {QStringLiteral("click:ButtonSave"),
                                         QStringLiteral("itemselect:ComboPageWidth"),
                                         QStringLiteral("itemselect:ComboPageWidth"),
                                         QStringLiteral("textchanged:EditStatus"), QStringLiteral("return:EditStatus")};
  EXPECT_EQ(w.notes, expected);
  EXPECT_EQ(w.FindControl(QStringLiteral("NoSuchControl")), nullptr);
}

TEST_F(ToolkitTest, MissingSkinFileFailsCreate) {
  ProbeWnd w;
  w.skin = QStringLiteral("no_such_layout.xml");
  EXPECT_FALSE(w.Create(nullptr, QStringLiteral("probe"), kStyleAppWindow, kExStyleWindowEdge));
  EXPECT_EQ(w.GetHWND(), nullptr);
}

TEST_F(ToolkitTest, PostsFromOtherThreadsArriveInOrderOnTheUiThread) {
  ProbeWnd w;
  ASSERT_TRUE(w.Create(nullptr, QStringLiteral("probe"), kStyleAppWindow, kExStyleWindowEdge));
  std::thread poster([&] {
    for (int i = 0; i < 100; ++i) EXPECT_TRUE(w.PostMessage(1136, static_cast<uintptr_t>(i), -i));
  });
  poster.join();
  EXPECT_TRUE(w.messages.empty());  // nothing runs on the posting thread
  ASSERT_TRUE(test::PumpUntil([&] { return w.messages.size() == 100u; }, 5000));
  for (int i = 0; i < 100; ++i) {
    EXPECT_EQ(w.messages[i].message, 1136u);
    EXPECT_EQ(w.messages[i].wparam, static_cast<uintptr_t>(i));
    EXPECT_EQ(w.messages[i].lparam, -i);
  }
}

TEST_F(ToolkitTest, PostsToADestroyedWindowAreDropped) {
  auto w = std::make_unique<ProbeWnd>();
  ASSERT_TRUE(w->Create(nullptr, QStringLiteral("probe"), kStyleAppWindow, kExStyleWindowEdge));
  g_probe_messages = 0;
  EXPECT_TRUE(w->PostMessage(1200, 1, 1));
  w.reset();
  test::PumpFor(50);
  EXPECT_EQ(g_probe_messages, 0);
}

TEST_F(ToolkitTest, TimersAreDeliveredByIdUntilKilled) {
  ProbeWnd w;
  ASSERT_TRUE(w.Create(nullptr, QStringLiteral("probe"), kStyleAppWindow, kExStyleWindowEdge));
  w.SetTimer(7, 10);
  ASSERT_TRUE(test::PumpUntil([&] { return w.ticks.size() >= 3u; }, 3000));
  EXPECT_TRUE(w.IsTimerRunning(7));
  w.KillTimer(7);
  EXPECT_FALSE(w.IsTimerRunning(7));
  const size_t seen = w.ticks.size();
  test::PumpFor(60);
  EXPECT_EQ(w.ticks.size(), seen);
  for (uint32_t id : w.ticks) EXPECT_EQ(id, 7u);
}

TEST_F(ToolkitTest, CloseDestroysTheWindowOnce) {
  ProbeWnd w;
  ASSERT_TRUE(w.Create(nullptr, QStringLiteral("probe"), kStyleAppWindow, kExStyleWindowEdge));
  w.ShowWindow(true, true);
  w.Close(5);
  ASSERT_TRUE(test::PumpUntil([&] { return !w.IsWindow(); }, 2000));
  EXPECT_EQ(w.finals, 1);
  EXPECT_EQ(w.close_result(), 5);
}

}  // namespace
}  // namespace tillcast::ui
