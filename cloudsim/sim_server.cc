#include "sim_server.h"

#include <httplib.h>
#include <json/json.h>

#include <algorithm>
#include <cstdarg>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

namespace cloudsim {
namespace {

constexpr char kOrderKey[] = "Rk7QmWzTpLx2VbNc9HfJdYs4GuEaXo3L";
constexpr char kOrderAppId[] = "qoravtlumbexindsk72";

void Reply(httplib::Response& res, int status, const Json::Value& body) {
  res.status = status;
  res.set_content(Compact(body), "application/json; charset=utf-8");
}

Json::Value DeviceError(int code, const std::string& message) {
  Json::Value v;
  v["code"] = code;
  v["message"] = message;
  return v;
}

Json::Value OrderError(const std::string& message) {
  Json::Value v;
  v["return_code"] = "FAIL";
  v["return_msg"] = message;
  return v;
}

std::map<std::string, std::string> QueryOf(const httplib::Request& req) {
  const size_t q = req.target.find('?');
  return q == std::string::npos ? std::map<std::string, std::string>() : ParseForm(req.target.substr(q + 1));
}

// A number from a request as a log may show it: letters, digits, '-' and
// '_' kept, anything else as '?', at most 64 characters.
std::string Printable(const std::string& text) {
  std::string out;
  for (char c : text.substr(0, 64)) {
    const bool plain =
        (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '-' || c == '_';
    out += plain ? c : '?';
  }
  return out;
}

std::string Param(const std::map<std::string, std::string>& p, const char* name) {
  const auto it = p.find(name);
  return it == p.end() ? std::string() : it->second;
}

// An ESC/POS document of a receipt text: init, the GBK text, feed and cut.
std::string EscPosOf(const std::string& utf8Text) {
  return std::string("\x1b\x40", 2) + Utf8ToGbk(utf8Text) + "\n\n\n" + std::string("\x1d\x56\x01", 3);
}

// Request bodies are read through a content reader: the library's own
// reading of form bodies stops at 8 KB, far below a receipt with a logo.
constexpr size_t kMaxBodyBytes = 64u << 20;

using BodyHandler = std::function<void(const httplib::Request&, const std::string& body, httplib::Response&)>;

httplib::Server::HandlerWithContentReader WithBody(BodyHandler handler) {
  return [handler = std::move(handler)](const httplib::Request& req, httplib::Response& res,
                                        const httplib::ContentReader& reader) {
    std::string body;
    bool tooLarge = false;
    reader([&](const char* data, size_t length) {
      if (body.size() + length > kMaxBodyBytes) {
        tooLarge = true;
        return false;
      }
      body.append(data, length);
      return true;
    });
    if (tooLarge) return Reply(res, 413, DeviceError(41301, "request body too large"));
    handler(req, body, res);
  };
}

}  // namespace

SimServer::SimServer(SimOptions options, SimData data, FILE* log)
    : options_(std::move(options)), data_(std::move(data)), log_(log), server_(std::make_unique<httplib::Server>()) {
  // Numbering goes on after the uploads a previous run left in the folder,
  // so a restarted simulator never overwrites one.
  std::error_code ec;
  unsigned last = 0;
  for (const auto& dev : std::filesystem::directory_iterator(options_.uploads, ec)) {
    std::error_code inner;
    for (const auto& f : std::filesystem::directory_iterator(dev.path(), inner)) {
      if (f.path().extension() != ".dat") continue;
      last = std::max(last, static_cast<unsigned>(std::strtoul(f.path().stem().c_str(), nullptr, 10)));
    }
  }
  uploadSeq_ = last;
  for (const auto& dev : std::filesystem::directory_iterator(options_.uploads, ec)) {
    std::error_code inner;
    for (const auto& f : std::filesystem::directory_iterator(dev.path(), inner)) {
      std::string key;
      if (f.path().extension() == ".key" && ReadFile(f.path().string(), &key)) uploadKeys_.insert(key);
    }
  }
  Routes();
}

SimServer::~SimServer() = default;

void SimServer::LogLine(const char* format, ...) {
  std::lock_guard<std::mutex> l(logLock_);
  const std::time_t t = std::time(nullptr);
  std::tm tm{};
  localtime_r(&t, &tm);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &tm);
  std::fprintf(log_, "%s cloudsim: ", stamp);
  va_list args;
  va_start(args, format);
  std::vfprintf(log_, format, args);
  va_end(args);
  std::fputc('\n', log_);
  std::fflush(log_);
}

int SimServer::Bind() {
  if (options_.httpPort == 0) {
    const int port = server_->bind_to_any_port(options_.bind);
    if (port <= 0) return -1;
    options_.httpPort = port;
  } else if (!server_->bind_to_port(options_.bind, options_.httpPort)) {
    return -1;
  }
  if (options_.publicUrl.empty())
    options_.publicUrl = "http://" + options_.bind + ":" + std::to_string(options_.httpPort);
  return options_.httpPort;
}

bool SimServer::Run() { return server_->listen_after_bind(); }

void SimServer::Stop() {
  stopping_.store(true);
  server_->stop();
}

void SimServer::Routes() {
  httplib::Server& s = *server_;
  s.set_logger([this](const httplib::Request& req, const httplib::Response& res) {
    // The path only: queries and bodies carry keys and signatures.
    std::string detail;
    const bool refusal = !res.body.empty() && res.body[0] == '{' && res.body.find("\"code\":0") == std::string::npos &&
                         res.body.find("\"SUCCESS\"") == std::string::npos;
    if (res.status >= 400 || refusal) detail = res.body.substr(0, 160);
    LogLine("%s %s -> %d %s", req.method.c_str(), req.path.c_str(), res.status, detail.c_str());
  });

  // Binding by device key.
  s.Post("/store/printer/device",
         WithBody([this](const httplib::Request&, const std::string& body, httplib::Response& res) {
           const auto params = ParseForm(body);
           const Device* d = data_.DeviceByKey(Param(params, "token"));
           const Store* st = d != nullptr ? data_.StoreOf(*d) : nullptr;
           if (st == nullptr) return Reply(res, 200, DeviceError(40401, "设备码无效"));
           Json::Value v;
           v["code"] = 0;
           v["message"] = "success";
           v["result"]["appId"] = d->appId;
           v["result"]["storeId"] = st->storeId;
           v["result"]["jobKey"] = JobKey(d->deviceId);
           v["result"]["secret"] = st->secret;
           Reply(res, 200, v);
         }));

  // The signed connection query.
  s.Get("/store/printer/device", [this](const httplib::Request& req, httplib::Response& res) {
    const auto params = QueryOf(req);
    const Device* d = data_.DeviceByAppId(Param(params, "appId"));
    const Store* st = d != nullptr ? data_.StoreOf(*d) : nullptr;
    if (st == nullptr) return Reply(res, 404, DeviceError(40402, "unknown appId"));
    if (!SignatureValid(params, st->secret)) return Reply(res, 403, DeviceError(40301, "bad signature"));
    Json::Value v;
    v["code"] = 0;
    v["message"] = "success";
    Json::Value& dev = v["result"]["device"];
    dev["storeCode"] = st->storeCode;
    dev["storeName"] = st->storeName;
    dev["deviceName"] = d->deviceName;
    dev["deviceId"] = d->deviceId;
    dev["job_key"] = JobKey(d->deviceId);
    dev["config_notify_key"] = NotifyKey(d->deviceId);
    dev["logo"] = options_.publicUrl + "/logo/" + st->storeId + ".png";
    {
      std::lock_guard<std::mutex> l(templateLock_);
      v["result"]["config"]["receipt"] = st->receiptTemplate;
    }
    Json::Value& conn = v["result"]["connection"];
    conn["host"] = options_.advertiseRedisHost.empty() ? options_.redis.host : options_.advertiseRedisHost;
    conn["port"] = options_.advertiseRedisPort != 0 ? options_.advertiseRedisPort : options_.redis.port;
    conn["password"] = options_.redis.password;
    conn["database"] = options_.redis.db;
    Reply(res, 200, v);
  });

  // Signed uploads: stored decoded, one file per receipt.
  s.Post("/store/printer/upload",
         WithBody([this](const httplib::Request&, const std::string& body, httplib::Response& res) {
           const auto params = ParseForm(body);
           const Device* d = data_.DeviceByAppId(Param(params, "appId"));
           const Store* st = d != nullptr ? data_.StoreOf(*d) : nullptr;
           if (st == nullptr) return Reply(res, 404, DeviceError(40402, "unknown appId"));
           if (!SignatureValid(params, st->secret)) return Reply(res, 403, DeviceError(40301, "bad signature"));
           if (const int fault = uploadFault_.load(); fault > 0) {
             return Reply(res, fault, DeviceError(fault * 100 + 1, "upload refused by the test fault"));
           } else if (fault < 0) {
             // A cloud that took the request and never answers.
             while (uploadFault_.load() < 0 && !stopping_.load())
               std::this_thread::sleep_for(std::chrono::milliseconds(20));
             return Reply(res, 503, DeviceError(50301, "held"));
           }
           const std::string key = Param(params, "nonceStr") + ":" + Param(params, "sign");
           std::lock_guard<std::mutex> l(uploadLock_);
           if (uploadKeys_.count(key) != 0) {
             ++uploadRepeats_;
             LogLine("upload repeated (nonce %s): already stored", Param(params, "nonceStr").c_str());
             return Reply(res, 200, DeviceError(0, "success"));
           }
           const std::string bytes = Base64Decode(Param(params, "content"));
           const std::filesystem::path dir = std::filesystem::path(options_.uploads) / d->deviceId;
           std::error_code ec;
           std::filesystem::create_directories(dir, ec);
           char name[32];
           std::snprintf(name, sizeof name, "%06u", ++uploadSeq_);
           const std::filesystem::path tmp = dir / (std::string(name) + ".part");
           {
             std::ofstream out(tmp, std::ios::binary);
             out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
             std::ofstream keyFile(dir / (std::string(name) + ".key"), std::ios::binary);
             keyFile << key;
             if (!out || !keyFile) return Reply(res, 500, DeviceError(50001, "cannot store the upload"));
           }
           std::filesystem::rename(tmp, dir / (std::string(name) + ".dat"), ec);
           if (ec) return Reply(res, 500, DeviceError(50001, "cannot store the upload"));
           uploadKeys_.insert(key);
           LogLine("upload %s/%s.dat (%zu bytes)", d->deviceId.c_str(), name, bytes.size());
           Reply(res, 200, DeviceError(0, "success"));
         }));

  s.Get(R"(/logo/([^/]+)\.png)", [this](const httplib::Request& req, httplib::Response& res) {
    const auto it = data_.stores.find(req.matches[1].str());
    if (it == data_.stores.end()) return Reply(res, 404, DeviceError(40403, "no such logo"));
    std::string bytes = BuiltinLogo();
    if (!it->second.logoFile.empty() && !ReadFile(it->second.logoFile, &bytes))
      return Reply(res, 404, DeviceError(40403, "logo file missing"));
    res.set_content(bytes, "image/png");
  });

  // Order service: queue a receipt for printing on a device.
  s.Post("/open/print/receipt",
         WithBody([this](const httplib::Request&, const std::string& body, httplib::Response& res) {
           const auto params = ParseForm(body);
           if (Param(params, "app_id") != kOrderAppId) return Reply(res, 200, OrderError("app_id 无效"));
           if (!SignatureValid(params, kOrderKey)) return Reply(res, 403, OrderError("签名错误"));
           const Device* d = data_.DeviceById(Param(params, "device_id"));
           if (d == nullptr) return Reply(res, 200, OrderError("设备不存在"));
           const std::string receiptNo = Param(params, "receipt_no");
           const auto it = data_.receipts.find(receiptNo);
           // The answer about the number, for whoever watches the log (the demo's
           // commands): the request line itself names no number.
           if (it == data_.receipts.end()) {
             LogLine("receipt %s: 小票不存在", Printable(receiptNo).c_str());
             return Reply(res, 200, OrderError("小票不存在"));
           }
           Json::Value job;
           job["format"] = "escpos";
           job["job_id"] = "receipt-" + std::to_string(++jobSeq_);
           job["data"] = Base64Encode(EscPosOf(it->second));
           std::string error;
           if (!RedisPush(options_.redis, JobKey(d->deviceId), Compact(job), &error)) {
             LogLine("redis push failed: %s", error.c_str());
             return Reply(res, 200, OrderError("推送失败"));
           }
           LogLine("receipt %s: queued as %s", Printable(receiptNo).c_str(), job["job_id"].asString().c_str());
           Json::Value v;
           v["return_code"] = "SUCCESS";
           v["return_msg"] = "OK";
           Reply(res, 200, v);
         }));

  s.Get("/open/order/info", [this](const httplib::Request& req, httplib::Response& res) {
    const auto params = QueryOf(req);
    if (Param(params, "app_id") != kOrderAppId) return Reply(res, 200, OrderError("app_id 无效"));
    if (!SignatureValid(params, kOrderKey)) return Reply(res, 403, OrderError("签名错误"));
    const std::string orderNo = Param(params, "order_no");
    const auto it = data_.orders.find(orderNo);
    if (it == data_.orders.end()) {
      LogLine("order %s: 订单不存在", Printable(orderNo).c_str());
      return Reply(res, 200, OrderError("订单不存在"));
    }
    LogLine("order %s: found", Printable(orderNo).c_str());
    Json::Value v;
    v["return_code"] = "SUCCESS";
    v["return_msg"] = "OK";
    v["order"] = it->second;
    Reply(res, 200, v);
  });

  // Admin: push onto a device's lists.
  s.Post(R"(/sim/push/(raw|order|notify))",
         WithBody([this](const httplib::Request& req, const std::string& body, httplib::Response& res) {
           const std::string kind = req.matches[1].str();
           const std::string device = req.get_param_value("device");
           if (data_.DeviceById(device) == nullptr) return Reply(res, 404, DeviceError(40404, "unknown device"));
           std::string key = JobKey(device);
           std::string value;
           if (kind == "raw") {
             Json::Value job;
             job["format"] = "escpos";
             job["job_id"] =
                 req.has_param("job_id") ? req.get_param_value("job_id") : "sim-" + std::to_string(++jobSeq_);
             job["data"] = Base64Encode(body);
             value = Compact(job);
           } else if (kind == "order") {
             Json::Value job;
             job["format"] = "cvs_order_info";
             job["job_id"] = "sim-" + std::to_string(++jobSeq_);
             job["order_no"] = req.get_param_value("order");
             value = Compact(job);
           } else {
             key = NotifyKey(device);
             value = body.empty() ? "changed" : body;
           }
           std::string error;
           if (!RedisPush(options_.redis, key, value, &error)) return Reply(res, 502, DeviceError(50201, error));
           Json::Value v = DeviceError(0, "success");
           v["key"] = key;
           Reply(res, 200, v);
         }));

  // Admin: a store's new receipt template (JSON), handed out from the next
  // connection query on; devices learn of it through a notify element.
  s.Put("/sim/template", [this](const httplib::Request& req, httplib::Response& res) {
    auto it = data_.stores.find(req.get_param_value("store"));
    if (it == data_.stores.end()) return Reply(res, 404, DeviceError(40404, "unknown store"));
    Json::Value parsed;
    Json::CharReaderBuilder rb;
    std::string error;
    std::unique_ptr<Json::CharReader> reader(rb.newCharReader());
    if (!reader->parse(req.body.data(), req.body.data() + req.body.size(), &parsed, &error) || !parsed.isObject())
      return Reply(res, 400, DeviceError(40001, "template is not a JSON object: " + error));
    {
      std::lock_guard<std::mutex> l(templateLock_);
      it->second.receiptTemplate = Compact(parsed);
    }
    Reply(res, 200, DeviceError(0, "success"));
  });

  s.Get("/sim/uploads", [this](const httplib::Request&, httplib::Response& res) {
    Json::Value list(Json::arrayValue);
    std::error_code ec;
    for (const auto& dev : std::filesystem::directory_iterator(options_.uploads, ec)) {
      if (!dev.is_directory()) continue;
      std::vector<std::filesystem::path> files;
      for (const auto& f : std::filesystem::directory_iterator(dev.path(), ec))
        if (f.path().extension() == ".dat") files.push_back(f.path());
      std::sort(files.begin(), files.end());
      for (const auto& f : files) {
        Json::Value e;
        e["device"] = dev.path().filename().string();
        e["file"] = f.string();
        e["size"] = static_cast<Json::UInt64>(std::filesystem::file_size(f, ec));
        list.append(e);
      }
    }
    Reply(res, 200, list);
  });

  // Admin: faults of the upload route. upload=413 (any status) answers
  // every upload with it, upload=stall holds uploads unanswered, upload=none
  // ends the fault.
  s.Put("/sim/fault", [this](const httplib::Request& req, httplib::Response& res) {
    const std::string what = req.get_param_value("upload");
    if (what == "none") {
      uploadFault_ = 0;
    } else if (what == "stall") {
      uploadFault_ = -1;
    } else {
      const int status = std::atoi(what.c_str());
      if (status < 200 || status > 599) return Reply(res, 400, DeviceError(40002, "upload=STATUS|stall|none"));
      uploadFault_ = status;
    }
    Reply(res, 200, DeviceError(0, "success"));
  });

  s.Get("/sim/stats", [this](const httplib::Request&, httplib::Response& res) {
    Json::Value v;
    v["uploads"] = uploadSeq_.load();
    v["repeats"] = uploadRepeats_.load();
    Reply(res, 200, v);
  });

  s.Get("/sim/health", [](const httplib::Request&, httplib::Response& res) { res.set_content("ok", "text/plain"); });
}

}  // namespace cloudsim
