// The pop-up that tells the staff an order was paid: number, time, pieces,
// amounts and the items. It counts down from 6 seconds and then closes
// itself at the first second the pointer is not over it; the object deletes
// itself once closed. UI thread only.
#pragma once

#include <functional>

#include <QPoint>

#include "data/order_info.h"
#include "ui/toolkit.h"

namespace tillcast::ui {

class CCvsOrderWnd final : public WindowImplBase {
 public:
  static constexpr uint32_t kCountdownTimer = 100;
  static constexpr int kRowHeight = 26;
  static constexpr int kTallRowHeight = 46;
  static constexpr size_t kShortNameBytes = 19;

  CCvsOrderWnd();
  ~CCvsOrderWnd() override;

  // Keeps a copy cut to the window's bounds (window_text.h).
  void SetOrder(const OrderInfo& info);

  QString GetWindowClassName() const override { return QStringLiteral("CvsOrderWnd"); }
  QString GetSkinFile() override { return QStringLiteral("cvs_order_wnd.xml"); }
  std::string GetSkinFolder() override { return SkinFolder(); }
  void InitWindow() override;
  intptr_t HandleMessage(uint32_t message, uintptr_t wparam, intptr_t lparam, bool& handled) override;
  QWidget* CreateControl(const QString& className) override;
  void OnFinalMessage() override;

  int countdown_value() const { return countdown; }

  // Order windows still open; DestroyAll deletes them (owner going away).
  static size_t OpenCount();
  static void DestroyAll();

  // Where the pointer is, in global coordinates; tests replace it.
  static void SetCursorSourceForTest(std::function<QPoint()> source);
  // Tests: called when an order window object is deleted.
  static void SetDeletedHookForTest(std::function<void(CCvsOrderWnd*)> hook);

 private:
  void SetLabel(const QString& name, const QString& text);

  OrderInfo order;
  int countdown = 6;
};

}  // namespace tillcast::ui
