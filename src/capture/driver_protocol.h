// The capture driver's control protocol: control codes, the fixed-size
// records they carry, and how one control call travels over the driver's
// control socket.
//
// One call is one SOCK_SEQPACKET message each way (all integers
// little-endian):
//   request: u32 control code, u32 input length, input bytes
//            (+ one descriptor as SCM_RIGHTS for Dm_AddPortMonitor: the
//            monitor's event)
//   reply:   u32 status (0 = success, else an error number), u32 output
//            length, output bytes
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tillcast::driver {

// The identity under which the agent registers.
inline constexpr uint32_t kAppId = 2;
inline constexpr uint32_t kPortSerial = 1;
inline constexpr uint32_t kPortParallel = 2;

inline constexpr uint32_t kIoctlAddPortMonitor = 0x0022A65C;
inline constexpr uint32_t kIoctlRemovePortMonitor = 0x0022A660;
inline constexpr uint32_t kIoctlRemoveAllPortMonitor = 0x0022A664;
inline constexpr uint32_t kIoctlGetSerialComData = 0x0022664C;
inline constexpr uint32_t kIoctlGetParallelData = 0x00226658;
inline constexpr uint32_t kIoctlAppExit = 0x0022A648;
// Test hook of the driver stand-in (only when it runs with test hooks on):
// input = u32 port type, u32 source, payload bytes; queued as if captured.
inline constexpr uint32_t kIoctlTestInject = 0x0022A700;

// Error numbers in replies.
inline constexpr uint32_t kErrInvalidFunction = 1;
inline constexpr uint32_t kErrFileNotFound = 2;
inline constexpr uint32_t kErrAccessDenied = 5;
inline constexpr uint32_t kErrGenFailure = 31;
inline constexpr uint32_t kErrInvalidParameter = 87;
inline constexpr uint32_t kErrInsufficientBuffer = 122;
inline constexpr uint32_t kErrNoMoreItems = 259;
inline constexpr uint32_t kErrNotFound = 1168;
inline constexpr uint32_t kErrDeviceNotConnected = 1167;
inline constexpr uint32_t kErrTimeout = 1460;

inline constexpr size_t kPayloadMax = 4096;
// Set in a payload's source when the driver kept its bytes while no agent
// monitored their port (the agent was away or reconnecting): the till
// printed them earlier than the agent gets them.
inline constexpr uint32_t kSourceHeld = 0x80000000u;

struct PortMonitorRequest {  // 16 bytes
  uint32_t appid;
  uint32_t type;
  int32_t port;
  uint32_t event;
};
struct PortMonitorRemoval {  // 12 bytes
  uint32_t appid;
  uint32_t type;
  int32_t port;
};
struct AppIdRecord {  // 4 bytes
  uint32_t appid;
};
struct PortDataReply {  // 4104 bytes
  uint32_t source;
  uint32_t length;
  uint8_t payload[kPayloadMax];
};
static_assert(sizeof(PortMonitorRequest) == 16);
static_assert(sizeof(PortMonitorRemoval) == 12);
static_assert(sizeof(AppIdRecord) == 4);
static_assert(sizeof(PortDataReply) == 4104);

inline constexpr size_t kMessageHeader = 8;
// Largest request input any code takes (the test hook's).
inline constexpr size_t kMaxRequestInput = 8 + kPayloadMax;
inline constexpr size_t kMaxMessage = kMessageHeader + sizeof(PortDataReply);

// Record <-> bytes. Decoders are false unless `size` is exactly the record's.
std::string EncodePortMonitorRequest(const PortMonitorRequest& r);
std::string EncodePortMonitorRemoval(const PortMonitorRemoval& r);
std::string EncodeAppIdRecord(const AppIdRecord& r);
std::string EncodePortDataReply(const PortDataReply& r);
bool DecodePortMonitorRequest(const uint8_t* data, size_t size, PortMonitorRequest* out);
bool DecodePortMonitorRemoval(const uint8_t* data, size_t size, PortMonitorRemoval* out);
bool DecodeAppIdRecord(const uint8_t* data, size_t size, AppIdRecord* out);
bool DecodePortDataReply(const uint8_t* data, size_t size, PortDataReply* out);

// One message: u32 first (code or status), u32 body length, body.
std::string EncodeMessage(uint32_t first, const void* body, size_t body_size);
// False when the message is shorter than its header, its length field does
// not match what follows, or the body is longer than `max_body`. `*body`
// points into `data`.
bool DecodeMessage(const uint8_t* data, size_t size, size_t max_body, uint32_t* first, const uint8_t** body,
                   size_t* body_size);

// Little-endian helpers.
uint32_t ReadU32(const uint8_t* p);
void AppendU32(std::string* out, uint32_t v);

// $TILLCAST_DRIVER_SOCKET, default /run/tillcast/Sf_WatchSvr.
std::string ControlSocketPath();

}  // namespace tillcast::driver
