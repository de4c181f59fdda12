// The cloud operations of NetMgr; the job fetch loop is in net_loop.cc.
#include "net/net_mgr.h"

#include <curl/curl.h>

#include <cstring>
#include <string>
#include <utility>

#include <json/json.h>

#include "base/install_layout.h"
#include "base/log.h"
#include "base/log_excerpt.h"
#include "base/text_util.h"
#include "data/codec.h"
#include "data/data_mgr.h"
#include "data/json_util.h"
#include "net/cloud_settings.h"
#include "net/rest_client.h"
#include "net/signing.h"
#include "platform/paths.h"

namespace tillcast {

namespace {

constexpr const char* kFormContentType = "application/x-www-form-urlencoded";
constexpr uint32_t kDuplicateWindowMs = 5000;
constexpr size_t kMinTicketBytes = 100;
// 支付凭证 in GBK: payment vouchers are never uploaded.
constexpr char kPaymentVoucher[] = "\xD6\xA7\xB8\xB6\xC6\xBE\xD6\xA4";
// "print_jobs:", the prefix of the job list key before the device id.
constexpr size_t kJobKeyPrefixLength = 11;

bool SaveLogoFile(const std::string& bytes) {
  const std::string path = StoreLogoFilePath();
  int err = 0;
  if (!platform::ReplaceFileAtomically(path, bytes, &err)) {
    Log(LOG_ERROR, "保存商户logo失败,GetLastError:%d\n", err);
    return false;
  }
  Log(LOG_INFO, "保存商户logo完成\n");
  return true;
}

}  // namespace

NetMgr& NetMgr::GetInstance() {
  static NetMgr instance;
  return instance;
}

NetMgr::NetMgr() : NetMgr(platform::SystemClock()) {}

NetMgr::NetMgr(platform::Clock* clock, const NetLoopTimings& timings) : clock_(clock), timings_(timings) {
  // DataMgr must outlive us: our thread and our hook use it until we end.
  DataMgr::GetInstance();
  curl_global_init(CURL_GLOBAL_ALL);
}

NetMgr::~NetMgr() {
  RequestStop();  // wakes a wait and interrupts a BLPOP, as Stop does
  if (thread_.joinable()) thread_.join();
  if (hooksInstalled_) DataMgr::GetInstance().SetOrderQuery(nullptr);
  redis_.reset();
  curl_global_cleanup();
}

void NetMgr::SetReceiptRenderer(ReceiptRenderer renderer) {
  std::lock_guard<std::mutex> l(hookLock_);
  renderer_ = std::move(renderer);
}

void NetMgr::SetStoreLogoSaver(LogoSaver saver) {
  std::lock_guard<std::mutex> l(hookLock_);
  logoSaver_ = std::move(saver);
}

void NetMgr::InstallDataHooks() {
  DataMgr::GetInstance().SetOrderQuery([this](const std::string& orderNo) { GetOrderInfo(orderNo); });
  hooksInstalled_ = true;
}

void NetMgr::NetworkFailureMessage(int32_t code) {
  DataMgr::GetInstance().SetLastMessage(code == 28 ? "网络超时" : "网络错误");
}

std::string NetMgr::GetConnectParam() {
  DataMgr& data = DataMgr::GetInstance();
  Log(LOG_INFO, "NetMgr::GetConnectParam : 1");
  SignParams params;
  params["appId"] = data.GetBindInfo("appId");
  const std::string model = AnsiToUtf8(data.GetConfig("PortName"));
  params["deviceModel"] = HexEscape(model.data(), model.size());
  params["format"] = data.GetConfig("DeviceFormat");
  params["nonceStr"] = RandomString(8);
  params["version"] = data.GetConfig("Version");
  Log(LOG_INFO, "NetMgr::GetConnectParam : 2");
  return MakeSignedQuery(params);
}

bool NetMgr::CreateConnection() {
  DataMgr& data = DataMgr::GetInstance();
  Log(LOG_INFO, "NetMgr::CreateConnection 1");
  const std::string query = GetConnectParam();
  if (query.empty()) return false;  // not signed: nothing is sent
  const std::string address = data.GetConfig("URL") + "/store/printer/device" + "?" + query;
  Log(LOG_INFO, "NetMgr::CreateConnection %s", address.c_str());
  const RestClient::Response r = RestClient::get(address);
  Log(LOG_INFO, "NetMgr::CreateConnection 2");
  if (r.code == 200) {
    Log(LOG_INFO, "get 获取数据完成,code:%d,url:%s", r.code, address.c_str());
    CloudReached();
    return data.ParseConnectionInfo(r.body);
  }
  Log(LOG_ERROR, "rest client 获取数据失败,code:%d, url:%s\n", r.code, address.c_str());
  NetworkFailureMessage(r.code);
  return false;
}

bool NetMgr::GetConnectionInfo() {
  DataMgr& data = DataMgr::GetInstance();
  const std::string base = data.GetConfig("URL");
  const std::string token = data.GetConfig("secret");
  if (token.empty()) return false;

  const std::string body = "token=" + token;
  // The device key is a secret: the log gets it masked.
  const std::string logged = "token=" + MaskSecret(token);
  const std::string address = base + "/store/printer/device";
  Log(LOG_INFO, "NetMgr::GetConnectionInfo post url=%s,data=%s ", address.c_str(), logged.c_str());
  const RestClient::Response r = RestClient::post(address, kFormContentType, body);
  Log(LOG_INFO, "NetMgr::GetConnectionInfo r.code=%d,body=%s ", r.code,
      LogExcerpt(MaskJsonMembers(r.body, "secret")).c_str());
  if (r.code != 200) {
    Log(LOG_ERROR, "GetConnectionInfo 失败, response code: %d, url:%s, inputString:%s", r.code, address.c_str(),
        logged.c_str());
    NetworkFailureMessage(r.code);
    return false;
  }

  Json::Value root;
  if (!data_internal::ParseJson(r.body, &root)) return false;
  const Json::Value* code = data_internal::FindMember(root, "code");
  if (code == nullptr || !code->isInt()) return false;
  if (code->asInt() != 0) {
    if (const Json::Value* message = data_internal::FindMember(root, "message");
        message != nullptr && message->isString()) {
      const std::string text = Utf8ToAnsi(message->asString());
      data.SetLastMessage(text);
      Log(LOG_ERROR, "%s\n", LogExcerpt(text).c_str());
    }
    return false;
  }

  return data.SaveBindInfo(r.body);
}

bool NetMgr::UploadTicketInfoFile(const std::string& path) {
  std::string bytes;
  int err = 0;
  if (!platform::ReadWholeFile(path, &bytes, &err)) {
    Log(LOG_INFO, "UploadTicketInfoFile %s", path.c_str());
    Log(LOG_INFO, "上传小票文件打开失败！ file:%s\n", path.c_str());
    return false;
  }
  std::string body;
  if (!PrepareTicketUpload(bytes, path, clock_->TickCount(), TicketAge::kFresh, &body)) return false;
  return SendTicketUpload(body) == 200;
}

bool NetMgr::PrepareTicketUpload(const std::string& bytes, const std::string& path, uint32_t tick, TicketAge age,
                                 std::string* body) {
  const bool late = age == TicketAge::kLate;
  const bool held = age == TicketAge::kHeld;
  uint32_t& counter = held ? heldReceiptCounter_ : receiptCounter_;
  Log(LOG_INFO, "UploadTicketInfoFile %s", path.c_str());
  if (late) Log(LOG_INFO, "%s was left by an earlier run: uploaded without an additional receipt", path.c_str());
  if (bytes.size() < kMinTicketBytes) {
    if (!late) counter = 0;
    Log(LOG_ERROR, "小票文件：%s  大小<100 不上传\n", path.c_str());
    return false;
  }
  if (!IsHasChinese(bytes.data(), bytes.size())) {
    Log(LOG_INFO, "IsHasChinese false!");
    if (!late) counter = 0;
    return false;
  }
  if (bytes.find(kPaymentVoucher) != std::string::npos) return false;
  if (!late && !PrintAddtionalReceipt(bytes, tick, held)) return false;
  *body = SignedUploadBody(Base64Encode(bytes.data(), bytes.size()));
  return !body->empty();
}

bool NetMgr::PrintAddtionalReceipt(const std::string& data) { return PrintAddtionalReceipt(data, clock_->TickCount()); }

bool NetMgr::PrintAddtionalReceipt(const std::string& data, uint32_t tick, bool held) {
  uint32_t& counter = held ? heldReceiptCounter_ : receiptCounter_;
  uint32_t& last = held ? lastHeldReceiptTick_ : lastReceiptTick_;
  // Elapsed time, not "now - 5000 > last": that comparison wraps in the
  // first five seconds of the tick count and would reset every run there.
  // Held captures may come out of order: one printed before the last is
  // no reprint of it either.
  if (tick - last > kDuplicateWindowMs) counter = 0;
  last = tick;

  bool result;
  if (counter == 0) {
    const std::string templ = DataMgr::GetInstance().GetBindInfo("RedisConfigReceiptKey");
    if (!templ.empty()) {
      ReceiptRenderer renderer;
      {
        std::lock_guard<std::mutex> l(hookLock_);
        renderer = renderer_;
      }
      // The upload goes on whether or not the extra receipt printed.
      if (!renderer) {
        Log(LOG_WARNING, "PrintAddtionalReceipt: no receipt renderer");
      } else if (!renderer(data, templ)) {
        Log(LOG_WARNING, "PrintAddtionalReceipt: the additional receipt was not printed");
      }
    }
    result = true;
    counter += 1;
  } else {
    counter = 0;
    result = false;
  }
  Log(LOG_INFO, "PrintAddtionalReceipt return  %s", result ? "true" : "false");
  return result;
}

std::string NetMgr::SignedUploadBody(const std::string& content) {
  DataMgr& data = DataMgr::GetInstance();
  Log(LOG_INFO, "小票数据：%s\n", LogExcerpt(content).c_str());
  const std::string appId = data.GetBindInfo("appId");
  if (appId.empty()) {
    Log(LOG_ERROR, "小票上传失败 appid  无效\n");
    return {};
  }
  SignParams params;
  params["appId"] = appId;
  params["content"] = content;
  params["nonceStr"] = RandomString(8);
  return MakeSignedQuery(params);
}

bool NetMgr::UploadTicketInfo(const std::string& content) {
  const std::string body = SignedUploadBody(content);
  return !body.empty() && SendTicketUpload(body) == 200;
}

int32_t NetMgr::SendTicketUpload(const std::string& body) {
  const std::string address = DataMgr::GetInstance().GetConfig("URL") + "/store/printer/upload";
  const RestClient::Response r = RestClient::post(address, kFormContentType, body);
  if (r.code == 200) {
    Log(LOG_INFO, "成功上传小票信息,code:%d, url:%s\n", r.code, address.c_str());
    CloudReached();
    return r.code;
  }
  Log(LOG_ERROR, "rest client 上传小票信息失败,code:%d, url:%s\n", r.code, address.c_str());
  NetworkFailureMessage(r.code);
  return r.code;
}

void NetMgr::SetCloudReachableHook(std::function<void()> hook) {
  std::lock_guard<std::mutex> l(hookLock_);
  reachableHook_ = std::move(hook);
}

void NetMgr::CloudReached() {
  std::function<void()> hook;
  {
    std::lock_guard<std::mutex> l(hookLock_);
    hook = reachableHook_;
  }
  if (hook) hook();
}

bool NetMgr::GetStoreLogo() {
  const std::string address = DataMgr::GetInstance().GetConfig("LogoURL");
  const RestClient::Response r = RestClient::get(address);
  if (r.code != 200) {
    Log(LOG_ERROR, "GetStoreLogo 失败, response code:%d,url:%s\n", r.code, address.c_str());
    return false;
  }
  LogoSaver saver;
  {
    std::lock_guard<std::mutex> l(hookLock_);
    saver = logoSaver_;
  }
  // The download succeeded; whether the file could be kept is the saver's
  // to log.
  if (saver)
    saver(r.body);
  else
    SaveLogoFile(r.body);
  return true;
}

bool NetMgr::RequestReceiptPrint(const std::string& code) {
  DataMgr& data = DataMgr::GetInstance();
  const std::string address = OrderServiceBase() + "/open/print/receipt";
  std::string receiptNo = code;
  for (char& c : receiptNo) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  const std::string redisKey = data.GetBindInfo("RedisKey");
  // A key too short to carry the prefix names no device.
  const std::string deviceId = redisKey.size() > kJobKeyPrefixLength ? redisKey.substr(kJobKeyPrefixLength) : "";
  SignParams params;
  params["app_id"] = kOrderServiceAppId;
  params["receipt_no"] = receiptNo;
  params["device_id"] = deviceId;
  params["nonce_str"] = RandomString(8);
  const std::string body = MakeCvsSignedQuery(params);
  if (body.empty()) return false;  // not signed: nothing is sent
  const RestClient::Response r = RestClient::post(address, kFormContentType, body);
  if (r.code != 200) {
    Log(LOG_ERROR, "GetConnectionInfo 失败, response code: %d, url:%s, inputString:%s", r.code, address.c_str(),
        code.c_str());
    NetworkFailureMessage(r.code);
    return false;
  }
  Json::Value root;
  if (!data_internal::ParseJson(r.body, &root)) {
    Log(LOG_ERROR, "解析body抛出异常");
    return false;
  }
  const Json::Value* returnCode = data_internal::FindMember(root, "return_code");
  if (returnCode != nullptr && returnCode->isString() && returnCode->asString() != "SUCCESS") {
    if (const Json::Value* msg = data_internal::FindMember(root, "return_msg"); msg != nullptr && msg->isString()) {
      const std::string text = Utf8ToAnsi(msg->asString());
      data.SetLastMessage(text);
      Log(LOG_ERROR, "%s\n", LogExcerpt(text).c_str());
    }
    return false;
  }
  return true;
}

bool NetMgr::GetOrderInfo(const std::string& orderNo) {
  SignParams params;
  params["app_id"] = kOrderServiceAppId;
  params["order_no"] = orderNo;
  params["nonce_str"] = RandomString(8);
  const std::string query = MakeCvsSignedQuery(params);
  if (query.empty()) return false;  // not signed: nothing is sent
  const std::string address = OrderServiceBase() + "/open/order/info?" + query;
  Log(LOG_INFO, "requst url= %s", LogExcerpt(address).c_str());
  const RestClient::Response r = RestClient::get(address);
  if (r.code == 200) {
    Log(LOG_INFO, "body= %s", LogExcerpt(r.body).c_str());
    return DataMgr::GetInstance().ParseOrderInfo(r.body);
  }
  Log(LOG_ERROR, "GetConnectionInfo 失败, response code: %d, url:%s, inputString:%s", r.code,
      LogExcerpt(address).c_str(), LogExcerpt(query).c_str());
  NetworkFailureMessage(r.code);
  return false;
}

}  // namespace tillcast
