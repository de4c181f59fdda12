// SerialFilter: the capture driver stand-in. Proxies the till's printer
// ports, keeps a copy of what the till writes and hands it to the agent
// through its control socket.
//
// Usage: SerialFilter64 [-c CONFIG] [--test-hooks]
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "config.h"
#include "daemon.h"

int main(int argc, char** argv) {
  using namespace tillcast::serialfilter;
  std::string config_path = DefaultConfigPath();
  const char* hooks_env = std::getenv("TILLCAST_DRIVER_TEST_HOOKS");
  bool test_hooks = hooks_env != nullptr && std::strcmp(hooks_env, "1") == 0;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "-c") == 0 && i + 1 < argc) {
      config_path = argv[++i];
    } else if (std::strcmp(argv[i], "--test-hooks") == 0) {
      test_hooks = true;
    } else {
      std::fprintf(stderr, "usage: %s [-c CONFIG] [--test-hooks]\n", argv[0]);
      return 2;
    }
  }
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  sigprocmask(SIG_BLOCK, &set, nullptr);
  signal(SIGPIPE, SIG_IGN);

  DriverConfig config = DefaultConfig();
  if (FILE* f = std::fopen(config_path.c_str(), "rb")) {
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof(buf), f)) > 0) text.append(buf, n);
    std::fclose(f);
    std::string error;
    if (!ParseConfig(text, &config, &error)) {
      std::fprintf(stderr, "SerialFilter: %s: %s\n", config_path.c_str(), error.c_str());
      return 1;
    }
  }
  Daemon daemon;
  std::string error;
  if (!daemon.Start(config, test_hooks, &error)) {
    std::fprintf(stderr, "SerialFilter: %s\n", error.c_str());
    return 1;
  }
  return daemon.Run();
}
