#include "print/port_list.h"

#include <cups/cups.h>
#include <dirent.h>

#include <cstdlib>
#include <fstream>
#include <vector>

#include "base/text_util.h"
#include "platform/paths.h"
#include "print/printer_link.h"

namespace tillcast {
namespace {

struct DirClose {
  void operator()(DIR* d) const { closedir(d); }
};

// Entry names of a folder (no "." or ".."); nothing when it cannot be read.
std::optional<std::vector<std::string>> ListFolder(const std::string& path) {
  std::unique_ptr<DIR, DirClose> dir(opendir(path.c_str()));
  if (!dir) return std::nullopt;
  std::vector<std::string> names;
  while (dirent* e = readdir(dir.get())) {
    const std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  return names;
}

bool IsDigits(const std::string& s) { return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos; }

// The 8250 driver keeps slots for UARTs that are not fitted; their port
// type reads 0.
bool IsAbsentUart(const std::string& ttyFolder) {
  std::ifstream in(ttyFolder + "/type");
  int type = -1;
  return in && (in >> type) && type == 0;
}

void AddPrinterDevices(const std::string& folder, std::set<std::string>* out) {
  const auto names = ListFolder(folder);
  if (!names) return;
  for (const std::string& name : *names) {
    if (name.size() > 2 && name.compare(0, 2, "lp") == 0 && IsDigits(name.substr(2)) &&
        !platform::IsDirectory(folder + "/" + name)) {
      out->insert(folder + "/" + name);
    }
  }
}

}  // namespace

SystemPortSource::SystemPortSource(std::string sysRoot, std::string devRoot)
    : sys_(std::move(sysRoot)), dev_(std::move(devRoot)) {}

std::optional<std::set<std::string>> SystemPortSource::SerialPorts() {
  const std::string classFolder = sys_ + "/class/tty";
  const auto names = ListFolder(classFolder);
  if (!names) return std::nullopt;
  std::set<std::string> ports;
  for (const std::string& name : *names) {
    const std::string folder = classFolder + "/" + name;
    // Virtual terminals and pseudo-terminals have no device behind them.
    if (!platform::PathExists(folder + "/device") || IsAbsentUart(folder)) continue;
    ports.insert(dev_ + "/" + name);
  }
  return ports;
}

std::optional<std::set<std::string>> SystemPortSource::ParallelPorts() {
  if (!platform::IsDirectory(dev_)) return std::nullopt;
  std::set<std::string> ports;
  AddPrinterDevices(dev_, &ports);
  AddPrinterDevices(dev_ + "/usb", &ports);
  return ports;
}

std::optional<std::set<std::string>> SystemPortSource::Printers() {
  cups_dest_t* dests = nullptr;
  const int n = cupsGetDests2(CUPS_HTTP_DEFAULT, &dests);
  std::set<std::string> names;
  for (int i = 0; i < n; ++i) {
    if (dests[i].name != nullptr) names.insert(dests[i].name);
  }
  cupsFreeDests(n, dests);
  return names;
}

PortList& PortList::GetInstance() {
  static PortList* list = new PortList(std::make_unique<SystemPortSource>());
  return *list;
}

PortList::PortList(std::unique_ptr<PortSource> source) : source_(std::move(source)) {}

PortGroups PortList::Refresh() {
  PortGroups found;
  auto add = [&found](const std::string& type, std::optional<std::set<std::string>> names) {
    if (names && !names->empty()) found[type] = std::move(*names);
  };
  std::lock_guard<std::mutex> e(refresh_);  // the source is not thread-safe
  add(PortTypeSerial(), source_->SerialPorts());
  add(PortTypeParallel(), source_->ParallelPorts());
  add(PortTypeDriver(), source_->Printers());
  return found;
}

}  // namespace tillcast
