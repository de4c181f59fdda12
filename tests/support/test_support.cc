#include "support/test_support.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "base/log.h"
#include "platform/codepage.h"
#include "platform/process.h"
#include "platform/service_manager.h"

namespace tillcast::test {

TempDir::TempDir() {
  std::string base = getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp";
  std::string tmpl = base + "/tillcast-test-XXXXXX";
  if (mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  // Make read-only folders removable again before removing them.
  for (auto it = std::filesystem::recursive_directory_iterator(path_, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ec);
  }
  std::filesystem::remove_all(path_, ec);
}

ScopedEnv::ScopedEnv(const char* name, const std::string& value) : name_(name) {
  if (const char* v = getenv(name)) {
    had_ = true;
    old_ = v;
  }
  setenv(name, value.c_str(), 1);
}

ScopedEnv::~ScopedEnv() {
  if (had_)
    setenv(name_.c_str(), old_.c_str(), 1);
  else
    unsetenv(name_.c_str());
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteFile(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << data;
}

bool FileExists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t pos = 0;
  while (pos < text.size()) {
    const size_t e = text.find("\r\n", pos);
    if (e == std::string::npos) {
      lines.push_back(text.substr(pos));
      break;
    }
    lines.push_back(text.substr(pos, e - pos));
    pos = e + 2;
  }
  return lines;
}

ScopedLog::ScopedLog() {
  std::filesystem::create_directories(dir_.path());
  SetLogFolder(dir_.path());
  InitLog(LOG_INFO);
}

ScopedLog::~ScopedLog() {
  ResetLogForTest();
  SetLogFolder("");
}

std::string ScopedLog::Text() const { return ReadFile(LogFilePath()); }

bool ScopedLog::Contains(const std::string& needle) const { return Text().find(needle) != std::string::npos; }

std::string SharedTestdataDir() {
  const std::string dir = std::string(TILLCAST_SOURCE_DIR) + "/../shared/testdata";
  return std::filesystem::is_directory(dir) ? dir : std::string();
}

std::string BinDir() { return TILLCAST_BIN_DIR; }

void StopRecordedServices(const std::string& folder) {
  std::error_code ec;
  platform::PosixServiceManager services(folder);
  for (const auto& e : std::filesystem::directory_iterator(folder, ec)) {
    const std::string file = e.path().filename().string();
    const std::string suffix = ".service";
    if (file.size() <= suffix.size() || file.compare(file.size() - suffix.size(), suffix.size(), suffix) != 0) continue;
    const std::string name = file.substr(0, file.size() - suffix.size());
    platform::ServiceConfig config;
    int pid = 0;
    uint32_t state = 0;
    if (!services.ReadRecord(name, &config, &pid) || services.QueryState(name, &state) != 0 ||
        state != platform::kServiceRunning)
      continue;
    services.Stop(name);
    for (int i = 0; i < 100 && platform::ProcessAlive(pid); ++i) usleep(50 * 1000);
    if (platform::ProcessAlive(pid)) kill(pid, SIGKILL);
  }
}

std::string Gbk(const std::string& utf8) {
  std::string out;
  int err = 0;
  if (!platform::ConvertEncoding("UTF-8", "GBK", utf8, &out, &err))
    throw std::runtime_error("not representable in GBK");
  return out;
}

int FreeLoopbackPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  int port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
    port = ntohs(a.sin_port);
  ::close(fd);
  return port;
}

platform::ScopedFd ConnectLoopback(int port, int timeout_ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    platform::ScopedFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd.valid() && ::connect(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return fd;
    if (std::chrono::steady_clock::now() >= end) return {};
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

platform::ScopedFd ListenLoopback(int backlog, int* port) {
  platform::ScopedFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const int one = 1;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (!fd.valid() || ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
      ::bind(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd.get(), backlog) != 0 ||
      ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&a), &len) != 0)
    return {};
  *port = ntohs(a.sin_port);
  return fd;
}

size_t Count(const std::string& text, const std::string& needle) {
  size_t n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

}  // namespace tillcast::test
