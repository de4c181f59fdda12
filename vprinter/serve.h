// The listening modes: a pseudo-terminal, a TCP port, or a file, pipe or
// stdin, each feeding one session whose documents land in an output
// folder. Runs until SIGTERM/SIGINT (or the end of a file or stdin), then
// closes the document in progress.
#pragma once

#include <cstdint>
#include <string>

#include "printer_model.h"

namespace vprinter {

struct ServeOptions {
  enum class Source { kPty, kTcp, kInput };
  Source source = Source::kInput;
  std::string out_dir;
  Paper paper = kPaper80;
  std::string pty_link;  // "" or "-": no link
  int tcp_port = 9100;   // 0: any free port
  std::string bind = "127.0.0.1";
  std::string input;  // path, or "-" for stdin
  int64_t quiet_ms = 2000;
  bool chinese_default = false;
};

// Returns the process exit code: 0 after a clean stop, 1 on failure.
int Serve(const ServeOptions& options);

}  // namespace vprinter
