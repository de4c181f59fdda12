#include "capture/driver_protocol.h"

#include <cstdlib>
#include <cstring>

namespace tillcast::driver {

uint32_t ReadU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

void AppendU32(std::string* out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out->push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

std::string EncodePortMonitorRequest(const PortMonitorRequest& r) {
  std::string out;
  AppendU32(&out, r.appid);
  AppendU32(&out, r.type);
  AppendU32(&out, static_cast<uint32_t>(r.port));
  AppendU32(&out, r.event);
  return out;
}

std::string EncodePortMonitorRemoval(const PortMonitorRemoval& r) {
  std::string out;
  AppendU32(&out, r.appid);
  AppendU32(&out, r.type);
  AppendU32(&out, static_cast<uint32_t>(r.port));
  return out;
}

std::string EncodeAppIdRecord(const AppIdRecord& r) {
  std::string out;
  AppendU32(&out, r.appid);
  return out;
}

std::string EncodePortDataReply(const PortDataReply& r) {
  std::string out;
  AppendU32(&out, r.source);
  AppendU32(&out, r.length);
  out.append(reinterpret_cast<const char*>(r.payload), kPayloadMax);
  return out;
}

bool DecodePortMonitorRequest(const uint8_t* data, size_t size, PortMonitorRequest* out) {
  if (size != 16) return false;
  out->appid = ReadU32(data);
  out->type = ReadU32(data + 4);
  out->port = static_cast<int32_t>(ReadU32(data + 8));
  out->event = ReadU32(data + 12);
  return true;
}

bool DecodePortMonitorRemoval(const uint8_t* data, size_t size, PortMonitorRemoval* out) {
  if (size != 12) return false;
  out->appid = ReadU32(data);
  out->type = ReadU32(data + 4);
  out->port = static_cast<int32_t>(ReadU32(data + 8));
  return true;
}

bool DecodeAppIdRecord(const uint8_t* data, size_t size, AppIdRecord* out) {
  if (size != 4) return false;
  out->appid = ReadU32(data);
  return true;
}

bool DecodePortDataReply(const uint8_t* data, size_t size, PortDataReply* out) {
  if (size != sizeof(PortDataReply)) return false;
  out->source = ReadU32(data);
  out->length = ReadU32(data + 4);
  std::memcpy(out->payload, data + 8, kPayloadMax);
  return true;
}

std::string EncodeMessage(uint32_t first, const void* body, size_t body_size) {
  std::string out;
  out.reserve(kMessageHeader + body_size);
  AppendU32(&out, first);
  AppendU32(&out, static_cast<uint32_t>(body_size));
  if (body_size) out.append(static_cast<const char*>(body), body_size);
  return out;
}

bool DecodeMessage(const uint8_t* data, size_t size, size_t max_body, uint32_t* first, const uint8_t** body,
                   size_t* body_size) {
  if (data == nullptr || size < kMessageHeader) return false;
  const uint32_t len = ReadU32(data + 4);
  if (len > max_body || len != size - kMessageHeader) return false;
  *first = ReadU32(data);
  *body = data + kMessageHeader;
  *body_size = len;
  return true;
}

std::string ControlSocketPath() {
  const char* v = std::getenv("TILLCAST_DRIVER_SOCKET");
  return v != nullptr && *v != '\0' ? std::string(v) : std::string("/run/tillcast/Sf_WatchSvr");
}

}  // namespace tillcast::driver
