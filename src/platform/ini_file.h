// Reading INI files the way the home platform's private-profile functions
// do: section and key names compare without regard to case, blanks around
// names and values are dropped, a value in matching quotes loses them, the
// first of duplicate keys wins, and a value is cut to 4095 bytes.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace tillcast::platform {

inline constexpr size_t kMaxProfileValueBytes = 4095;

// Not thread-safe; read-only after Load.
class IniFile {
 public:
  // Reads `path`. A missing or unreadable file is an empty profile (false).
  bool Load(const std::string& path);
  // Parses `text` as the contents of a profile.
  void Parse(const std::string& text);
  // The value of `key` in `section`, or `fallback` when either is missing.
  std::string GetString(const std::string& section, const std::string& key, const std::string& fallback) const;
  // A decimal number (digits only) in [lo, hi]. `fallback` when the key is
  // missing, and also, with `*bad` set (may be null), for any other value.
  uint32_t GetNumber(const std::string& section, const std::string& key, uint32_t fallback, uint32_t lo, uint32_t hi,
                     bool* bad = nullptr) const;

 private:
  struct Entry {
    std::string section, key, value;
  };
  std::vector<Entry> entries_;
};

}  // namespace tillcast::platform
