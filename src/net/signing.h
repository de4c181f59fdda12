// The signed query of the cloud requests and the small text operations its
// parameters need: URL encoding, the nonce, the hex escape.
//
// All functions are thread-safe.
#pragma once

#include <cstddef>
#include <map>
#include <string>

namespace tillcast {

// Parameter name -> value, in plain byte order of the names: the order on
// the wire and in the signature.
using SignParams = std::map<std::string, std::string>;

// Fixed signing key and application id of the order service.
inline constexpr const char* kOrderServiceKey = "Rk7QmWzTpLx2VbNc9HfJdYs4GuEaXo3L";
inline constexpr const char* kOrderServiceAppId = "qoravtlumbexindsk72";

// name=UrlEncode(value)&...&sign=<upper-case MD5 of name=value&...&key=KEY>;
// "" for an empty set (no signature then), and "" (with an ERROR line) when
// the MD5 cannot be computed: the caller then sends nothing.
std::string MakeSignedQueryWithKey(const SignParams& params, const std::string& key);

// Signed with the store secret of the binding (DataMgr "secret").
std::string MakeSignedQuery(const SignParams& params);

// Signed with the order service key.
std::string MakeCvsSignedQuery(const SignParams& params);

// Letters and digits kept, white space -> "+", everything else "%XX".
std::string UrlEncode(const std::string& text);

// `n` characters of [0-9A-Za-z] from a freshly seeded MT19937.
std::string RandomString(size_t n);

// "\xNN" (lower-case hex) for every byte.
std::string HexEscape(const void* data, size_t length);

}  // namespace tillcast
