// Checks of the agent's own data and of the cloud: the configuration, the
// store binding, the cloud's answer to the signed connection request and
// Redis with the credentials that answer gives.
#include <string>

#include "base/process_settings.h"
#include "base/text_util.h"
#include "data/data_mgr.h"
#include "doctor.h"
#include "net/net_mgr.h"
#include "net/redis_conn.h"
#include "net/rest_client.h"
#include "platform/paths.h"

namespace tillcast::doctor {
namespace {

std::string Utf8Config(const char* key) { return AnsiToUtf8(DataMgr::GetInstance().GetConfig(key)); }
std::string Utf8Bind(const char* key) { return AnsiToUtf8(DataMgr::GetInstance().GetBindInfo(key)); }

std::string ProxyNote() {
  const ProcessSettings& s = GetProcessSettings();
  if (s.httpIp.empty()) return "";
  return " (requests go through the proxy " + s.httpIp + ":" + s.httpPort + " of setting.ini [proxy])";
}

std::string BindFix() {
  return "bind the device again: on the agent's ready page choose to change the till and enter the device key "
         "(or, while it is not bound, on its login page)";
}

}  // namespace

CheckResult CheckConfiguration(DoctorContext& c) {
  const std::string folder = AgentDataFolder();
  c.state.data_folder = folder;
  c.state.data_folder_exists = platform::IsDirectory(folder);
  if (!c.state.data_folder_exists)
    return Problem("no data folder " + folder + ": the agent has not run as " + CurrentUserName() + " yet",
                   "start the agent once as that user (it starts with the desktop session), then run the doctor again");
  c.state.settings.Load(folder + "/setting.ini");
  ReadProcessSettings(c.state.settings, &GetProcessSettings());
  DataMgr& data = DataMgr::GetInstance();
  data.Init();
  const std::string path = data.ConfigPath();
  const std::string printer = Utf8Config("PortType") + " " + Utf8Config("PortName");
  if (!platform::PathExists(path))
    return Ok("no " + path + " yet: the built-in settings (cloud " + Utf8Config("URL") + ", printer " + printer + ")");
  if (!data.LoadConfig())
    return Problem(path + " cannot be read as a JSON object: the agent runs with the built-in settings (cloud " +
                       Utf8Config("URL") + ", printer " + printer + ")",
                   "correct the file while the agent is stopped, or remove it and choose the printer again in the "
                   "agent's window");
  return Ok("cloud " + Utf8Config("URL") + ", printer " + printer + " (" + path + ")");
}

CheckResult CheckBinding(DoctorContext& c) {
  if (!c.state.data_folder_exists) return Skipped("no data folder (see the configuration check)");
  DataMgr& data = DataMgr::GetInstance();
  const std::string path = data.BindPath();
  if (!platform::PathExists(path))
    return Problem("the device is not bound to a store (no " + path + ")",
                   "enter the device key on the agent's login page (another program of the user may hand it over "
                   "in ~/.config/Zellora/devicekey)");
  if (!data.LoadBindInfo())
    return Problem(path + " is not a valid binding (not JSON, or without appId, storeId, secret and jobKey)",
                   BindFix());
  c.state.bound = true;
  return Ok("bound to store " + Utf8Bind("storeId") + " (app " + Utf8Bind("appId") + ")");
}

CheckResult CheckCloud(DoctorContext& c) {
  if (!c.state.bound) {
    c.state.cloud_trouble = "the device is not bound";
    return Skipped("the device is not bound (see the store binding)");
  }
  DataMgr& data = DataMgr::GetInstance();
  const std::string base = data.GetConfig("URL");
  const std::string shown = AnsiToUtf8(base);
  // The agent's own connection request: signed with the bound store's secret.
  const std::string address = base + "/store/printer/device" + "?" + NetMgr::GetInstance().GetConnectParam();
  const RestClient::Response r = RestClient::get(address);
  const std::string where_fix = "check the network and the address (URL in cloudconfig.dat)" + ProxyNote();
  if (r.code == 28) {
    c.state.cloud_trouble = "the cloud did not answer in time";
    return Problem("the cloud at " + shown + " did not answer within 5 s" + ProxyNote(), where_fix);
  }
  if (r.code < 100) {
    c.state.cloud_trouble = "the cloud cannot be reached";
    return Problem("the cloud at " + shown + " cannot be reached (" + r.body + ")" + ProxyNote(), where_fix);
  }
  if (r.code == 403 || r.code == 404 || r.code == 401) {
    c.state.cloud_trouble = "the cloud refuses the binding";
    return Problem("the cloud at " + shown + " refuses this binding (HTTP " + std::to_string(r.code) +
                       (r.code == 403 ? ": the signature does not match the store's secret" : ": unknown app") + ")",
                   BindFix());
  }
  if (r.code != 200) {
    c.state.cloud_trouble = "the cloud answered HTTP " + std::to_string(r.code);
    return Problem("the cloud at " + shown + " answers HTTP " + std::to_string(r.code) +
                       (r.code >= 500 ? ": a fault on the cloud's side" : ""),
                   r.code >= 500 ? "try again later; if it lasts, tell the vendor" : where_fix);
  }
  if (!data.ParseConnectionInfo(r.body)) {
    c.state.cloud_trouble = "the cloud did not accept the binding";
    return Problem("the cloud at " + shown + " answers but does not accept this binding (no connection description)",
                   BindFix());
  }
  c.state.cloud_described = true;
  const std::string receipt = data.GetBindInfo("RedisConfigReceiptKey").empty() ? "none" : "set";
  return Ok("the cloud at " + shown + " answers and knows this binding: store " + Utf8Bind("store_name") + ", till " +
            Utf8Bind("device_name") + " (device " + Utf8Config("DeviceID") + "), additional receipt template " +
            receipt);
}

CheckResult CheckRedis(DoctorContext& c) {
  if (!c.state.cloud_described)
    return Skipped("the Redis server and its password come from the cloud's answer, which did not come (" +
                   (c.state.cloud_trouble.empty() ? std::string("see the cloud check") : c.state.cloud_trouble) + ")");
  RedisTarget t;
  std::string bad;
  if (BoundRedisTarget(&t, &bad) != RedisTargetError::kNone)
    return Problem("the cloud's answer names no usable Redis server (host, port or database missing or not a number" +
                       (bad.empty() ? std::string() : ": " + AnsiToUtf8(bad)) + ")",
                   "ask the vendor to check the store's Redis settings; [proxy] redis_ip and redis_port in "
                   "setting.ini can name the server");
  const std::string where = t.host + ":" + std::to_string(t.port);
  const ProcessSettings& ps = GetProcessSettings();
  const std::string overridden = !ps.redisIp.empty() || !ps.redisPort.empty()
                                     ? " (setting.ini [proxy] redis_ip / redis_port)"
                                     : " (as the cloud says)";
  CRedisConn conn;
  if (!conn.Connect(t.host, t.port, t.password, t.database, 3)) {
    const std::string text = conn.GetErrorText();
    if (text.empty() || text == RedisErrorText[0])
      return Problem("Redis at " + where + overridden +
                         " does not answer: cloud print jobs and scanned receipts do "
                         "not arrive",
                     "start the Redis server, or check the network to " + where +
                         (ps.redisIp.empty() ? "" : " and [proxy] redis_ip / redis_port in setting.ini"));
    return Problem("Redis at " + where + overridden + " refuses the bound credentials (" + text + ")",
                   "the password or database the cloud gave is not accepted: " + BindFix() +
                       " to take the current ones, or tell the vendor");
  }
  const std::string key = DataMgr::GetInstance().GetBindInfo("RedisKey");
  if (key.empty())
    return Problem("Redis at " + where + " answers, but the cloud named no job list for this device",
                   "tell the vendor: the device has no job list key");
  RedisReply type, waiting, processing, dead;
  if (!conn.Command({"TYPE", key}, &type) || !conn.Command({"LLEN", key}, &waiting) ||
      !conn.Command({"LLEN", "{" + key + "}:processing"}, &processing) ||
      !conn.Command({"LLEN", "{" + key + "}:dead"}, &dead))
    return Problem("Redis at " + where + " stopped answering while the job list was read", "check the Redis server");
  if (type.str != "list" && type.str != "none")
    return Problem("the job list " + key + " on Redis at " + where + " is a " + type.str +
                       ", not a list: no cloud job can be taken",
                   "remove it: redis-cli -h " + t.host + " -p " + std::to_string(t.port) + " DEL " + key);
  std::string detail = "Redis at " + where + overridden + ", database " + std::to_string(t.database) +
                       ", answers with the bound credentials; job list " + key + ": " +
                       std::to_string(waiting.integer) + " waiting, " + std::to_string(processing.integer) +
                       " being printed";
  if (dead.integer > 0)
    detail += ", " + std::to_string(dead.integer) + " set aside in {" + key + "}:dead (they crashed the agent twice)";
  return Ok(detail);
}

}  // namespace tillcast::doctor
