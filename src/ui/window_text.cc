#include "ui/window_text.h"

#include <utility>

#include "base/log.h"
#include "print/receipt_layout.h"

namespace tillcast::ui {

std::string CapWindowText(const std::string& ansi, size_t limit, const char* what) {
  static constexpr char kMark[] = "...";
  constexpr size_t kMarkBytes = sizeof kMark - 1;
  if (ansi.size() <= limit || limit <= kMarkBytes) return ansi.substr(0, limit);
  const size_t room = limit - kMarkBytes;
  // A cut in a double-byte character leaves its first half out.
  const size_t keep = FittingBytes(ansi, static_cast<long long>(room));
  std::string out = ansi.substr(0, keep <= room ? keep : 0) + kMark;
  Log(LOG_INFO, "window text %s cut from %zu to %zu bytes", what, ansi.size(), out.size());
  return out;
}

OrderInfo CapOrderForWindow(const OrderInfo& order) {
  OrderInfo out;
  out.order_no = CapWindowText(order.order_no, kMaxOrderFieldBytes, "order_no");
  out.amount = CapWindowText(order.amount, kMaxOrderFieldBytes, "amount");
  out.pay_amount = CapWindowText(order.pay_amount, kMaxOrderFieldBytes, "pay_amount");
  out.pay_time = CapWindowText(order.pay_time, kMaxOrderFieldBytes, "pay_time");
  out.total_number = order.total_number;
  const size_t count = order.items.size() < kMaxOrderItems ? order.items.size() : kMaxOrderItems;
  if (count < order.items.size()) {
    Log(LOG_INFO, "order %s: the window lists %zu of its %zu items", out.order_no.c_str(), count, order.items.size());
  }
  out.items.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    const OrderItem& item = order.items[i];
    OrderItem capped;
    capped.item_name = CapWindowText(item.item_name, kMaxOrderItemNameBytes, "item_name");
    capped.sale_price = CapWindowText(item.sale_price, kMaxOrderFieldBytes, "sale_price");
    capped.amount = CapWindowText(item.amount, kMaxOrderFieldBytes, "item amount");
    capped.quantity = item.quantity;
    out.items.push_back(std::move(capped));
  }
  return out;
}

}  // namespace tillcast::ui
