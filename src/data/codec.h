// Base64 (RFC 4648, standard alphabet) and MD5 (RFC 1321).
#pragma once

#include <string>
#include <vector>

namespace tillcast {

// Decodes four characters at a time; stops at the first "=" or at the first
// character outside the alphabet. A final group of two or three characters
// gives one or two bytes; a lone final character gives none.
std::vector<unsigned char> Base64Decode(const std::string& text);

// Standard encoding with "=" padding.
std::string Base64Encode(const void* data, size_t length);

// The 16-byte digest as 32 lower-case hex digits.
std::string Md5Hex(const void* data, size_t length);

}  // namespace tillcast
