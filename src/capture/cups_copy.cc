#include "capture/cups_copy.h"

#include <cstdio>
#include <cstdlib>

namespace tillcast::capture {
namespace {

constexpr size_t kMaxValue = 200;

std::string Clean(const std::string& value) {
  std::string out;
  for (const char c : value) {
    if (out.size() >= kMaxValue) break;
    const auto u = static_cast<unsigned char>(c);
    out.push_back(u < 0x20 || u == 0x7F ? ' ' : c);
  }
  return out;
}

}  // namespace

std::string FormatCupsCopyHeader(const CupsCopyHeader& h) {
  std::string out = std::string(kCupsCopyMagic) + "\n";
  const std::pair<const char*, const std::string*> fields[] = {
      {"type", &h.type},   {"source", &h.source},       {"queue", &h.queue},
      {"job", &h.job},     {"document", &h.document},   {"user", &h.user},
      {"title", &h.title}, {"submitted", &h.submitted}, {"started", &h.started}};
  for (const auto& [key, value] : fields) out += std::string(key) + ": " + Clean(*value) + "\n";
  return out + "\n";
}

bool ParseCupsCopyHeader(const std::string& bytes, CupsCopyHeader* header, size_t* body_offset) {
  const std::string magic = std::string(kCupsCopyMagic) + "\n";
  if (bytes.compare(0, magic.size(), magic) != 0) return false;
  *header = CupsCopyHeader();
  size_t at = magic.size();
  while (at < bytes.size() && at < kCupsCopyMaxHeader) {
    const size_t end = bytes.find('\n', at);
    if (end == std::string::npos || end >= kCupsCopyMaxHeader) return false;
    if (end == at) {
      *body_offset = end + 1;
      return true;
    }
    const std::string line = bytes.substr(at, end - at);
    at = end + 1;
    const size_t colon = line.find(": ");
    if (colon == std::string::npos) continue;
    const std::string key = line.substr(0, colon);
    const std::string value = line.substr(colon + 2);
    if (key == "type")
      header->type = value;
    else if (key == "source")
      header->source = value;
    else if (key == "queue")
      header->queue = value;
    else if (key == "job")
      header->job = value;
    else if (key == "document")
      header->document = value;
    else if (key == "user")
      header->user = value;
    else if (key == "title")
      header->title = value;
    else if (key == "submitted")
      header->submitted = value;
    else if (key == "started")
      header->started = value;
  }
  return false;
}

bool CupsCopyWasHeld(const CupsCopyHeader& header, uint64_t* waited_ms) {
  const auto millis = [](const std::string& text, uint64_t* out) {
    if (text.empty() || text.size() > 19 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    *out = std::strtoull(text.c_str(), nullptr, 10);
    return *out > 0;
  };
  uint64_t submitted = 0, started = 0;
  if (!millis(header.submitted, &submitted) || !millis(header.started, &started)) return false;
  if (started < submitted || started - submitted <= kCupsHeldAfterMs) return false;
  *waited_ms = started - submitted;
  return true;
}

std::string CupsCopyName(uint64_t unix_ms, long job, int document) {
  char name[96];
  std::snprintf(name, sizeof(name), "%014llu-%ld-%d%s", static_cast<unsigned long long>(unix_ms), job, document,
                kCupsCopySuffix);
  return name;
}

bool IsCupsCopyName(const std::string& name) {
  const std::string suffix = kCupsCopySuffix;
  return !name.empty() && name[0] != '.' && name.find('/') == std::string::npos && name.size() > suffix.size() &&
         name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::string CupsInboxFolder() {
  const char* v = std::getenv("TILLCAST_CUPS_INBOX");
  return v != nullptr && *v != '\0' ? std::string(v) : std::string("/var/spool/tillcast/cups");
}

}  // namespace tillcast::capture
