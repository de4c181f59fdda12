#include "platform/ini_file.h"

#include <cstdlib>

#include <strings.h>

#include "platform/paths.h"

namespace tillcast::platform {
namespace {

std::string Trim(const std::string& s) {
  const char* ws = " \t\r\n\f\v";
  const size_t b = s.find_first_not_of(ws);
  if (b == std::string::npos) return {};
  const size_t e = s.find_last_not_of(ws);
  return s.substr(b, e - b + 1);
}

bool SameName(const std::string& a, const std::string& b) {
  return a.size() == b.size() && strcasecmp(a.c_str(), b.c_str()) == 0;
}

}  // namespace

bool IniFile::Load(const std::string& path) {
  entries_.clear();
  std::string text;
  int err = 0;
  if (!ReadWholeFile(path, &text, &err)) return false;
  Parse(text);
  return true;
}

void IniFile::Parse(const std::string& raw) {
  entries_.clear();
  std::string text = raw;
  if (text.rfind("\xEF\xBB\xBF", 0) == 0) text.erase(0, 3);  // UTF-8 mark
  std::string section;
  bool in_section = false;
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t nl = text.find('\n', pos);
    if (nl == std::string::npos) nl = text.size();
    const std::string line = Trim(text.substr(pos, nl - pos));
    pos = nl + 1;
    if (line.empty() || line[0] == ';') continue;
    if (line[0] == '[') {
      const size_t close = line.find(']');
      section = Trim(line.substr(1, close == std::string::npos ? std::string::npos : close - 1));
      in_section = true;
      continue;
    }
    if (!in_section) continue;
    const size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    const std::string key = Trim(line.substr(0, eq));
    std::string value = Trim(line.substr(eq + 1));
    if (value.size() >= 2 &&
        ((value.front() == '"' && value.back() == '"') || (value.front() == '\'' && value.back() == '\''))) {
      value = value.substr(1, value.size() - 2);
    }
    if (value.size() > kMaxProfileValueBytes) value.resize(kMaxProfileValueBytes);
    entries_.push_back({section, key, value});
  }
}

std::string IniFile::GetString(const std::string& section, const std::string& key, const std::string& fallback) const {
  for (const Entry& e : entries_) {
    if (SameName(e.section, section) && SameName(e.key, key)) return e.value;
  }
  return fallback;
}

uint32_t IniFile::GetNumber(const std::string& section, const std::string& key, uint32_t fallback, uint32_t lo,
                            uint32_t hi, bool* bad) const {
  if (bad != nullptr) *bad = false;
  const std::string text = GetString(section, key, "");
  if (text.empty()) return fallback;
  const bool digits = text.size() <= 10 && text.find_first_not_of("0123456789") == std::string::npos;
  const unsigned long long v = digits ? std::strtoull(text.c_str(), nullptr, 10) : 0;
  if (!digits || v < lo || v > hi) {
    if (bad != nullptr) *bad = true;
    return fallback;
  }
  return static_cast<uint32_t>(v);
}

}  // namespace tillcast::platform
