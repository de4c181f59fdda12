// Searches for a template rule's pattern in a receipt text.
//
// Patterns use ECMAScript syntax and are matched byte-wise on ANSI text. The
// engine (PCRE2) works on the heap and stops at a match limit, so a hostile
// pattern or a long receipt costs bounded time and never overflows the stack.
// Thread-safe.
#pragma once

#include <string>
#include <vector>

namespace tillcast {

// Bounds of one search.
inline constexpr unsigned kRuleMatchLimit = 1000000;
inline constexpr unsigned kRuleDepthLimit = 100000;
inline constexpr unsigned kRuleHeapLimitKiB = 64 * 1024;
inline constexpr size_t kRuleMaxPatternBytes = 16 * 1024;

// The first match of `pattern` anywhere in `subject`: `groups` gets the whole
// match, then every capture group ("" for one that did not take part).
// False, with `groups` empty, when the pattern does not compile, does not
// match or runs past a limit.
bool SearchRule(const std::string& pattern, const std::string& subject, std::vector<std::string>* groups);

}  // namespace tillcast
