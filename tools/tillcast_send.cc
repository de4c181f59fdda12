// tillcast-send CODE [PAYLOAD]: sends one message to the running agent's
// local endpoint (201 quits it, 101 uploads a file). tillcast-send --ping
// only asks whether the agent answers.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/ipc.h"

namespace {

constexpr char kUsage[] =
    "usage: tillcast-send CODE [PAYLOAD]\n"
    "       tillcast-send --ping\n"
    "  sends (CODE, PAYLOAD) to the running agent: 201 quits it, 101 PATH uploads a capture file.\n"
    "  --ping exits 0 when the agent answers on its endpoint, 1 when it does not.\n"
    "  endpoint: $TILLCAST_IPC_SOCKET, else tillcast.sock in the runtime folder ($XDG_RUNTIME_DIR\n"
    "  or /tmp/tillcast-<uid> when private to this user, else <data folder>/run)\n";

}  // namespace

int main(int argc, char** argv) {
  const std::string first = argc > 1 ? argv[1] : "";
  if (first == "--help" || first == "-h") {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (argc < 2 || argc > 3 || (first == "--ping" && argc != 2)) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  const std::string path = tillcast::platform::DefaultIpcSocketPath();
  std::string error;
  if (first == "--ping") {
    if (!tillcast::platform::IpcAnswers(path, 3000, &error)) {
      std::fprintf(stderr, "tillcast-send: the agent does not answer: %s\n", error.c_str());
      return 1;
    }
    std::printf("the agent answers on %s\n", path.c_str());
    return 0;
  }
  char* end = nullptr;
  const unsigned long code = std::strtoul(argv[1], &end, 10);
  if (end == argv[1] || *end != '\0' || code > 0xFFFFFFFFul) {
    std::fprintf(stderr, "tillcast-send: CODE must be a decimal number, not \"%s\"\n", argv[1]);
    return 2;
  }
  const std::string payload = argc == 3 ? argv[2] : "";
  if (!tillcast::platform::IpcSend(path, static_cast<uint32_t>(code), payload, 5000, &error)) {
    std::fprintf(stderr, "tillcast-send: %s\n", error.c_str());
    return 1;
  }
  return 0;
}
