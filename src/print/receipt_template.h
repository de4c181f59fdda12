// Parsing an additional-receipt template (JSON from the cloud) against the
// captured sale receipt: rules applied, placeholders filled, rows built.
// Pure functions; thread-safe.
#pragma once

#include <string>
#include <vector>

#include "print/receipt_types.h"

namespace tillcast {

// Bounds that keep a hostile template from costing unbounded time or
// memory; a template past the first three is refused.
inline constexpr size_t kMaxRules = 64;
inline constexpr size_t kMaxSourceRows = 1000;
inline constexpr size_t kMaxCellsPerRow = 64;
// Rules still unmatched after this much matching time count as not matching.
inline constexpr int kRuleTimeBudgetMs = 2000;
// A cell's content never grows past this while placeholders are filled.
inline constexpr size_t kMaxCellContentBytes = 64 * 1024;

struct ParsedTemplate {
  std::vector<ReceiptRule> rules;  // in ascending byte order of their names
  LayoutParams params;
  std::vector<ReceiptRow> rows;  // source rows, before layout
};

enum class TemplateResult {
  kOk,
  kUnparsable,  // not JSON
  kRejected,    // format not "json", rows missing or empty, past a bound
};

TemplateResult ParseReceiptTemplate(const std::string& ticketText, const std::string& templateText,
                                    ParsedTemplate* out);

// Replaces name[k] by groups[k] for every rule and group, scanning on after
// each inserted text, then strips spaces at both ends.
std::string FillPlaceholders(const std::string& content, const std::vector<ReceiptRule>& rules);

}  // namespace tillcast
