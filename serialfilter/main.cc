// SerialFilter: the capture driver stand-in. Proxies the till's printer
// ports, keeps a copy of what the till writes and hands it to the agent
// through its control socket.
//
// Usage: SerialFilter64 [-c CONFIG] [--test-hooks]
//        SerialFilter64 --keep-ports [-c CONFIG] [--managed]
// The second form is the port keeper (port_keeper.h), which holds the till's
// ports across driver restarts; the driver starts one itself when none runs.
// --managed is for a keeper run by a service manager: it stays when the
// driver stops cleanly and does not end after a time without a driver.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "config.h"
#include "daemon.h"
#include "port_keeper.h"
#include "warn.h"

int main(int argc, char** argv) {
  using namespace tillcast::serialfilter;
  std::string config_path = DefaultConfigPath();
  const char* hooks_env = std::getenv("TILLCAST_DRIVER_TEST_HOOKS");
  bool test_hooks = hooks_env != nullptr && std::strcmp(hooks_env, "1") == 0;
  bool keep_ports = false, managed = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "-c") == 0 && i + 1 < argc) {
      config_path = argv[++i];
    } else if (std::strcmp(argv[i], "--test-hooks") == 0) {
      test_hooks = true;
    } else if (std::strcmp(argv[i], "--keep-ports") == 0) {
      keep_ports = true;
    } else if (std::strcmp(argv[i], "--managed") == 0) {
      managed = true;
    } else {
      std::fprintf(stderr, "usage: %s [-c CONFIG] [--test-hooks]\n       %s --keep-ports [-c CONFIG] [--managed]\n",
                   argv[0], argv[0]);
      return 2;
    }
  }
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  sigprocmask(SIG_BLOCK, &set, nullptr);
  signal(SIGPIPE, SIG_IGN);

  std::string error;
  if (keep_ports) {
    SetWarnPrefix("SerialFilter ports");
    PortKeeper keeper;
    bool in_use = false;
    if (!keeper.Start(config_path, managed, &error, &in_use)) {
      // Another keeper holds the ports already: nothing to do.
      if (in_use) return 0;
      Warn("%s", error.c_str());
      return 1;
    }
    return keeper.Run();
  }

  DriverConfig config;
  if (!LoadConfig(config_path, &config, &error)) {
    Warn("%s: %s", config_path.c_str(), error.c_str());
    return 1;
  }
  Daemon daemon;
  if (!daemon.Start(config, config_path, test_hooks, &error)) {
    Warn("%s", error.c_str());
    return 1;
  }
  return daemon.Run();
}
