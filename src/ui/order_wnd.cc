#include "ui/order_wnd.h"

#include <QCoreApplication>
#include <QCursor>
#include <QLabel>
#include <QTimer>
#include <QVBoxLayout>

#include <set>

#include "ui/ui_text.h"
#include "ui/window_text.h"

namespace tillcast::ui {
namespace {

std::function<QPoint()>& CursorSource() {
  static std::function<QPoint()> source;
  return source;
}

std::function<void(CCvsOrderWnd*)>& DeletedHook() {
  static std::function<void(CCvsOrderWnd*)> hook;
  return hook;
}

std::set<CCvsOrderWnd*>& Live() {
  static std::set<CCvsOrderWnd*> live;
  return live;
}

QPoint CursorPos() { return CursorSource() ? CursorSource()() : QCursor::pos(); }

QString Yuan(const std::string& amount) { return QStringLiteral(u"￥") + FromAnsi(amount); }

}  // namespace

void CCvsOrderWnd::SetCursorSourceForTest(std::function<QPoint()> source) { CursorSource() = std::move(source); }
void CCvsOrderWnd::SetDeletedHookForTest(std::function<void(CCvsOrderWnd*)> hook) { DeletedHook() = std::move(hook); }

CCvsOrderWnd::CCvsOrderWnd() { Live().insert(this); }

void CCvsOrderWnd::SetOrder(const OrderInfo& info) { order = CapOrderForWindow(info); }

size_t CCvsOrderWnd::OpenCount() { return Live().size(); }

void CCvsOrderWnd::DestroyAll() {
  const std::set<CCvsOrderWnd*> all = Live();
  for (CCvsOrderWnd* w : all) delete w;
}

CCvsOrderWnd::~CCvsOrderWnd() {
  Live().erase(this);
  if (DeletedHook()) DeletedHook()(this);
}

void CCvsOrderWnd::SetLabel(const QString& name, const QString& text) {
  if (auto* label = FindControl<QLabel>(name)) label->setText(text);
}

void CCvsOrderWnd::InitWindow() {
  SetLabel(QStringLiteral("lbl_order_no"), QStringLiteral(u"订单号：") + FromAnsi(order.order_no));
  SetLabel(QStringLiteral("lbl_pay_time"), QStringLiteral(u"支付时间：") + FromAnsi(order.pay_time));
  SetLabel(QStringLiteral("lbl_total_num"), QStringLiteral("x%1").arg(order.total_number));
  SetLabel(QStringLiteral("lbl_amount"), Yuan(order.amount));
  SetLabel(QStringLiteral("lbl_pay_amount"), Yuan(order.pay_amount));
  // The window grows with its item list.
  if (QWidget* root = GetHWND()) root->adjustSize();
  SetTimer(kCountdownTimer, 1000);
}

QWidget* CCvsOrderWnd::CreateControl(const QString& className) {
  if (className != QStringLiteral("OrderItem")) return nullptr;
  auto* container = new QWidget;
  auto* layout = new QVBoxLayout(container);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  int height = 0;
  for (const OrderItem& item : order.items) {
    const bool tall = item.item_name.size() > kShortNameBytes;
    height += tall ? kTallRowHeight : kRowHeight;
    QWidget* row = CDialogBuilder::Create(tall ? QStringLiteral("OrderItem2.xml") : QStringLiteral("OrderItem.xml"),
                                          nullptr, container);
    if (row == nullptr) continue;
    row->setFixedHeight(tall ? kTallRowHeight : kRowHeight);
    if (auto* l = qobject_cast<QLabel*>(FindSubControlByName(row, QStringLiteral("lbl_item_name"))))
      l->setText(FromAnsi(item.item_name));
    if (auto* l = qobject_cast<QLabel*>(FindSubControlByName(row, QStringLiteral("lbl_item_sale_price"))))
      l->setText(Yuan(item.sale_price) + QStringLiteral(" x %1").arg(item.quantity));
    if (auto* l = qobject_cast<QLabel*>(FindSubControlByName(row, QStringLiteral("lbl_item_total_sale_price"))))
      l->setText(Yuan(item.amount));
    layout->addWidget(row);
  }
  container->setFixedHeight(height);
  return container;
}

intptr_t CCvsOrderWnd::HandleMessage(uint32_t message, uintptr_t wparam, intptr_t lparam, bool& handled) {
  if (message == kMsgTimer && wparam == kCountdownTimer) {
    if (countdown >= 1) {
      SetLabel(QStringLiteral("lbl_timer"), QStringLiteral(u"%1秒后关闭").arg(countdown));
      --countdown;
    } else if (QWidget* root = GetHWND()) {
      if (!root->frameGeometry().contains(CursorPos())) Close(1);
    }
  }
  return WindowImplBase::HandleMessage(message, wparam, lparam, handled);
}

void CCvsOrderWnd::OnFinalMessage() {
  // Deleted from the event loop, outside any of this object's own calls.
  QTimer::singleShot(0, QCoreApplication::instance(), [this] {
    if (Live().count(this) != 0) delete this;
  });
}

}  // namespace tillcast::ui
