#include "driver_core.h"

#include <unistd.h>

#include <cstdio>

#include "capture/driver_protocol.h"

namespace tillcast::serialfilter {

using namespace tillcast::driver;

namespace {

std::string Status(uint32_t status) { return EncodeMessage(status, nullptr, 0); }

}  // namespace

DriverCore::DriverCore(bool test_hooks) : test_hooks_(test_hooks) {}

DriverCore::~DriverCore() {
  for (const Monitor& m : monitors_) close(m.event);
}

std::deque<DriverCore::Payload>* DriverCore::Queue(uint32_t type) {
  if (type == kPortSerial) return &serial_;
  if (type == kPortParallel) return &parallel_;
  return nullptr;
}

void DriverCore::HoldUnmonitored(uint32_t hold_ms, uint64_t (*now_ms)()) {
  hold_ms_ = now_ms != nullptr ? hold_ms : 0;
  now_ms_ = now_ms;
  if (now_ms_ != nullptr) unmonitored_since_[0] = unmonitored_since_[1] = now_ms_();
}

bool DriverCore::Monitored(uint32_t type) const {
  for (const Monitor& m : monitors_)
    if (m.type == type) return true;
  return false;
}

bool DriverCore::HoldOver(uint32_t type) const {
  return hold_ms_ == 0 || now_ms_() - unmonitored_since_[type - 1] > hold_ms_;
}

void DriverCore::DropExpired(uint32_t type) {
  std::deque<Payload>* q = Queue(type);
  if (hold_ms_ == 0 || q == nullptr || q->empty() || Monitored(type)) return;
  if (HoldOver(type)) q->clear();
}

size_t DriverCore::Pending(uint32_t type) const {
  return type == kPortSerial ? serial_.size() : type == kPortParallel ? parallel_.size() : 0;
}

void DriverCore::Signal(int fd) {
  const uint64_t one = 1;
  // A full counter (EAGAIN) cannot happen with one signal per queued payload.
  [[maybe_unused]] ssize_t n = write(fd, &one, sizeof(one));
}

std::string DriverCore::Handle(int client, const uint8_t* msg, size_t size, int passed_fd) {
  uint32_t code = 0;
  const uint8_t* in = nullptr;
  size_t in_size = 0;
  std::string reply;
  if (!DecodeMessage(msg, size, kMaxRequestInput, &code, &in, &in_size)) {
    reply = Status(kErrInvalidParameter);
  } else {
    switch (code) {
      case kIoctlAddPortMonitor:
        reply = AddMonitor(client, in, in_size, passed_fd);
        passed_fd = -1;
        break;
      case kIoctlRemovePortMonitor: reply = RemoveMonitor(in, in_size); break;
      case kIoctlRemoveAllPortMonitor: reply = RemoveAll(in, in_size); break;
      case kIoctlGetSerialComData: reply = Fetch(kPortSerial); break;
      case kIoctlGetParallelData: reply = Fetch(kPortParallel); break;
      case kIoctlAppExit:
        DropClient(client);
        reply = Status(0);
        break;
      case kIoctlTestInject: reply = test_hooks_ ? Inject(in, in_size) : Status(kErrInvalidFunction); break;
      default: reply = Status(kErrInvalidFunction);
    }
  }
  if (passed_fd >= 0) close(passed_fd);
  return reply;
}

std::string DriverCore::AddMonitor(int client, const uint8_t* in, size_t size, int fd) {
  PortMonitorRequest r{};
  if (!DecodePortMonitorRequest(in, size, &r) || fd < 0 || Queue(r.type) == nullptr) {
    if (fd >= 0) close(fd);
    return Status(kErrInvalidParameter);
  }
  DropExpired(r.type);
  // A second registration of the same monitor replaces its event.
  for (Monitor& m : monitors_) {
    if (m.appid == r.appid && m.type == r.type && m.port == r.port) {
      close(m.event);
      m.event = fd;
      m.client = client;
      for (size_t i = 0; i < Queue(r.type)->size(); ++i) Signal(fd);
      return Status(0);
    }
  }
  monitors_.push_back({r.appid, r.type, r.port, client, fd});
  // Payloads still queued from an earlier registration are announced to the
  // new one, one signal each.
  for (size_t i = 0; i < Queue(r.type)->size(); ++i) Signal(fd);
  return Status(0);
}

void DriverCore::EraseMonitors(bool (*match)(const Monitor&, const void*), const void* arg) {
  const bool had[2] = {Monitored(kPortSerial), Monitored(kPortParallel)};
  for (auto it = monitors_.begin(); it != monitors_.end();) {
    if (match(*it, arg)) {
      close(it->event);
      it = monitors_.erase(it);
    } else {
      ++it;
    }
  }
  // The hold of a type starts when its last monitor goes.
  for (const uint32_t type : {kPortSerial, kPortParallel})
    if (now_ms_ != nullptr && had[type - 1] && !Monitored(type)) unmonitored_since_[type - 1] = now_ms_();
}

std::string DriverCore::RemoveMonitor(const uint8_t* in, size_t size) {
  PortMonitorRemoval r{};
  if (!DecodePortMonitorRemoval(in, size, &r)) return Status(kErrInvalidParameter);
  EraseMonitors(
      [](const Monitor& m, const void* a) {
        const auto* k = static_cast<const PortMonitorRemoval*>(a);
        return m.appid == k->appid && m.type == k->type && m.port == k->port;
      },
      &r);
  return Status(0);
}

std::string DriverCore::RemoveAll(const uint8_t* in, size_t size) {
  AppIdRecord r{};
  if (!DecodeAppIdRecord(in, size, &r)) return Status(kErrInvalidParameter);
  EraseMonitors([](const Monitor& m, const void* a) { return m.appid == static_cast<const AppIdRecord*>(a)->appid; },
                &r);
  return Status(0);
}

void DriverCore::DropClient(int client) {
  EraseMonitors([](const Monitor& m, const void* a) { return m.client == *static_cast<const int*>(a); }, &client);
}

std::string DriverCore::Fetch(uint32_t type) {
  std::deque<Payload>* q = Queue(type);
  if (q->empty()) return Status(kErrNoMoreItems);
  PortDataReply r{};
  r.source = q->front().source;
  r.length = static_cast<uint32_t>(q->front().bytes.size());
  q->front().bytes.copy(reinterpret_cast<char*>(r.payload), kPayloadMax);
  q->pop_front();
  const std::string body = EncodePortDataReply(r);
  return EncodeMessage(0, body.data(), body.size());
}

std::string DriverCore::Inject(const uint8_t* in, size_t size) {
  if (size < 8 || size > 8 + kPayloadMax) return Status(kErrInvalidParameter);
  const uint32_t type = ReadU32(in);
  if (Queue(type) == nullptr) return Status(kErrInvalidParameter);
  Enqueue(type, ReadU32(in + 4), in + 8, size - 8);
  return Status(0);
}

void DriverCore::Capture(uint32_t type, uint32_t source, const uint8_t* data, size_t size) {
  if (Queue(type) == nullptr) return;
  for (size_t off = 0; off < size; off += kPayloadMax) {
    const size_t n = size - off < kPayloadMax ? size - off : kPayloadMax;
    Enqueue(type, source, data + off, n);
  }
}

void DriverCore::Enqueue(uint32_t type, uint32_t source, const uint8_t* data, size_t size) {
  if (size == 0) return;
  const bool monitored = Monitored(type);
  if (!monitored) {
    // Kept for an agent that comes within the hold (announced to its
    // monitor when it registers), else dropped.
    DropExpired(type);
    if (HoldOver(type)) return;
    // Marked, so that the agent does not take them for a sale made now;
    // bytes after the registration never join them.
    source |= kSourceHeld;
  }
  std::deque<Payload>* q = Queue(type);
  // Bytes that follow a payload nobody has fetched yet join it: a till
  // writing byte by byte makes full payloads, not one per read, and the
  // join never waits for anything. Its signal was given already.
  if (!q->empty() && q->back().source == source && q->back().bytes.size() < kPayloadMax) {
    const size_t room = kPayloadMax - q->back().bytes.size();
    const size_t n = size < room ? size : room;
    q->back().bytes.append(reinterpret_cast<const char*>(data), n);
    data += n;
    size -= n;
    if (size == 0) return;
  }
  if (q->size() >= kMaxQueued) {
    // No one has fetched for a long while; keep the newest. The monitors'
    // counters still hold a signal for the dropped one, so a fetch may find
    // the queue empty, which the client survives.
    std::fprintf(stderr, "SerialFilter: queue of type %u full, oldest payload dropped\n", type);
    q->pop_front();
  }
  q->push_back({source, std::string(reinterpret_cast<const char*>(data), size)});
  for (const Monitor& m : monitors_)
    if (m.type == type) Signal(m.event);
}

}  // namespace tillcast::serialfilter
