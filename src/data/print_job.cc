// Cloud print jobs, order replies, the order queue and the last message.
#include <json/json.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <utility>

#include "app/log.h"
#include "app/text_util.h"
#include "data/codec.h"
#include "data/data_mgr.h"
#include "data/json_util.h"

namespace tillcast {
namespace {

using data_internal::FindMember;
using data_internal::ParseJson;
using data_internal::StringMember;

// Leading decimal digits as atoi reads them, clamped to 32 bits the way the
// Windows runtime clamps instead of wrapping.
int32_t DecimalPrefix(const std::string& text) {
  const long long v = std::strtoll(text.c_str(), nullptr, 10);
  if (v > INT32_MAX) return INT32_MAX;
  if (v < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(v);
}

OrderItem ParseOrderItem(const Json::Value& element) {
  OrderItem item;
  item.item_name = Utf8ToAnsi(StringMember(element, "item_name"));
  item.sale_price = StringMember(element, "sale_price");
  item.amount = StringMember(element, "amount");
  // Only a text quantity counts; the service never sends numbers here.
  if (const Json::Value* q = FindMember(element, "quantity"); q != nullptr && q->isString()) {
    item.quantity = DecimalPrefix(q->asString());
  }
  return item;
}

}  // namespace

void DataMgr::ProcessPrintJob(const std::string& text) {
  Log(LOG_INFO, "开始解析一条数据");
  Json::Value job;
  if (!ParseJson(text, &job)) {
    Log(LOG_INFO, "解析数据失败");
    return;
  }

  const std::string format = StringMember(job, "format");
  if (format == "cvs_order_info") {
    const Json::Value* orderNo = FindMember(job, "order_no");
    if (orderNo == nullptr || !orderNo->isString()) return;
    OrderQuery query;
    {
      std::lock_guard<std::mutex> l(hookLock);
      query = orderQuery;
    }
    if (query) query(orderNo->asString());
    return;
  }
  if (format != "escpos") return;  // "driver" and unknown formats: nothing to do

  // A blocked job is dropped, not kept for when printing is switched on again.
  if (GetConfig("ClosePrint") == "true") {
    Log(LOG_INFO, "收到屏蔽的打印信息\n");
    return;
  }
  Log(LOG_INFO, "开始打印一条数据\n");
  const std::string data = StringMember(job, "data");
  const std::string jobId = StringMember(job, "job_id");
  const std::vector<unsigned char> bytes = Base64Decode(data);

  Log(LOG_INFO, "打印数据准备完毕\n");
  bool printed = false;
  if (RawPrinter printer = GetRawPrinter()) {
    printed = printer(bytes);
  } else {
    // No printer module: fail the way a printer that cannot be opened does.
    Log(LOG_ERROR, "打开端口错误：GetLastError:%d\n", ENOENT);
  }
  if (printed) {
    Log(LOG_INFO, "打印完成,job_id:%s\n", jobId.c_str());
  } else {
    Log(LOG_ERROR, "打印失败,job_id:%s\n", jobId.c_str());
  }
}

bool DataMgr::ParseOrderInfo(const std::string& text) {
  Json::Value reply;
  if (!ParseJson(text, &reply)) return false;

  const Json::Value* returnCode = FindMember(reply, "return_code");
  if (returnCode == nullptr || !returnCode->isString()) return false;
  if (returnCode->asString() != "SUCCESS") {
    if (const Json::Value* msg = FindMember(reply, "return_msg"); msg != nullptr && msg->isString()) {
      const std::string reason = Utf8ToAnsi(msg->asString());
      SetLastMessage(reason);
      Log(LOG_ERROR, "%s\n", reason.c_str());
    }
    return false;
  }

  const Json::Value* orderMember = FindMember(reply, "order");
  if (orderMember != nullptr && !orderMember->isObject()) return true;  // nothing to show
  static const Json::Value kEmpty(Json::objectValue);
  const Json::Value& order = orderMember != nullptr ? *orderMember : kEmpty;

  OrderInfo record;
  record.order_no = StringMember(order, "order_no");
  record.amount = StringMember(order, "amount");
  record.pay_amount = StringMember(order, "pay_amount");
  record.pay_time = StringMember(order, "pay_time");
  if (const Json::Value* total = FindMember(order, "total_number")) {
    if (total->isInt()) {
      record.total_number = total->asInt();
    } else if (total->isString()) {
      record.total_number = DecimalPrefix(total->asString());
    }
  }
  if (const Json::Value* items = FindMember(order, "items"); items != nullptr && items->isArray()) {
    for (const Json::Value& element : *items) {
      if (element.isObject()) record.items.push_back(ParseOrderItem(element));
    }
  }
  PushOrderInfo(record);
  return true;
}

void DataMgr::PushOrderInfo(const OrderInfo& record) {
  std::lock_guard<std::mutex> l(configLock);
  orderQueue.push_back(record);
}

bool DataMgr::PopOrderInfo(OrderInfo& out) {
  std::lock_guard<std::mutex> l(configLock);
  if (orderQueue.empty()) return false;
  out = std::move(orderQueue.front());
  orderQueue.pop_front();
  return true;
}

void DataMgr::SetLastMessage(const std::string& text) {
  {
    std::lock_guard<std::mutex> l(messageLock);
    lastMessage = text;
  }
  Log(LOG_INFO, "last message:%s\n", text.c_str());
}

std::string DataMgr::GetLastMessage() {
  std::lock_guard<std::mutex> l(messageLock);
  return lastMessage;
}

}  // namespace tillcast
