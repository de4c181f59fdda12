// tillcast-template-preview: shows what the additional receipt of a
// template would look like for one sale receipt. The template goes through
// the agent's own renderer and printer SDK into a file standing in for the
// printer port, and the virtual printer draws that file.
//
// Usage: tillcast-template-preview TEMPLATE.json RECEIPT.txt OUT.png [--paper 58|80] [--strict]
// RECEIPT.txt is UTF-8 text as the till would print it, or a capture file
// (the printer bytes as the till wrote them, in the printer's code page).
// Every rule that finds nothing in the receipt is named on standard error;
// with --strict such a rule also makes the exit status 3.
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "base/text_util.h"
#include "data/data_mgr.h"
#include "print/print_hooks.h"
#include "platform/codepage.h"
#include "platform/paths.h"
#include "print/receipt_printer.h"
#include "print/receipt_template.h"

extern char** environ;

namespace {

constexpr char kUsage[] =
    "usage: tillcast-template-preview TEMPLATE.json RECEIPT.txt OUT.png [--paper 58|80] [--strict]\n"
    "  draws the additional receipt TEMPLATE.json would print after the sale receipt\n"
    "  RECEIPT.txt (UTF-8 text, or a capture file as the till printed it) into OUT.png,\n"
    "  with its text transcript in OUT.txt, through the agent's renderer, printer\n"
    "  library and virtual printer. --paper: paper width in mm (default 80).\n"
    "  Each rule that matches nothing in the receipt is named on standard error (its\n"
    "  placeholders print empty); --strict then exits 3, after drawing the picture.\n"
    "  Exit status: 0 drawn, 1 an input cannot be read or the template does not\n"
    "  render, 2 a wrong command line, 3 (--strict) a rule matches nothing.\n";

constexpr int kExitUnmatchedRule = 3;

// Names each rule of `templ` that finds nothing in `ticket`, as the agent
// would apply them; returns how many.
int WarnUnmatchedRules(const std::string& ticket, const std::string& templ, const std::string& receipt_name) {
  tillcast::ParsedTemplate parsed;
  if (tillcast::ParseReceiptTemplate(ticket, templ, &parsed) != tillcast::TemplateResult::kOk) return 0;
  int unmatched = 0;
  for (const tillcast::ReceiptRule& rule : parsed.rules) {
    if (!rule.groups.empty()) continue;
    ++unmatched;
    std::fprintf(stderr,
                 "tillcast-template-preview: warning: the rule \"%s\" (%s) matches nothing in %s; its placeholders "
                 "%s[k] print empty\n",
                 rule.name.c_str(), rule.pattern.c_str(), receipt_name.c_str(), rule.name.c_str());
  }
  return unmatched;
}

namespace fs = std::filesystem;

// A private folder removed on exit: the data folder of this run (so the
// user's own configuration is neither read nor written) and the port file.
class ScratchDir {
 public:
  ScratchDir() {
    std::string tmpl = (fs::temp_directory_path() / "tillcast-preview-XXXXXX").string();
    if (::mkdtemp(tmpl.data()) != nullptr) path_ = tmpl;
  }
  ~ScratchDir() {
    std::error_code ec;
    if (!path_.empty()) fs::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

int RunRender(const std::string& in, const std::string& out, const std::string& paper) {
  const std::string prog = tillcast::GetModuleFolder() + "/tillcast-vprinter";
  std::vector<std::string> args = {prog, "render", in, out, "--paper", paper, "--chinese", "on"};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (::posix_spawn(&pid, prog.c_str(), nullptr, nullptr, argv.data(), environ) != 0) {
    std::fprintf(stderr, "tillcast-template-preview: cannot run %s\n", prog.c_str());
    return 1;
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::string paper = "80";
  bool strict = false;
  std::vector<std::string> pos;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (std::strcmp(argv[i], "--paper") == 0 && i + 1 < argc) {
      paper = argv[++i];
    } else if (std::strcmp(argv[i], "--strict") == 0) {
      strict = true;
    } else if (argv[i][0] == '-' && argv[i][1] != '\0') {
      std::fprintf(stderr, "tillcast-template-preview: unknown option %s\n", argv[i]);
      std::fputs(kUsage, stderr);
      return 2;
    } else {
      pos.push_back(argv[i]);
    }
  }
  if (pos.size() != 3 || (paper != "58" && paper != "80")) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  // The picture's transcript goes beside it as OUT.txt: never over an input.
  {
    fs::path transcript(pos[2]);
    transcript.replace_extension(".txt");
    std::error_code ec;
    for (int i : {0, 1}) {
      if (fs::exists(pos[i], ec) && fs::exists(transcript, ec) && fs::equivalent(pos[i], transcript, ec)) {
        std::fprintf(stderr, "tillcast-template-preview: %s would overwrite the input %s; choose another OUT name\n",
                     transcript.c_str(), pos[i].c_str());
        return 2;
      }
    }
  }
  std::string templ, receipt;
  int err = 0;
  if (!tillcast::platform::ReadWholeFile(pos[0], &templ, &err)) {
    std::fprintf(stderr, "tillcast-template-preview: cannot read %s: %s\n", pos[0].c_str(), std::strerror(err));
    return 1;
  }
  if (!tillcast::platform::ReadWholeFile(pos[1], &receipt, &err)) {
    std::fprintf(stderr, "tillcast-template-preview: cannot read %s: %s\n", pos[1].c_str(), std::strerror(err));
    return 1;
  }
  ScratchDir scratch;
  if (scratch.path().empty()) {
    std::fprintf(stderr, "tillcast-template-preview: no temporary folder\n");
    return 1;
  }
  ::setenv("XDG_DATA_HOME", scratch.path().c_str(), 1);
  const std::string port = scratch.path() + "/printer.bin";
  std::ofstream(port, std::ios::binary).flush();

  // UTF-8 text is converted to the printer's code page; anything else is
  // taken as a capture file, the bytes as the till printed them.
  std::string ticket;
  if (!tillcast::Utf8ToAnsiExact(receipt, &ticket)) {
    std::string wide;
    size_t broken = 0;
    tillcast::platform::ConvertEncodingLossy("UTF-8", "UTF-32LE", receipt, std::string(4, '\0'), &wide, &broken);
    if (broken > 0) {
      ticket = receipt;
    } else {
      ticket = tillcast::Utf8ToAnsi(receipt);
      std::fprintf(stderr,
                   "tillcast-template-preview: %s holds characters the printer's code page lacks; they read as \"?\"\n",
                   pos[1].c_str());
    }
  }

  // The template's text is UTF-8 from the cloud; the agent converts it the
  // same way before it searches the receipt.
  const int unmatched = WarnUnmatchedRules(ticket, templ, pos[1]);

  tillcast::InstallPrintHooks();
  tillcast::DataMgr& data = tillcast::DataMgr::GetInstance();
  data.Init();
  data.SetConfig("PortType", "\xb2\xa2\xbf\xda");  // 并口 (GBK): a device path written as it is
  data.SetConfig("PortName", port);
  data.SetConfig("PageWidth", paper);
  if (!tillcast::RenderReceiptIn(ticket, templ, scratch.path())) {
    std::fprintf(stderr, "tillcast-template-preview: the template did not render (not valid, or no rows)\n");
    return 1;
  }
  std::error_code ec;
  if (fs::file_size(port, ec) == 0) {
    std::fprintf(stderr, "tillcast-template-preview: nothing was printed\n");
    return 1;
  }
  const int rendered = RunRender(port, pos[2], paper);
  if (rendered != 0) return rendered;
  return strict && unmatched > 0 ? kExitUnmatchedRule : 0;
}
