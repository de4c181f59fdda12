#include "backend.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <sstream>

#include "capture/cups_copy.h"
#include "inbox_writer.h"

namespace tillcast::cupsbackend {
namespace {

volatile sig_atomic_t g_child = 0;
volatile sig_atomic_t g_terminated = 0;

// A job cancelled in CUPS ends the backend with SIGTERM: the real backend
// gets it too.
void OnTerminate(int) {
  g_terminated = 1;
  if (g_child > 0) kill(g_child, SIGTERM);
}

// One line for CUPS' log (and, for INFO and above, the queue's state).
void Report(const char* level, const std::string& text) {
  std::fprintf(stderr, "%s: tillcast: %s\n", level, text.c_str());
}

std::string Env(const char* name, const std::string& fallback) {
  const char* v = std::getenv(name);
  return v != nullptr && *v != '\0' ? std::string(v) : fallback;
}

bool ValidScheme(const std::string& s) {
  if (s.empty() || !std::isalpha(static_cast<unsigned char>(s[0]))) return false;
  for (const char c : s)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.') return false;
  return true;
}

uint64_t NowMs() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec / 1000000);
}

// The number of a document file "d00012-003" (3), else `fallback`.
int DocumentNumber(const std::string& path, int fallback) {
  const size_t dash = path.find_last_of('-');
  if (dash == std::string::npos || path.find('/', dash) != std::string::npos) return fallback;
  char* end = nullptr;
  const long n = std::strtol(path.c_str() + dash + 1, &end, 10);
  return end != nullptr && *end == '\0' && n > 0 && n < 100000 ? static_cast<int>(n) : fallback;
}

struct Document {
  int fd = -1;
  int number = 1;
  std::string type;
};

struct Copy {
  std::unique_ptr<CopyFile> file;
  int number = 1;
};

}  // namespace

bool InnerDevice(const std::string& uri, std::string* inner, std::string* scheme, std::string* error) {
  const std::string prefix = "tillcast:";
  if (uri.size() < prefix.size() || strncasecmp(uri.c_str(), prefix.c_str(), prefix.size()) != 0) {
    *error = "the device URI \"" + SanitizeUri(uri) + "\" does not start with tillcast:";
    return false;
  }
  size_t at = prefix.size();
  while (at < uri.size() && uri[at] == '/') ++at;
  const std::string rest = uri.substr(at);
  const size_t colon = rest.find(':');
  if (colon == std::string::npos || !ValidScheme(rest.substr(0, colon))) {
    *error = "the device URI names no device behind tillcast:/ (for example tillcast:/usb://...)";
    return false;
  }
  const std::string s = rest.substr(0, colon);
  if (strcasecmp(s.c_str(), "tillcast") == 0) {
    *error = "a tillcast device cannot wrap another tillcast device";
    return false;
  }
  if (strcasecmp(s.c_str(), "file") == 0) {
    *error = "file: devices are written by cupsd itself and cannot be wrapped";
    return false;
  }
  *inner = rest;
  *scheme = s;
  return true;
}

std::string SanitizeUri(const std::string& uri) {
  const size_t start = uri.find("://");
  if (start == std::string::npos) return uri;
  const size_t host = start + 3;
  const size_t end = uri.find('/', host);
  const size_t at = uri.rfind('@', end == std::string::npos ? std::string::npos : end);
  if (at == std::string::npos || at < host) return uri;
  return uri.substr(0, host) + uri.substr(at + 1);
}

std::vector<std::string> JobDocuments(const std::string& request_root, long job) {
  std::vector<std::string> out;
  for (int n = 1; n < 1000; ++n) {
    char name[64];
    std::snprintf(name, sizeof(name), "/d%05ld-%03d", job, n);
    const std::string path = request_root + name;
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) break;
    out.push_back(path);
  }
  return out;
}

std::string SniffType(const std::string& head, const std::string& fallback) {
  if (head.rfind("%PDF-", 0) == 0) return "application/pdf";
  if (head.rfind("%!", 0) == 0) return "application/postscript";
  return fallback;
}

void CupsRunUser(const std::string& server_root, uid_t* uid, gid_t* gid) {
  std::string user = "lp", group_name = "lp";
  std::ifstream conf(server_root + "/cups-files.conf");
  std::string line;
  while (std::getline(conf, line)) {
    std::istringstream words(line);
    std::string key, value;
    if (!(words >> key >> value)) continue;
    if (strcasecmp(key.c_str(), "User") == 0) user = value;
    if (strcasecmp(key.c_str(), "Group") == 0) group_name = value;
  }
  const passwd* pw = getpwnam(user.c_str());
  *uid = pw != nullptr ? pw->pw_uid : 65534;
  const group* gr = getgrnam(group_name.c_str());
  *gid = gr != nullptr ? gr->gr_gid : (pw != nullptr ? pw->pw_gid : 65534);
}

int RunBackend(int argc, char** argv) {
  // Device discovery: there is no device of our own to list.
  if (argc == 1) return kBackendOk;
  const uint64_t started = NowMs();
  if (argc < 6 || argc > 7) {
    std::fprintf(stderr, "Usage: %s job-id user title copies options [file]\n", argv[0]);
    return kBackendFailed;
  }
  const std::string uri = Env("DEVICE_URI", argv[0]);
  std::string inner, scheme, why;
  if (!InnerDevice(uri, &inner, &scheme, &why)) {
    Report("ERROR", why);
    return kBackendStop;
  }
  const std::string backend = Env("CUPS_SERVERBIN", "/usr/lib/cups") + "/backend/" + scheme;
  struct stat backend_st {};
  if (stat(backend.c_str(), &backend_st) != 0 || !S_ISREG(backend_st.st_mode) || (backend_st.st_mode & 0111) == 0) {
    Report("ERROR", "no CUPS backend for \"" + scheme + ":\" devices (" + backend + ")");
    return kBackendStop;
  }

  const long job = std::strtol(argv[1], nullptr, 10);
  const std::string content_type = Env("CONTENT_TYPE", "");
  const bool raw_queue = Env("FINAL_CONTENT_TYPE", "").empty() || content_type == "application/vnd.cups-raw";
  const std::string request_root = Env("CUPS_REQUESTROOT", "/var/spool/cups");

  // What the copies are made of.
  const std::string inbox = capture::CupsInboxFolder();
  const bool inbox_ok = EnsureInbox(inbox, &why);
  if (!inbox_ok) Report("WARNING", "no copy for the agent: " + why);
  std::vector<Document> documents;
  // When CUPS took the job: its first spooled document was written then.
  uint64_t submitted = 0;
  if (inbox_ok) {
    const std::vector<std::string> paths =
        argc == 7 ? std::vector<std::string>{argv[6]} : JobDocuments(request_root, job);
    for (size_t i = 0; i < paths.size(); ++i) {
      const int fd = ::open(paths[i].c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
      struct stat st {};
      if (fd < 0) continue;
      if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        continue;
      }
      if (submitted == 0)
        submitted =
            static_cast<uint64_t>(st.st_mtim.tv_sec) * 1000u + static_cast<uint64_t>(st.st_mtim.tv_nsec / 1000000);
      documents.push_back({fd, DocumentNumber(paths[i], static_cast<int>(i) + 1), ""});
    }
  }
  const bool from_stream = inbox_ok && documents.empty() && argc == 6 && raw_queue;
  if (inbox_ok && documents.empty() && !from_stream)
    Report("WARNING", "the job's document cannot be read in " + request_root + ": no copy for the agent");

  struct sigaction term {
  }, old_term{}, ignore{}, old_pipe{};
  term.sa_handler = OnTerminate;
  sigemptyset(&term.sa_mask);
  sigaction(SIGTERM, &term, &old_term);
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, &old_pipe);

  int feed[2] = {-1, -1};
  if (from_stream && pipe2(feed, O_CLOEXEC) != 0) feed[0] = feed[1] = -1;

  // The real backend, as cupsd would start it.
  std::vector<std::string> args(argv, argv + argc);
  args[0] = SanitizeUri(inner);
  std::vector<char*> cargs;
  for (auto& a : args) cargs.push_back(a.data());
  cargs.push_back(nullptr);
  const bool am_root = geteuid() == 0;
  const bool drop = am_root && (backend_st.st_mode & (S_IRWXG | S_IRWXO)) != 0;
  uid_t run_uid = 0;
  gid_t run_gid = 0;
  if (drop) CupsRunUser(Env("CUPS_SERVERROOT", "/etc/cups"), &run_uid, &run_gid);

  const pid_t pid = fork();
  if (pid < 0) {
    Report("ERROR", std::string("the device backend cannot be started: ") + std::strerror(errno));
    return kBackendFailed;
  }
  if (pid == 0) {
    sigaction(SIGTERM, &old_term, nullptr);
    sigaction(SIGPIPE, &old_pipe, nullptr);
    if (feed[0] >= 0 && dup2(feed[0], 0) < 0) _exit(kBackendFailed);
    setenv("DEVICE_URI", inner.c_str(), 1);
    if (drop && (setgroups(1, &run_gid) != 0 || setgid(run_gid) != 0 || setuid(run_uid) != 0)) {
      std::fprintf(stderr, "ERROR: tillcast: cannot run %s as the CUPS user: %s\n", backend.c_str(),
                   std::strerror(errno));
      _exit(kBackendFailed);
    }
    execv(backend.c_str(), cargs.data());
    std::fprintf(stderr, "ERROR: tillcast: %s cannot be run: %s\n", backend.c_str(), std::strerror(errno));
    _exit(kBackendStop);
  }
  g_child = pid;
  if (g_terminated) kill(pid, SIGTERM);
  // Housekeeping while the device prints.
  if (inbox_ok) RemoveStaleTemporaries(inbox, 3600);

  std::vector<Copy> copies;
  const auto open_copy = [&](const std::string& type, const char* source, int number) -> CopyFile* {
    capture::CupsCopyHeader h;
    h.type = type;
    h.source = source;
    h.queue = Env("PRINTER", "");
    h.job = argv[1];
    h.document = std::to_string(number);
    h.user = argv[2];
    h.title = argv[3];
    if (submitted != 0) h.submitted = std::to_string(submitted);
    h.started = std::to_string(started);
    auto file = std::make_unique<CopyFile>();
    std::string error;
    if (!file->Open(inbox, capture::FormatCupsCopyHeader(h), &error)) {
      Report("WARNING", "no copy for the agent: " + error);
      return nullptr;
    }
    copies.push_back({std::move(file), number});
    return copies.back().file.get();
  };
  char buf[65536];
  if (feed[1] >= 0) {
    ::close(feed[0]);
    CopyFile* copy = open_copy(content_type.empty() ? "application/vnd.cups-raw" : content_type, "stream", 1);
    bool feeding = true;
    for (;;) {
      const ssize_t n = ::read(0, buf, sizeof(buf));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      // A device backend that ended early has its status; the copy still
      // takes the whole stream.
      if (feeding && !WriteFully(feed[1], buf, static_cast<size_t>(n))) feeding = false;
      if (copy != nullptr) copy->Write(buf, static_cast<size_t>(n));
      if (!feeding && (copy == nullptr || copy->failed())) break;
    }
    ::close(feed[1]);
  } else {
    for (size_t i = 0; i < documents.size(); ++i) {
      Document& d = documents[i];
      std::string head(16, '\0');
      const ssize_t h = pread(d.fd, head.data(), head.size(), 0);
      head.resize(h > 0 ? static_cast<size_t>(h) : 0);
      d.type = i == 0 && !content_type.empty() ? content_type : SniffType(head, content_type);
      if (d.type.empty()) d.type = "application/octet-stream";
      if (CopyFile* copy = open_copy(d.type, "document", d.number)) {
        for (;;) {
          const ssize_t n = ::read(d.fd, buf, sizeof(buf));
          if (n < 0 && errno == EINTR) continue;
          if (n <= 0) break;
          copy->Write(buf, static_cast<size_t>(n));
          if (copy->failed()) break;
        }
      }
      ::close(d.fd);
    }
  }

  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  g_child = 0;

  if (WIFEXITED(status) && WEXITSTATUS(status) == kBackendOk) {
    const InboxLimits limits = InboxLimitsFromEnv();
    for (Copy& c : copies) {
      std::string error;
      if (c.file->failed()) {
        Report("WARNING", "no copy for the agent: " + c.file->why());
        continue;
      }
      if (const size_t dropped = MakeRoom(inbox, limits, c.file->size()); dropped > 0)
        Report("WARNING", "the inbox " + inbox + " is full: the " + std::to_string(dropped) +
                              " oldest copies the agent has not taken were dropped");
      const std::string name = capture::CupsCopyName(NowMs(), job, c.number);
      if (c.file->Publish(name, &error))
        Report("DEBUG", "copy for the agent: " + inbox + "/" + name);
      else
        Report("WARNING", "no copy for the agent: " + error);
    }
    return kBackendOk;
  }
  copies.clear();
  if (WIFSIGNALED(status)) {
    const int sig = WTERMSIG(status);
    signal(sig, SIG_DFL);
    raise(sig);
    return kBackendFailed;
  }
  return WEXITSTATUS(status);
}

}  // namespace tillcast::cupsbackend
