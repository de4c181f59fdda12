// tillcast-send CODE [PAYLOAD]: sends one message to the running agent's
// local endpoint (201 quits it, 101 uploads a file).
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/ipc.h"

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3 || std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h") {
    std::fprintf(argc < 2 || argc > 3 ? stderr : stdout,
                 "usage: tillcast-send CODE [PAYLOAD]\n"
                 "  sends (CODE, PAYLOAD) to the running agent: 201 quits it, 101 PATH uploads a capture file.\n"
                 "  endpoint: $TILLCAST_IPC_SOCKET, else tillcast.sock in the runtime folder ($XDG_RUNTIME_DIR\n"
                 "  or /tmp/tillcast-<uid> when private to this user, else <data folder>/run)\n");
    return argc < 2 || argc > 3 ? 2 : 0;
  }
  char* end = nullptr;
  const unsigned long code = std::strtoul(argv[1], &end, 10);
  if (end == argv[1] || *end != '\0' || code > 0xFFFFFFFFul) {
    std::fprintf(stderr, "tillcast-send: CODE must be a decimal number, not \"%s\"\n", argv[1]);
    return 2;
  }
  const std::string payload = argc == 3 ? argv[2] : "";
  const std::string path = tillcast::platform::DefaultIpcSocketPath();
  std::string error;
  if (!tillcast::platform::IpcSend(path, static_cast<uint32_t>(code), payload, 5000, &error)) {
    std::fprintf(stderr, "tillcast-send: %s\n", error.c_str());
    return 1;
  }
  return 0;
}
