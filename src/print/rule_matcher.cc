#include "print/rule_matcher.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <memory>

#include "base/log.h"

namespace tillcast {
namespace {

struct CodeFree {
  void operator()(pcre2_code* p) const { pcre2_code_free(p); }
};
struct CompileContextFree {
  void operator()(pcre2_compile_context* p) const { pcre2_compile_context_free(p); }
};
struct MatchContextFree {
  void operator()(pcre2_match_context* p) const { pcre2_match_context_free(p); }
};
struct MatchDataFree {
  void operator()(pcre2_match_data* p) const { pcre2_match_data_free(p); }
};

// Options that give PCRE2 the behaviour of ECMAScript patterns: "$" only at
// the very end, "." stops at CR and LF, "[^]" is any character, \u and \x
// as in ECMAScript, a back reference to an unset group matches empty.
constexpr uint32_t kCompileOptions = PCRE2_DOLLAR_ENDONLY | PCRE2_ALT_BSUX | PCRE2_ALLOW_EMPTY_CLASS |
                                     PCRE2_MATCH_UNSET_BACKREF | PCRE2_NEVER_UTF | PCRE2_NEVER_UCP |
                                     PCRE2_NEVER_BACKSLASH_C;

bool Search(const std::string& pattern, const std::string& subject, std::vector<std::string>* groups) {
  groups->clear();
  if (pattern.size() > kRuleMaxPatternBytes) return false;

  std::unique_ptr<pcre2_compile_context, CompileContextFree> cctx(pcre2_compile_context_create(nullptr));
  if (!cctx) return false;
  pcre2_set_newline(cctx.get(), PCRE2_NEWLINE_ANYCRLF);
  pcre2_set_parens_nest_limit(cctx.get(), 250);
  int error = 0;
  PCRE2_SIZE offset = 0;
  std::unique_ptr<pcre2_code, CodeFree> code(pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(),
                                                           kCompileOptions, &error, &offset, cctx.get()));
  if (!code) {
    Log(LOG_WARNING, "rule pattern does not compile (error %d at %zu)", error, static_cast<size_t>(offset));
    return false;
  }

  std::unique_ptr<pcre2_match_context, MatchContextFree> mctx(pcre2_match_context_create(nullptr));
  std::unique_ptr<pcre2_match_data, MatchDataFree> data(pcre2_match_data_create_from_pattern(code.get(), nullptr));
  if (!mctx || !data) return false;
  pcre2_set_match_limit(mctx.get(), kRuleMatchLimit);
  pcre2_set_depth_limit(mctx.get(), kRuleDepthLimit);
  pcre2_set_heap_limit(mctx.get(), kRuleHeapLimitKiB);

  const int rc = pcre2_match(code.get(), reinterpret_cast<PCRE2_SPTR>(subject.data()), subject.size(), 0, 0, data.get(),
                             mctx.get());
  if (rc < 0) {
    if (rc != PCRE2_ERROR_NOMATCH) Log(LOG_WARNING, "rule pattern gave up (error %d)", rc);
    return false;
  }
  uint32_t captures = 0;
  pcre2_pattern_info(code.get(), PCRE2_INFO_CAPTURECOUNT, &captures);
  const PCRE2_SIZE* ov = pcre2_get_ovector_pointer(data.get());
  const uint32_t pairs = pcre2_get_ovector_count(data.get());
  groups->reserve(captures + 1);
  for (uint32_t i = 0; i <= captures; ++i) {
    if (i < pairs && i < static_cast<uint32_t>(rc) && ov[2 * i] != PCRE2_UNSET && ov[2 * i + 1] >= ov[2 * i]) {
      groups->push_back(subject.substr(ov[2 * i], ov[2 * i + 1] - ov[2 * i]));
    } else {
      groups->push_back(std::string());
    }
  }
  return true;
}

}  // namespace

bool SearchRule(const std::string& pattern, const std::string& subject, std::vector<std::string>* groups) {
  return Search(pattern, subject, groups);
}

}  // namespace tillcast
