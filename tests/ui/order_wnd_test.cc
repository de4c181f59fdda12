// The order pop-up: labels, item rows by name length, the countdown and
// closing only once the pointer has left.
#include <QLabel>

#include "ui/order_wnd.h"
#include "ui/window_text.h"
#include "ui_fixture.h"

namespace tillcast::ui {
namespace {

class OrderWndTest : public test::UiFixture {
 protected:
  void TearDown() override {
    CCvsOrderWnd::SetCursorSourceForTest(nullptr);
    CCvsOrderWnd::SetDeletedHookForTest(nullptr);
    CCvsOrderWnd::DestroyAll();
    UiFixture::TearDown();
  }
  CCvsOrderWnd* Open(const OrderInfo& order) {
    auto* wnd = new CCvsOrderWnd;
    wnd->SetOrder(order);
    EXPECT_TRUE(
        wnd->Create(nullptr, QStringLiteral(u"扫描购支付成功"), kStyleAppWindow, kExStyleTopmost | kExStyleToolWindow));
    wnd->GetHWND()->move(100, 100);
    wnd->ShowWindow(true, false);
    return wnd;
  }
  static QString Text(CCvsOrderWnd* w, const char* name) {
    auto* l = w->FindControl<QLabel>(QString::fromLatin1(name));
    return l ? l->text() : QStringLiteral("<missing>");
  }
};

OrderInfo SampleOrder() {
  OrderInfo o;
  o.order_no = "SO2024050100017";
  o.amount = "25.50";
  o.pay_amount = "23.00";
  o.pay_time = "2024-05-01 12:30:45";
  o.total_number = 4;
  o.items.push_back({test::Gbk("矿泉水550ml"), "2.50", "7.50", 3});
  o.items.push_back({std::string(19, 'a'), "1.00", "1.00", 1});                 // 19 bytes: short row
  o.items.push_back({test::Gbk("进口有机燕麦片12kg装"), "17.00", "17.00", 1});  // 20 bytes: tall row
  return o;
}

TEST_F(OrderWndTest, ShowsTheOrderAndOneRowPerItem) {
  ASSERT_EQ(test::Gbk("进口有机燕麦片12kg装").size(), 20u);
  CCvsOrderWnd* w = Open(SampleOrder());
  EXPECT_EQ(Text(w, "lbl_order_no"), QStringLiteral(u"订单号：SO2024050100017"));
  EXPECT_EQ(Text(w, "lbl_pay_time"), QStringLiteral(u"支付时间：2024-05-01 12:30:45"));
  EXPECT_EQ(Text(w, "lbl_total_num"), QStringLiteral("x4"));
  EXPECT_EQ(Text(w, "lbl_amount"), QStringLiteral(u"￥25.50"));
  EXPECT_EQ(Text(w, "lbl_pay_amount"), QStringLiteral(u"￥23.00"));
  EXPECT_TRUE(w->IsTimerRunning(CCvsOrderWnd::kCountdownTimer));

  QWidget* items = w->FindControl(QStringLiteral("OrderItems"));
  ASSERT_NE(items, nullptr);
  EXPECT_EQ(items->height(), 26 + 26 + 46);
  const QList<QWidget*> rows = items->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly);
  ASSERT_EQ(rows.size(), 3);
  EXPECT_EQ(rows[0]->objectName(), QStringLiteral("OrderItem"));
  EXPECT_EQ(rows[1]->objectName(), QStringLiteral("OrderItem"));
  EXPECT_EQ(rows[2]->objectName(), QStringLiteral("OrderItem2"));
  auto label = [&](int row, const char* name) {
    return qobject_cast<QLabel*>(WindowImplBase::FindSubControlByName(rows[row], QString::fromLatin1(name)))->text();
  };
  EXPECT_EQ(label(0, "lbl_item_name"), QStringLiteral(u"矿泉水550ml"));
  EXPECT_EQ(label(0, "lbl_item_sale_price"), QStringLiteral(u"￥2.50 x 3"));
  EXPECT_EQ(label(0, "lbl_item_total_sale_price"), QStringLiteral(u"￥7.50"));
  EXPECT_EQ(label(2, "lbl_item_name"), QStringLiteral(u"进口有机燕麦片12kg装"));
}

TEST_F(OrderWndTest, HugeOrderIsCutToTheWindowsBounds) {
  OrderInfo o = SampleOrder();
  o.order_no = std::string(1 << 20, 'N');
  o.items.clear();
  for (int i = 0; i < 20000; ++i) o.items.push_back({"item" + std::to_string(i), "1.00", "1.00", 1});
  o.items[0].item_name = std::string(1 << 20, 'x');
  CCvsOrderWnd* w = Open(o);
  EXPECT_EQ(Text(w, "lbl_order_no"), QStringLiteral(u"订单号：") + QString(61, QChar('N')) + QStringLiteral("..."));
  QWidget* items = w->FindControl(QStringLiteral("OrderItems"));
  ASSERT_NE(items, nullptr);
  const QList<QWidget*> rows = items->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly);
  ASSERT_EQ(rows.size(), static_cast<qsizetype>(kMaxOrderItems));
  const QString first =
      qobject_cast<QLabel*>(WindowImplBase::FindSubControlByName(rows[0], QStringLiteral("lbl_item_name")))->text();
  EXPECT_EQ(first.size(), static_cast<qsizetype>(kMaxOrderItemNameBytes));
  const QString last =
      qobject_cast<QLabel*>(WindowImplBase::FindSubControlByName(rows.back(), QStringLiteral("lbl_item_name")))->text();
  EXPECT_EQ(last, QStringLiteral("item99"));
  EXPECT_TRUE(log_.Contains("the window lists 100 of its 20000 items"));
}

TEST_F(OrderWndTest, OrderWithoutItemsHasAnEmptyList) {
  OrderInfo o = SampleOrder();
  o.items.clear();
  CCvsOrderWnd* w = Open(o);
  QWidget* items = w->FindControl(QStringLiteral("OrderItems"));
  ASSERT_NE(items, nullptr);
  EXPECT_EQ(items->maximumHeight(), 0);
  EXPECT_TRUE(items->findChildren<QWidget*>().isEmpty());
}

TEST_F(OrderWndTest, CountsDownThenWaitsForThePointerToLeave) {
  CCvsOrderWnd* w = Open(SampleOrder());
  const QRect frame = w->GetHWND()->frameGeometry();
  QPoint cursor = frame.center();
  CCvsOrderWnd::SetCursorSourceForTest([&] { return cursor; });
  bool deleted = false;
  CCvsOrderWnd::SetDeletedHookForTest([&](CCvsOrderWnd* gone) { deleted = deleted || gone == w; });
  for (int left = 6; left >= 1; --left) {
    w->SendMessage(kMsgTimer, CCvsOrderWnd::kCountdownTimer, 0);
    EXPECT_EQ(Text(w, "lbl_timer"), QStringLiteral(u"%1秒后关闭").arg(left));
  }
  EXPECT_EQ(w->countdown_value(), 0);
  // The pointer rests on the window: it stays, tick after tick.
  for (int i = 0; i < 3; ++i) {
    w->SendMessage(kMsgTimer, CCvsOrderWnd::kCountdownTimer, 0);
    test::PumpFor(10);
    ASSERT_FALSE(deleted);
    EXPECT_TRUE(w->IsWindow());
  }
  cursor = frame.bottomRight() + QPoint(50, 50);
  w->SendMessage(kMsgTimer, CCvsOrderWnd::kCountdownTimer, 0);
  EXPECT_TRUE(test::PumpUntil([&] { return deleted; }, 2000));
}

}  // namespace
}  // namespace tillcast::ui
