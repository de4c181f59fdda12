#include "shop.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>

#include <httplib.h>
#include <json/json.h>

#include "data/codec.h"
#include "platform/process.h"
#include "platform/service_manager.h"
#include "support/till_corpus.h"

namespace fs = std::filesystem;

namespace tillcast::test {
namespace {

std::string Realpath(const std::string& p) {
  char buf[PATH_MAX];
  return ::realpath(p.c_str(), buf) != nullptr ? std::string(buf) : p;
}

std::string Compact(const Json::Value& v) {
  Json::StreamWriterBuilder w;
  w["indentation"] = "";
  w["emitUTF8"] = true;
  return Json::writeString(w, v);
}

std::string JobJson(const std::string& bytes, const std::string& job_id) {
  Json::Value job;
  job["format"] = "escpos";
  job["job_id"] = job_id;
  job["data"] = Base64Encode(bytes.data(), bytes.size());
  return Compact(job);
}

std::vector<std::string> SortedFiles(const std::string& dir, const std::string& ext) {
  std::vector<std::string> out;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(dir, ec))
    if (e.path().extension() == ext) out.push_back(e.path().string());
  std::sort(out.begin(), out.end());
  return out;
}

}  // namespace

std::vector<std::string> NumberedJobs(int first, int count) {
  std::vector<std::string> jobs;
  for (int i = first; i < first + count; ++i) {
    char line[64];
    std::snprintf(line, sizeof line, "\x1b@JOB %03d\n\x1dV\x01", i);
    jobs.push_back(line);
  }
  return jobs;
}

Shop::Shop() {
  for (const char* sub : {"redis", "cloud", "uploads", "prints", "ports", "data/Tillcast", "config/Zellora", "logs",
                          "services", "spool", "run", "autostart"})
    fs::create_directories(dir_.Sub(sub));
  ::chmod(dir_.Sub("run").c_str(), 0700);
}

Shop::~Shop() {
  if (agent_) {
    agent_->Signal(SIGTERM);
    agent_->Wait(5000);
  }
  agent_.reset();  // kills it if it still runs
  // A driver the agent's driver service started in place of ours (a clean
  // stop, so its port keeper goes too).
  platform::PosixServiceManager services(dir_.Sub("services"));
  platform::ServiceConfig record;
  int service_pid = 0;
  uint64_t start = 0;
  if (services.ReadRecord("SerialFilter64", &record, &service_pid) && services.Stop("SerialFilter64") == 0)
    WaitUntil([&] { return !platform::ProcessStartTime(service_pid, &start); }, 5000);
  for (auto* p : {&driver_, &printer_, &cloud_}) {
    if (*p) {
      (*p)->Signal(SIGTERM);
      (*p)->Wait(3000);
      p->reset();
    }
  }
  if (redis_) redis_->Stop();
  // A driver the agent started again as its service (after ours ended).
  StopRecordedServices(dir_.Sub("services"));
  // TILLCAST_E2E_KEEP=DIR keeps a copy of every shop's folder for a look.
  if (const char* keep = std::getenv("TILLCAST_E2E_KEEP"); keep != nullptr && *keep != '\0') {
    std::error_code ec;
    const fs::path to = fs::path(keep) / fs::path(dir_.path()).filename();
    fs::create_directories(to, ec);
    fs::copy(dir_.path(), to, fs::copy_options::recursive | fs::copy_options::copy_symlinks, ec);
  }
}

void Shop::StopRedis() {
  if (redis_) redis_->Stop();
}

bool Shop::RestartRedis(std::string* why) {
  StopRedis();
  return StartRedis(why);
}

bool Shop::KillAndRestartRedis(std::string* why) {
  if (redis_) redis_->Kill();
  return StartRedis(why);
}

bool Shop::StartRedis(std::string* why) {
  if (redis_ && redis_->Start()) return true;
  *why = "redis-server did not answer on port " + RedisPort();
  return false;
}

std::string Shop::Redis(const std::vector<std::string>& args) const {
  return redis_ ? redis_->Command(0, args) : std::string();
}

std::string Shop::RedisPort() const { return std::to_string(redis_ ? redis_->port() : 0); }

bool Shop::Start(std::string* why, bool redis_aof) {
  const std::string bin = BinDir();
  for (const char* prog : {"tillcast", "tillcast-cloudsim", "tillcast-vprinter", "SerialFilter64"}) {
    if (::access((bin + "/" + prog).c_str(), X_OK) != 0) {
      *why = std::string("missing program ") + bin + "/" + prog;
      return false;
    }
  }
  // `redis_aof`: every job list change on disk before Redis answers.
  std::vector<std::string> redis_options;
  if (redis_aof) redis_options = {"--appendonly", "yes", "--appendfsync", "always"};
  redis_ = std::make_unique<RedisServer>("", std::move(redis_options), dir_.Sub("redis"));
  if (!redis_->up()) {
    *why = "redis-server did not answer on port " + RedisPort();
    return false;
  }

  if (!cloud_data_.empty()) WriteFile(dir_.Sub("cloud/data.json"), cloud_data_);
  if (!StartCloud(why)) return false;

  const std::string printer = dir_.Sub("ports/printer");
  if (!StartPrinter(why)) return false;

  const std::string socket = dir_.Sub("run/driver.sock");
  const std::string conf = dir_.Sub("serialfilter.conf");
  if (network_) {
    till_port_ = FreeLoopbackPort();
    WriteFile(conf, "socket " + socket + "\nnetwork 1 127.0.0.1:" + std::to_string(till_port_) +
                        " 127.0.0.1:" + std::to_string(printer_port_) + "\n");
  } else {
    WriteFile(conf, "socket " + socket + "\nserial 1 " + dir_.Sub("ports/till") + " " + printer + " 9600\n");
  }
  driver_ = std::make_unique<Subprocess>(
      std::vector<std::string>{bin + "/SerialFilter64", "-c", conf},
      std::map<std::string, std::string>{{"TILLCAST_DRIVER_SOCKET", socket}, {"TILLCAST_SERIALFILTER_CONF", conf}},
      dir_.Sub("driver.log"));
  if (!WaitUntil(
          [&] {
            return FileExists(socket) &&
                   (network_ ? LoopbackListening(till_port_) : FileExists(dir_.Sub("ports/till")));
          },
          10000)) {
    *why = "the capture driver did not open its socket and till port";
    return false;
  }
  // The agent finds its driver service running and leaves it to us, as
  // long as it runs.
  uint64_t driver_start = 0;
  if (!platform::ProcessStartTime(driver_->pid(), &driver_start)) {
    *why = "the capture driver ended at once";
    return false;
  }
  WriteFile(dir_.Sub("services/SerialFilter64.service"),
            "name=SerialFilter64\ntype=1\nstart_type=3\nimage=" + Realpath(bin + "/SerialFilter64") +
                "\npid=" + std::to_string(driver_->pid()) + "\nstart=" + std::to_string(driver_start) +
                "\nboot=" + platform::BootId() + "\n");

  WriteFile(dir_.Sub("data/Tillcast/setting.ini"),
            "[proxy]\nredis_ip=127.0.0.1\nredis_port=" + RedisPort() + "\n[cloud]\norder_url=" + cloud_url_ +
                "\n[setting]\nhookkeyboard=" + (key_feed_ ? "1" : "0") + "\n" + extra_settings_);
  Json::Value cfg;
  cfg["URL"] = cloud_url_;
  // The parallel type opens the path as it is; the login page keeps only
  // serial names the system enumerates.
  cfg["PortType"] = "\xe5\xb9\xb6\xe5\x8f\xa3";  // 并口
  if (serial_printer_) {
    cfg["PortType"] = "\xe4\xb8\xb2\xe5\x8f\xa3";  // 串口
    cfg["Baudrate"] = "9600";
    cfg["DataBits"] = "8";
  }
  cfg["PortName"] = printer;
  if (network_) {
    cfg["PortType"] = "\xe7\xbd\x91\xe5\x8f\xa3";  // 网口
    cfg["PortName"] = "127.0.0.1:" + std::to_string(printer_port_);
  }
  cfg["PageWidth"] = "80";
  cfg["AutoStartUp"] = "false";
  WriteFile(dir_.Sub("data/Tillcast/cloudconfig.dat"), Compact(cfg));
  WriteFile(dir_.Sub("config/Zellora/devicekey"), kDeviceKey);
  ::chmod(dir_.Sub("config/Zellora/devicekey").c_str(), 0600);

  StartAgent();
  return true;
}

bool Shop::StartPrinter(std::string* why) {
  const std::string printer = dir_.Sub("ports/printer");
  if (network_) {
    // The first start takes any free port, later ones the same again.
    ::unlink(dir_.Sub("prints.log").c_str());
    printer_ = std::make_unique<Subprocess>(
        std::vector<std::string>{BinDir() + "/tillcast-vprinter", "serve", "--out", dir_.Sub("prints"), "--paper", "80",
                                 "--chinese", "on", "--tcp", std::to_string(printer_port_)},
        std::map<std::string, std::string>{}, dir_.Sub("prints.log"));
    const bool up = WaitUntil(
        [&] {
          const std::string log = ReadFile(dir_.Sub("prints.log"));
          const size_t at = log.find("listening on tcp 127.0.0.1:");
          if (at == std::string::npos || log.find('\n', at) == std::string::npos) return false;
          printer_port_ = std::atoi(log.c_str() + at + 27);
          return true;
        },
        10000);
    if (!up) *why = "the virtual printer did not listen on TCP";
    return up;
  }
  printer_ = std::make_unique<Subprocess>(
      std::vector<std::string>{BinDir() + "/tillcast-vprinter", "serve", "--out", dir_.Sub("prints"), "--paper", "80",
                               "--chinese", "on", "--pty", printer},
      std::map<std::string, std::string>{}, dir_.Sub("prints.log"));
  if (!WaitUntil([&] { return FileExists(printer); }, 10000)) {
    *why = "the virtual printer did not link its pseudo-terminal";
    return false;
  }
  return true;
}

void Shop::StopPrinter() {
  if (!printer_) return;
  printer_->Signal(SIGTERM);
  printer_->Wait(5000);
  printer_.reset();
}

void Shop::PausePrinter() {
  if (printer_) printer_->Signal(SIGSTOP);
}

void Shop::ResumePrinter() {
  if (printer_) printer_->Signal(SIGCONT);
}

void Shop::StartAgent() {
  agent_ =
      std::make_unique<Subprocess>(std::vector<std::string>{BinDir() + "/tillcast"}, AgentEnv(), dir_.Sub("agent.out"));
}

void Shop::StopAgent(int sig) {
  if (!agent_) return;
  agent_->Signal(sig);
  agent_->Wait(10000);
  agent_.reset();
}

bool Shop::StartCloud(std::string* why) {
  // The first start takes any free port; later ones take the same again.
  std::vector<std::string> sim = {BinDir() + "/tillcast-cloudsim",
                                  "--http-port",
                                  std::to_string(cloud_port_),
                                  "--port-file",
                                  dir_.Sub("cloud/port"),
                                  "--uploads",
                                  dir_.Sub("uploads"),
                                  "--log",
                                  dir_.Sub("cloud/requests.log"),
                                  "--redis-port",
                                  RedisPort()};
  if (!cloud_data_.empty()) sim.insert(sim.end(), {"--data", dir_.Sub("cloud/data.json")});
  ::unlink(dir_.Sub("cloud/port").c_str());
  cloud_ = std::make_unique<Subprocess>(sim, std::map<std::string, std::string>{}, dir_.Sub("cloud/out.log"));
  if (!WaitUntil([&] { return !ReadFile(dir_.Sub("cloud/port")).empty(); }, 10000)) {
    *why = "the cloud simulator did not report its port";
    return false;
  }
  std::string port = ReadFile(dir_.Sub("cloud/port"));
  while (!port.empty() && (port.back() == '\n' || port.back() == '\r')) port.pop_back();
  cloud_port_ = std::atoi(port.c_str());
  cloud_url_ = "http://127.0.0.1:" + port;
  return true;
}

void Shop::StopCloud() {
  if (!cloud_) return;
  cloud_->Signal(SIGTERM);
  cloud_->Wait(5000);
  cloud_.reset();
}

bool Shop::SetUploadFault(const std::string& fault) { return SimRequest("PUT", "/sim/fault?upload=" + fault, ""); }

int Shop::UploadRepeats() {
  httplib::Client c(cloud_url_);
  c.set_connection_timeout(5);
  c.set_read_timeout(5);
  const auto r = c.Get("/sim/stats");
  if (!r || r->status != 200) return -1;
  Json::Value v;
  Json::CharReaderBuilder b;
  std::string err;
  std::unique_ptr<Json::CharReader> reader(b.newCharReader());
  if (!reader->parse(r->body.data(), r->body.data() + r->body.size(), &v, &err)) return -1;
  return v.get("repeats", -1).asInt();
}

void Shop::KillAgent() { StopAgent(SIGKILL); }

std::map<std::string, std::string> Shop::AgentEnv() const {
  return {{"XDG_DATA_HOME", dir_.Sub("data")},
          {"XDG_CONFIG_HOME", dir_.Sub("config")},
          {"XDG_RUNTIME_DIR", dir_.Sub("run")},
          {"TILLCAST_IPC_SOCKET", dir_.Sub("run/tillcast.sock")},
          {"TILLCAST_LOG_DIR", dir_.Sub("logs")},
          {"TILLCAST_SERVICE_DIR", dir_.Sub("services")},
          {"TILLCAST_DRIVER_DIR", BinDir()},
          {"TILLCAST_DRIVER_SOCKET", dir_.Sub("run/driver.sock")},
          {"TILLCAST_SERIALFILTER_CONF", dir_.Sub("serialfilter.conf")},
          {"TILLCAST_SPOOL_DIR", dir_.Sub("spool")},
          {"TILLCAST_CUPS_INBOX", CupsInbox()},
          {"TILLCAST_AUTOSTART_DIR", dir_.Sub("autostart")},
          {"TILLCAST_UI_SNAPSHOT_DIR", SnapshotFolder()},
          {"TILLCAST_KEY_FEED", key_feed_ ? KeyFeed() : ""},
          {"QT_QPA_PLATFORM", "offscreen"}};
}

bool Shop::SimRequest(const std::string& method, const std::string& path, const std::string& body) {
  httplib::Client c(cloud_url_);
  c.set_connection_timeout(5);
  c.set_read_timeout(5);
  const auto r = method == "PUT" ? c.Put(path, body, "application/json") : c.Post(path, body, "text/plain");
  return r && r->status == 200;
}

bool Shop::SetTemplate(const std::string& store_id, const std::string& template_json) {
  return SimRequest("PUT", "/sim/template?store=" + store_id, template_json);
}

bool Shop::PushNotify(const std::string& text) {
  return SimRequest("POST", std::string("/sim/push/notify?device=") + kDeviceId, text);
}

bool Shop::PushOrder(const std::string& order_no) {
  return SimRequest("POST", std::string("/sim/push/order?device=") + kDeviceId + "&order=" + order_no, "");
}

bool Shop::Spool(const std::string& name, const std::string& bytes) {
  const std::string path = dir_.Sub("spool/" + name);
  const std::string copy = DataFolder() + "/PRINTERS/" + name;
  WriteFile(path, bytes);
  const bool copied = WaitUntil([&] { return ReadFile(copy).size() == bytes.size(); }, 10000);
  ::unlink(path.c_str());
  return copied;
}

bool Shop::TypeKeys(const std::string& text) {
  const int fd = ::open(KeyFeed().c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  ::close(fd);
  return ok;
}

::testing::AssertionResult Shop::StartReady(bool redis_aof, int timeout_ms) {
  std::string why;
  if (!Start(&why, redis_aof)) return ::testing::AssertionFailure() << why;
  if (!WaitReady(timeout_ms)) return ::testing::AssertionFailure() << "agent not bound/connected; log:\n" << AgentLog();
  return ::testing::AssertionSuccess();
}

bool Shop::WaitReady(int timeout_ms) {
  return WaitUntil(
      [&] {
        return !ReadFile(DataFolder() + "/cloudbind.json").empty() && FileExists(IpcSocket()) &&
               AgentLog().find("CRedisConn::TryConnect true") != std::string::npos;
      },
      timeout_ms);
}

bool Shop::PushRaw(const std::string& bytes, const std::string& job_id) {
  // RPUSH answers the list's new length; anything else is an error's text.
  const std::string length = Redis({"RPUSH", std::string("print_jobs:") + kDeviceId, JobJson(bytes, job_id)});
  return !length.empty() && length.find_first_not_of("0123456789") == std::string::npos;
}

bool Shop::PushRawMany(const std::vector<std::string>& jobs) {
  std::vector<std::string> args = {"RPUSH", std::string("print_jobs:") + kDeviceId};
  for (size_t i = 0; i < jobs.size(); ++i) args.push_back(JobJson(jobs[i], "e2e-" + std::to_string(i)));
  return Redis(args) == std::to_string(jobs.size());
}

bool Shop::WriteTill(const std::string& bytes) { return WriteTillWrites({bytes}); }

bool Shop::WriteTillWrites(const std::vector<std::string>& writes, int pause_us) {
  if (network_) {
    platform::ScopedFd till = ConnectTill();
    if (!till.valid() || !WriteLikeATill(till.get(), writes, pause_us)) return false;
    ::shutdown(till.get(), SHUT_WR);
    return WaitConnectionEnd(till.get(), 10000);
  }
  platform::ScopedFd fd = OpenTill();
  if (!fd.valid()) return false;
  const bool ok = WriteLikeATill(fd.get(), writes, pause_us);
  ::tcdrain(fd.get());
  return ok;
}

platform::ScopedFd Shop::OpenTill() {
  platform::ScopedFd fd(::open(dir_.Sub("ports/till").c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC));
  // A till program puts its port in raw mode before it prints.
  termios tio{};
  if (fd.valid() && ::tcgetattr(fd.get(), &tio) == 0) {
    ::cfmakeraw(&tio);
    ::tcsetattr(fd.get(), TCSANOW, &tio);
  }
  return fd;
}

platform::ScopedFd Shop::ConnectTill() { return ConnectLoopback(till_port_, 0); }

bool Shop::WaitConnectionEnd(int till, int timeout_ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (std::chrono::steady_clock::now() < end) {
    pollfd p{till, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    char buf[512];
    const ssize_t n = ::recv(till, buf, sizeof buf, 0);
    if (n == 0 || (n < 0 && errno == ECONNRESET)) return true;
  }
  return false;
}

void Shop::KillDriver() {
  if (!driver_) return;
  driver_->Signal(SIGKILL);
  driver_->Wait(5000);
  driver_.reset();
}

void Shop::StopDriver() {
  if (!driver_) return;
  driver_->Signal(SIGTERM);
  driver_->Wait(5000);
  driver_.reset();
}

bool Shop::WaitPrinted(const std::string& bytes, int timeout_ms) const {
  return WaitUntil(
      [&] {
        for (const auto& d : Printed())
          if (d.Bytes() == bytes) return true;
        return false;
      },
      timeout_ms);
}

std::vector<PrintedDoc> Shop::Printed() const {
  // A document is complete once its picture is written (the .png last).
  std::vector<PrintedDoc> out;
  for (const auto& png : SortedFiles(dir_.Sub("prints"), ".png")) {
    const std::string base = png.substr(0, png.size() - 4);
    if (FileExists(base + ".bin")) out.push_back({base});
  }
  return out;
}

std::vector<std::string> Shop::Uploads() const {
  return SortedFiles(dir_.Sub(std::string("uploads/") + kDeviceId), ".dat");
}

std::string Shop::AgentLog() const { return ReadFile(dir_.Sub("logs/tillcast.txt")); }

}  // namespace tillcast::test
