// Cloud print jobs, order replies, the order queue and the last message.
#include <json/json.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <utility>

#include "base/log.h"
#include "base/log_excerpt.h"
#include "base/text_util.h"
#include "data/codec.h"
#include "data/data_mgr.h"
#include "data/json_util.h"

namespace tillcast {
namespace {

using data_internal::FindMember;
using data_internal::ParseJson;
using data_internal::StringMember;

// A job id is the cloud's text: the log shows its start only.
constexpr size_t kJobIdLogBytes = 64;

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

bool DataMgr::ProcessPrintJob(const std::string& text, HeldPrintJob* held, const RawPrintTry& how) {
  Log(LOG_INFO, "开始解析一条数据");
  Json::Value job;
  if (!ParseJson(text, &job)) {
    Log(LOG_INFO, "解析数据失败");
    return true;
  }

  const std::string format = StringMember(job, "format");
  if (format == "cvs_order_info") {
    const Json::Value* orderNo = FindMember(job, "order_no");
    if (orderNo == nullptr || !orderNo->isString()) return true;
    OrderQuery query;
    {
      std::lock_guard<std::mutex> l(hookLock);
      query = orderQuery;
    }
    if (query) query(orderNo->asString());
    return true;
  }
  if (format != "escpos") return true;  // "driver" and unknown formats: nothing to do

  // A blocked job is dropped, not kept for when printing is switched on again.
  if (GetConfig("ClosePrint") == "true") {
    Log(LOG_INFO, "收到屏蔽的打印信息\n");
    return true;
  }
  Log(LOG_INFO, "开始打印一条数据\n");
  HeldPrintJob raw;
  raw.jobId = StringMember(job, "job_id");
  raw.bytes = Base64Decode(StringMember(job, "data"));
  job = Json::Value();  // the decoded bytes are all that is needed from here

  Log(LOG_INFO, "打印数据准备完毕\n");
  const RawPrintResult result = PrintHeld(raw, how);
  if (result == RawPrintResult::kUnavailable && held != nullptr) {
    *held = std::move(raw);
    return false;
  }
  LogPrintResult(raw.jobId, result == RawPrintResult::kPrinted);
  return true;
}

bool DataMgr::RetryHeldJob(const HeldPrintJob& job, const RawPrintTry& how) {
  if (GetConfig("ClosePrint") == "true") {
    Log(LOG_INFO, "收到屏蔽的打印信息\n");
    return true;
  }
  const RawPrintResult result = PrintHeld(job, how);
  if (result == RawPrintResult::kUnavailable) return false;
  LogPrintResult(job.jobId, result == RawPrintResult::kPrinted);
  return true;
}

void DataMgr::DropHeldJob(const HeldPrintJob& job, int32_t heldSeconds) {
  Log(LOG_ERROR, "cloud job %s dropped: the printer was unavailable for %d s",
      LogExcerpt(job.jobId, kJobIdLogBytes).c_str(), heldSeconds);
}

RawPrintResult DataMgr::PrintHeld(const HeldPrintJob& job, const RawPrintTry& how) {
  if (RawPrinter printer = GetRawPrinter()) return printer(job.bytes, how);
  // No printer module: fail the way a printer that cannot be opened does.
  Log(LOG_ERROR, "打开端口错误：GetLastError:%d\n", ENOENT);
  return RawPrintResult::kUnavailable;
}

void DataMgr::LogPrintResult(const std::string& jobId, bool printed) {
  if (printed) {
    Log(LOG_INFO, "打印完成,job_id:%s\n", LogExcerpt(jobId, kJobIdLogBytes).c_str());
  } else {
    Log(LOG_ERROR, "打印失败,job_id:%s\n", LogExcerpt(jobId, kJobIdLogBytes).c_str());
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
      Log(LOG_ERROR, "%s\n", LogExcerpt(reason).c_str());
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
  Log(LOG_INFO, "last message:%s\n", LogExcerpt(text).c_str());
}

std::string DataMgr::GetLastMessage() {
  std::lock_guard<std::mutex> l(messageLock);
  return lastMessage;
}

}  // namespace tillcast
