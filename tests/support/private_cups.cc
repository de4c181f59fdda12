#include "support/private_cups.h"

#include <cups/cups.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

namespace tillcast::test {
namespace {

namespace fs = std::filesystem;
constexpr const char* kCupsd = "/usr/sbin/cupsd";

std::string PrinterUri(const std::string& queue) {
  char uri[1024];
  httpAssembleURIf(HTTP_URI_CODING_ALL, uri, sizeof(uri), "ipp", nullptr, "localhost", 0, "/printers/%s",
                   queue.c_str());
  return uri;
}

int IppEnum(ipp_t* response, const char* name) {
  ipp_attribute_t* a = response != nullptr ? ippFindAttribute(response, name, IPP_TAG_ENUM) : nullptr;
  return a != nullptr ? ippGetInteger(a, 0) : 0;
}

}  // namespace

PrivateCups::PrivateCups() {
  const std::string root = dir_.path();
  ::chmod(root.c_str(), 0755);
  for (const char* sub :
       {"conf/ppd", "spool", "cache", "state", "tmp", "log", "bin/backend", "bin/filter", "bin/daemon"})
    fs::create_directories(root + "/" + sub);
  std::error_code ec;
  fs::create_symlink("/usr/lib/cups/daemon/cups-exec", root + "/bin/daemon/cups-exec", ec);
}

PrivateCups::~PrivateCups() {
  if (process_) {
    process_->Signal(SIGTERM);
    if (!process_->Wait(5000)) process_.reset();  // SIGKILL in the destructor
  }
  server_env_.reset();
  cupsSetServer(nullptr);
}

void PrivateCups::AddBackend(const std::string& name, const std::string& script, mode_t mode) {
  const std::string path = dir_.Sub("bin/backend/" + name);
  WriteFile(path, script);
  ::chmod(path.c_str(), mode);
}

void PrivateCups::AddBackendFile(const std::string& name, const std::string& program, mode_t mode) {
  const std::string path = dir_.Sub("bin/backend/" + name);
  std::error_code ec;
  fs::copy_file(program, path, fs::copy_options::overwrite_existing, ec);
  ::chmod(path.c_str(), mode);
}

void PrivateCups::AddFilter(const std::string& name, const std::string& script) {
  const std::string path = dir_.Sub("bin/filter/" + name);
  WriteFile(path, script);
  ::chmod(path.c_str(), 0755);
}

void PrivateCups::AddQueue(const Queue& q) {
  queues_conf_ += "<Printer " + q.name + ">\nInfo " + q.name + "\nDeviceURI " + q.device_uri +
                  "\nState Idle\nAccepting Yes\nShared No\n";
  if (!q.error_policy.empty()) queues_conf_ += "ErrorPolicy " + q.error_policy + "\n";
  queues_conf_ += "</Printer>\n";
  if (!q.ppd.empty()) WriteFile(dir_.Sub("conf/ppd/" + q.name + ".ppd"), q.ppd);
  queue_names_.push_back(q.name);
}

void PrivateCups::SetEnv(const std::string& name, const std::string& value) {
  env_lines_ += "SetEnv " + name + " " + value + "\n";
}

bool PrivateCups::Start(std::string* why) {
  if (::access(kCupsd, X_OK) != 0) {
    *why = "cupsd is not installed (Debian package cups-daemon)";
    return false;
  }
  const std::string root = dir_.path();
  port_ = FreeLoopbackPort();
  const passwd* pw = getpwuid(geteuid());
  const std::string user = pw != nullptr ? pw->pw_name : "root";
  WriteFile(root + "/conf/cups-files.conf",
            "ServerRoot " + root + "/conf\nRequestRoot " + root + "/spool\nCacheDir " + root + "/cache\nStateDir " +
                root + "/state\nTempDir " + root + "/tmp\nErrorLog " + root + "/log/error_log\nAccessLog " + root +
                "/log/access_log\nPageLog " + root + "/log/page_log\nServerBin " + root +
                "/bin\nDataDir /usr/share/cups\nPrintcap " + root + "/state/printcap\n" +
                (geteuid() == 0 ? "User lp\nGroup lp\n" : "User " + user + "\n") + "SystemGroup root\n" + env_lines_);
  // Anyone may do anything: the server is this test's alone, on loopback.
  WriteFile(root + "/conf/cupsd.conf", "Listen 127.0.0.1:" + std::to_string(port_) +
                                           "\nLogLevel info\nBrowsing No\nWebInterface No\nDefaultAuthType None\n"
                                           "JobRetryInterval 1\n<Location />\nOrder allow,deny\nAllow all\n"
                                           "</Location>\n<Policy default>\n<Limit All>\nOrder deny,allow\n</Limit>\n"
                                           "</Policy>\n");
  WriteFile(root + "/conf/printers.conf", queues_conf_);
  process_ = std::make_unique<Subprocess>(
      std::vector<std::string>{kCupsd, "-f", "-c", root + "/conf/cupsd.conf", "-s", root + "/conf/cups-files.conf"},
      std::map<std::string, std::string>{}, root + "/log/stdout");
  server_env_ = std::make_unique<ScopedEnv>("CUPS_SERVER", server());
  cupsSetServer(nullptr);  // take the variable on this thread

  const bool ready = WaitUntil(
      [&] {
        if (process_->Wait(0)) return true;
        for (const auto& name : queue_names_) {
          cups_dest_t* d = cupsGetNamedDest(CUPS_HTTP_DEFAULT, name.c_str(), nullptr);
          if (d == nullptr) return false;
          cupsFreeDests(1, d);
        }
        return queue_names_.empty() ? ::access((root + "/state/printcap").c_str(), F_OK) == 0 : true;
      },
      15000);
  if (!ready || process_->Wait(0)) {
    *why = "cupsd did not start here: " + ReadFile(root + "/log/stdout") + ErrorLog().substr(0, 2000);
    return false;
  }
  return true;
}

std::string PrivateCups::server() const { return "127.0.0.1:" + std::to_string(port_); }

std::string PrivateCups::ErrorLog() const { return ReadFile(dir_.Sub("log/error_log")); }

int PrivateCups::Print(const std::string& queue, const std::string& file,
                       const std::map<std::string, std::string>& options, std::string* why) {
  return PrintFiles(queue, {file}, options, why);
}

int PrivateCups::PrintFiles(const std::string& queue, const std::vector<std::string>& files,
                            const std::map<std::string, std::string>& options, std::string* why) {
  cups_option_t* opts = nullptr;
  int n = 0;
  for (const auto& [name, value] : options) n = cupsAddOption(name.c_str(), value.c_str(), n, &opts);
  std::vector<const char*> names;
  for (const auto& f : files) names.push_back(f.c_str());
  const std::string title = files.empty() ? "" : fs::path(files[0]).filename().string();
  const int job = cupsPrintFiles2(CUPS_HTTP_DEFAULT, queue.c_str(), static_cast<int>(names.size()), names.data(),
                                  title.c_str(), n, opts);
  cupsFreeOptions(n, opts);
  if (job == 0) *why = cupsLastErrorString();
  return job;
}

int PrivateCups::JobState(int job) {
  cups_job_t* jobs = nullptr;
  const int n = cupsGetJobs2(CUPS_HTTP_DEFAULT, &jobs, nullptr, 0, CUPS_WHICHJOBS_ALL);
  int state = 0;
  for (int i = 0; i < n; ++i)
    if (jobs[i].id == job) state = jobs[i].state;
  cupsFreeJobs(n, jobs);
  return state;
}

bool PrivateCups::WaitJobState(int job, int state, int timeout_ms) {
  return WaitUntil([&] { return JobState(job) == state; }, timeout_ms);
}

int PrivateCups::PrinterState(const std::string& queue) {
  ipp_t* request = ippNewRequest(IPP_OP_GET_PRINTER_ATTRIBUTES);
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, PrinterUri(queue).c_str());
  ipp_t* response = cupsDoRequest(CUPS_HTTP_DEFAULT, request, "/");
  const int state = IppEnum(response, "printer-state");
  ippDelete(response);
  return state;
}

bool PrivateCups::Resume(const std::string& queue) {
  ipp_t* request = ippNewRequest(IPP_OP_RESUME_PRINTER);
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, PrinterUri(queue).c_str());
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, cupsUser());
  ippDelete(cupsDoRequest(CUPS_HTTP_DEFAULT, request, "/admin/"));
  return cupsLastError() <= IPP_STATUS_OK_CONFLICTING;
}

}  // namespace tillcast::test
