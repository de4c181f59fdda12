// tillcast-vprinter: a receipt printer on this machine that turns ESC/POS
// into pictures of the paper and text transcripts.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "render.h"
#include "serve.h"

namespace {

const char kUsage[] =
    "usage:\n"
    "  tillcast-vprinter render IN.bin OUT.png [--paper 58|80] [--chinese on|off]\n"
    "  tillcast-vprinter serve --out DIR [--paper 58|80] (--pty LINK | --tcp PORT [--bind ADDR] | --input PATH)\n"
    "                          [--quiet-ms N] [--chinese on|off]\n"
    "\n"
    "A virtual receipt printer: reads ESC/POS and draws each document as a PNG picture of\n"
    "the paper (203 dpi, white paper, black ink) with a UTF-8 transcript of its text lines.\n"
    "\n"
    "render          draws one file: OUT.png and its transcript OUT.txt; when the file holds\n"
    "                several documents (cuts), the further ones go to OUT-2.png, OUT-3.png...\n"
    "serve           listens and writes every document to the --out folder as\n"
    "                NNNN-YYYYMMDD-HHMMSS.png, .txt and .bin (the raw bytes); one summary line\n"
    "                per document on stdout. Stops on SIGTERM or SIGINT after closing the\n"
    "                document in progress.\n"
    "\n"
    "options:\n"
    "  --paper 58|80     paper width: 58 mm (384 dots) or 80 mm (576 dots); default 80\n"
    "  --chinese on|off  Chinese (GBK double-byte) mode at start and after ESC @; default off,\n"
    "                    FS & and FS . switch it in the data\n"
    "  --out DIR         folder for the documents (created when missing)\n"
    "  --pty LINK        create a pseudo-terminal, print its path and make LINK a symbolic\n"
    "                    link to it (\"-\": no link); status requests are answered on it\n"
    "  --tcp PORT        listen on a TCP port (9100 for a network printer, 0: any free port,\n"
    "                    printed at start); one connection at a time, its end closes the\n"
    "                    document\n"
    "  --bind ADDR       IPv4 address for --tcp; default 127.0.0.1\n"
    "  --input PATH      read a named pipe (kept open for many writers), a character device,\n"
    "                    a regular file or \"-\" for stdin (these two stop at their end)\n"
    "  --quiet-ms N      close a document without a cut after N ms without bytes; default\n"
    "                    2000\n"
    "  --help            this text\n"
    "\n"
    "A cut (GS V, ESC i, ESC m) ends a document. Commands the printer does not know are\n"
    "skipped by their length and counted in the summary line.\n"
    "Exit codes: 0 done, 1 failure, 2 bad command line.\n";

int Usage(const std::string& error) {
  std::fprintf(stderr, "tillcast-vprinter: %s\n(see tillcast-vprinter --help)\n", error.c_str());
  return 2;
}

bool ParseInt(const std::string& text, int lo, int hi, int* out) {
  if (text.empty() || text.size() > 9) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  const int v = std::atoi(text.c_str());
  if (v < lo || v > hi) return false;
  *out = v;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  for (const std::string& a : args) {
    if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
  }
  if (args.empty()) return Usage("missing command: render or serve");
  const std::string command = args[0];
  if (command != "render" && command != "serve") return Usage("unknown command \"" + command + "\"");

  vprinter::Paper paper = vprinter::kPaper80;
  bool chinese = false;
  std::vector<std::string> positional;
  vprinter::ServeOptions serve;
  int sources = 0;
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a.rfind("--", 0) != 0) {
      positional.push_back(a);
      continue;
    }
    if (i + 1 >= args.size()) return Usage(a + " needs a value");
    const std::string v = args[++i];
    if (a == "--paper") {
      if (v == "58")
        paper = vprinter::kPaper58;
      else if (v == "80")
        paper = vprinter::kPaper80;
      else
        return Usage("--paper must be 58 or 80, not \"" + v + "\"");
    } else if (a == "--chinese") {
      if (v != "on" && v != "off") return Usage("--chinese must be on or off");
      chinese = v == "on";
    } else if (command == "serve" && a == "--out") {
      serve.out_dir = v;
    } else if (command == "serve" && a == "--pty") {
      serve.source = vprinter::ServeOptions::Source::kPty;
      serve.pty_link = v;
      ++sources;
    } else if (command == "serve" && a == "--tcp") {
      if (!ParseInt(v, 0, 65535, &serve.tcp_port)) return Usage("--tcp needs a port number 0..65535");
      serve.source = vprinter::ServeOptions::Source::kTcp;
      ++sources;
    } else if (command == "serve" && a == "--bind") {
      serve.bind = v;
    } else if (command == "serve" && a == "--input") {
      serve.source = vprinter::ServeOptions::Source::kInput;
      serve.input = v;
      ++sources;
    } else if (command == "serve" && a == "--quiet-ms") {
      int ms = 0;
      if (!ParseInt(v, 1, 3600000, &ms)) return Usage("--quiet-ms needs a number of milliseconds 1..3600000");
      serve.quiet_ms = ms;
    } else {
      return Usage("unknown option " + a + " for " + command);
    }
  }

  if (command == "render") {
    if (positional.size() != 2) return Usage("render needs IN.bin and OUT.png");
    vprinter::RenderOptions options;
    options.input = positional[0];
    options.output_png = positional[1];
    options.paper = paper;
    options.chinese_default = chinese;
    return vprinter::RenderFile(options);
  }
  if (!positional.empty()) return Usage("unexpected argument \"" + positional[0] + "\"");
  if (serve.out_dir.empty()) return Usage("serve needs --out DIR");
  if (sources != 1) return Usage("serve needs exactly one of --pty, --tcp, --input");
  serve.paper = paper;
  serve.chinese_default = chinese;
  return vprinter::Serve(serve);
}
