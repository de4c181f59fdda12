// Bounds of the cloud's texts in windows: a store name or an order from the
// cloud may be any size, and a label or an item list of that size holds the
// UI thread and its memory for as long as Qt lays it out. Texts are cut
// before they reach Qt, with an INFO line saying what was cut.
//
// Pure apart from the log line; thread-safe.
#pragma once

#include <cstddef>
#include <string>

#include "data/order_info.h"

namespace tillcast::ui {

// Bytes of the narrow (GBK) text a window shows at most.
inline constexpr size_t kMaxWindowNameBytes = 128;     // store and device names, device id
inline constexpr size_t kMaxWindowMessageBytes = 512;  // messages of the cloud
inline constexpr size_t kMaxOrderFieldBytes = 64;      // order number, time, amounts, prices
inline constexpr size_t kMaxOrderItemNameBytes = 128;
// Items an order window lists at most.
inline constexpr size_t kMaxOrderItems = 100;

// `ansi` itself when it is at most `limit` bytes; otherwise its first bytes
// up to a whole character and "...", `limit` bytes at most, and an INFO line
// naming `what`.
std::string CapWindowText(const std::string& ansi, size_t limit, const char* what);

// The order with its texts and its item list cut to the bounds above.
OrderInfo CapOrderForWindow(const OrderInfo& order);

}  // namespace tillcast::ui
