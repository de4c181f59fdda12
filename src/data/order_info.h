// One order of the order service, with its items.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tillcast {

struct OrderItem {
  std::string item_name;  // ANSI code page
  std::string sale_price;
  std::string amount;
  int32_t quantity = 0;
};

struct OrderInfo {
  std::string order_no;
  std::string amount;
  std::string pay_amount;
  std::string pay_time;
  int32_t total_number = 0;
  std::vector<OrderItem> items;
};

}  // namespace tillcast
