#include "config.h"

#include <errno.h>
#include <grp.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>
#include <sstream>

#include "capture/driver_protocol.h"
#include "net_address.h"

namespace tillcast::serialfilter {

std::string DefaultConfigPath() {
  const char* v = std::getenv("TILLCAST_SERIALFILTER_CONF");
  return v != nullptr && *v != '\0' ? std::string(v) : std::string("/etc/tillcast/serialfilter.conf");
}

DriverConfig DefaultConfig() {
  DriverConfig c;
  c.socket = driver::ControlSocketPath();
  const size_t slash = c.socket.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : c.socket.substr(0, slash);
  c.ports.push_back({1, 1, dir + "/COM1", "", 0});
  c.ports.push_back({2, 1, dir + "/LPT1", "", 0});
  return c;
}

namespace {

bool ParseMode(std::istringstream& words, unsigned* mode) {
  std::string text;
  if (!(words >> text)) return false;
  char* end = nullptr;
  const unsigned long m = std::strtoul(text.c_str(), &end, 8);
  if (*end != '\0' || m > 0777) return false;
  *mode = static_cast<unsigned>(m);
  return true;
}

}  // namespace

bool ResolveGroup(const std::string& group, unsigned* gid) {
  if (group.empty() || group == "-") return false;
  char* end = nullptr;
  const unsigned long n = std::strtoul(group.c_str(), &end, 10);
  if (*end == '\0' && n < 0xFFFFFFFFul) {
    *gid = static_cast<unsigned>(n);
    return true;
  }
  std::vector<char> buf(16384);
  struct group entry {};
  struct group* found = nullptr;
  if (getgrnam_r(group.c_str(), &entry, buf.data(), buf.size(), &found) != 0 || found == nullptr) return false;
  *gid = found->gr_gid;
  return true;
}

std::string PortsSocketPath(const DriverConfig& config) {
  return config.ports_socket.empty() ? config.socket + ".ports" : config.ports_socket;
}

bool LoadConfig(const std::string& path, DriverConfig* config, std::string* error) {
  *config = DefaultConfig();
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) {
    if (errno == ENOENT) return true;
    *error = std::strerror(errno);
    return false;
  }
  std::string text;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof(buf), f)) > 0) text.append(buf, n);
  std::fclose(f);
  return ParseConfig(text, config, error);
}

bool ParseConfig(const std::string& text, DriverConfig* config, std::string* error) {
  std::istringstream in(text);
  std::string line;
  std::vector<PortConfig> ports;
  int line_no = 0;
  while (std::getline(in, line)) {
    ++line_no;
    if (const size_t hash = line.find('#'); hash != std::string::npos) line.erase(hash);
    std::istringstream words(line);
    std::string key;
    if (!(words >> key)) continue;
    const auto bad = [&] {
      *error = "line " + std::to_string(line_no) + ": " + line;
      return false;
    };
    if (key == "socket") {
      if (!(words >> config->socket)) return bad();
    } else if (key == "socket_mode") {
      if (!ParseMode(words, &config->socket_mode)) return bad();
    } else if (key == "port_mode") {
      if (!ParseMode(words, &config->port_mode)) return bad();
    } else if (key == "socket_group") {
      if (!(words >> config->socket_group)) return bad();
    } else if (key == "port_group") {
      if (!(words >> config->port_group)) return bad();
    } else if (key == "serial" || key == "parallel") {
      PortConfig p;
      p.type = key == "serial" ? 1 : 2;
      long number = 0;
      if (!(words >> number) || number < 0 || number > 255 || !(words >> p.path)) return bad();
      p.number = static_cast<uint32_t>(number);
      words >> p.printer;
      if (p.type == 1 && !p.printer.empty()) {
        std::string baud;
        if (words >> baud) {
          char* end = nullptr;
          p.baud = static_cast<int>(std::strtol(baud.c_str(), &end, 10));
          if (*end != '\0' || p.baud <= 0) return bad();
        }
        std::string flow;
        if (words >> flow) {
          if (flow == "none")
            p.flow = FlowControl::kNone;
          else if (flow == "rtscts")
            p.flow = FlowControl::kRtsCts;
          else if (flow == "xonxoff")
            p.flow = FlowControl::kXonXoff;
          else
            return bad();
        }
      }
      std::string extra;
      if (words >> extra) return bad();
      ports.push_back(p);
    } else if (key == "network") {
      // The till connects to the listen address; every connection is
      // passed on to the printer. Both are written back in one spelling, so
      // the port keeper knows a listening socket it holds already.
      PortConfig p;
      p.type = kPortNetwork;
      long number = 0;
      std::string listen, printer, extra;
      HostPort listen_at, printer_at;
      SocketAddress numeric;
      if (!(words >> number) || number < 0 || number > 255 || !(words >> listen >> printer) || (words >> extra) ||
          !ParseHostPort(listen, &listen_at) || !NumericAddress(listen_at, &numeric) ||
          !ParseHostPort(printer, &printer_at))
        return bad();
      p.number = static_cast<uint32_t>(number);
      p.path = FormatHostPort(listen_at);
      p.printer = FormatHostPort(printer_at);
      ports.push_back(p);
    } else if (key == "ports_socket") {
      if (!(words >> config->ports_socket)) return bad();
    } else if (key == "printer_backlog" || key == "printer_drop_after" || key == "capture_hold" ||
               key == "ports_linger" || key == "printer_connect_timeout") {
      std::string value;
      if (!(words >> value)) return bad();
      char* end = nullptr;
      const unsigned long long v = std::strtoull(value.c_str(), &end, 10);
      if (*end != '\0' || value[0] == '-') return bad();
      if (key == "printer_backlog") {
        // At least one read of the till, at most what a shop's PC can spare.
        if (v < 4096 || v > (1ull << 30)) return bad();
        config->printer_backlog = static_cast<size_t>(v);
      } else if (key == "printer_drop_after") {
        if (v < 100 || v > 86400000ull) return bad();
        config->printer_drop_after_ms = static_cast<uint32_t>(v);
      } else if (key == "capture_hold") {
        if (v > 86400000ull) return bad();
        config->capture_hold_ms = static_cast<uint32_t>(v);
      } else if (key == "printer_connect_timeout") {
        if (v < 100 || v > 600000ull) return bad();
        config->printer_connect_timeout_ms = static_cast<uint32_t>(v);
      } else {
        if (v < 100 || v > 86400000ull) return bad();
        config->ports_linger_ms = static_cast<uint32_t>(v);
      }
    } else {
      return bad();
    }
  }
  if (!ports.empty()) config->ports = ports;
  return true;
}

}  // namespace tillcast::serialfilter
