// Control requests as the driver stand-in decodes them, from any client.
#include <cstddef>
#include <cstdint>

#include "capture/driver_protocol.h"
#include "driver_core.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static tillcast::serialfilter::DriverCore core(true);
  // Alternate the connection so app exit and dropped clients are reached.
  const int client = size > 0 ? data[0] & 3 : 0;
  const std::string reply = core.Handle(client, data, size, -1);
  uint32_t status = 0;
  const uint8_t* body = nullptr;
  size_t body_size = 0;
  if (!tillcast::driver::DecodeMessage(reinterpret_cast<const uint8_t*>(reply.data()), reply.size(),
                                       tillcast::driver::kMaxMessage, &status, &body, &body_size))
    __builtin_trap();
  if (size > 0 && data[0] == 0xFF) core.DropClient(client);
  // Keep the queues from growing without bound across runs.
  while (core.Pending(1) > 64 || core.Pending(2) > 64) {
    const std::string m = tillcast::driver::EncodeMessage(tillcast::driver::kIoctlGetSerialComData, nullptr, 0);
    const std::string p = tillcast::driver::EncodeMessage(tillcast::driver::kIoctlGetParallelData, nullptr, 0);
    core.Handle(0, reinterpret_cast<const uint8_t*>(m.data()), m.size(), -1);
    core.Handle(0, reinterpret_cast<const uint8_t*>(p.data()), p.size(), -1);
  }
  return 0;
}
