#include "print/receipt_template.h"

#include <json/json.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <exception>
#include <memory>

#include "base/log.h"
#include "base/log_excerpt.h"
#include "base/text_util.h"
#include "print/rule_matcher.h"

namespace tillcast {
namespace {

// Blank lines after one row are bounded so a template cannot feed paper
// for ever.
constexpr double kMaxBlankLines = 255;
// ESC 3 takes one byte.
constexpr double kMaxLineSpaceDots = 255;

bool ParseJson(const std::string& text, Json::Value* root) {
  Json::CharReaderBuilder builder;
  builder["allowComments"] = true;
  builder["collectComments"] = false;
  builder["stackLimit"] = 256;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  std::string errors;
  try {
    return reader->parse(text.data(), text.data() + text.size(), root, &errors);
  } catch (const std::exception&) {
    *root = Json::Value();
    return false;
  }
}

const Json::Value* Member(const Json::Value& object, const char* name) {
  if (!object.isObject()) return nullptr;
  return object.find(name, name + std::strlen(name));
}

bool IntMember(const Json::Value& object, const char* name, int32_t* out) {
  const Json::Value* v = Member(object, name);
  if (v == nullptr || !v->isInt()) return false;
  *out = v->asInt();
  return true;
}

const Json::Value* StringMember(const Json::Value& object, const char* name) {
  const Json::Value* v = Member(object, name);
  return v != nullptr && v->isString() ? v : nullptr;
}

// A JSON number into [lo, hi], truncated towards zero.
int32_t ClampedInt(double v, double lo, double hi) { return static_cast<int32_t>(std::clamp(std::trunc(v), lo, hi)); }

std::vector<ReceiptRule> BuildRules(const Json::Value& root, const std::string& ticketText) {
  std::vector<ReceiptRule> rules;
  const Json::Value* members = Member(root, "rules");
  if (members == nullptr || !members->isObject()) return rules;
  std::vector<std::string> names = members->getMemberNames();
  std::sort(names.begin(), names.end());  // byte order
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kRuleTimeBudgetMs);
  bool overBudget = false;
  for (const std::string& name : names) {
    ReceiptRule rule;
    rule.name = name;
    const Json::Value& value = (*members)[name];
    // A rule that is not a text can never match.
    if (!value.isString()) {
      rules.push_back(std::move(rule));
      continue;
    }
    // The pattern is searched over the receipt's ANSI bytes, zero bytes and
    // printer commands included, as the store's templates were written for:
    // "." takes one byte, so ".{4}" after a Chinese text takes two
    // characters. A character the code page cannot hold would turn into "?"
    // (a quantifier), so such a rule matches nothing.
    if (!Utf8ToAnsiExact(value.asString(), &rule.pattern)) {
      Log(LOG_WARNING, "template rule %s matches nothing: its pattern holds a character the code page lacks",
          Utf8ToAnsi(name).c_str());
      rules.push_back(std::move(rule));
      continue;
    }
    if (!overBudget && std::chrono::steady_clock::now() > deadline) {
      overBudget = true;
      Log(LOG_WARNING, "template rules from %s on are not applied: matching took too long", Utf8ToAnsi(name).c_str());
    }
    if (!overBudget) SearchRule(rule.pattern, ticketText, &rule.groups);
    rules.push_back(std::move(rule));
  }
  return rules;
}

ReceiptCell BuildCell(const Json::Value& col, const std::vector<ReceiptRule>& rules, const LayoutParams& params) {
  ReceiptCell cell;
  cell.width = params.rowWidth;
  const Json::Value* type = StringMember(col, "content-type");
  const std::string kind = type != nullptr ? type->asString() : std::string();
  // A picture's content is Base64: it is neither converted nor searched.
  if (const Json::Value* content = StringMember(col, "content"); content != nullptr && kind != "img") {
    cell.content = FillPlaceholders(Utf8ToAnsi(content->asString()), rules);
  }
  if (const Json::Value* align = StringMember(col, "align")) {
    if (align->asString() == "center")
      cell.align = kAlignCenter;
    else if (align->asString() == "right")
      cell.align = kAlignRight;
  }
  if (kind == "txt") {
    int32_t v = 0;
    if (IntMember(col, "bold", &v) && v == 1) cell.style = kStyleBold;
    IntMember(col, "wscale", &cell.wscale);
    IntMember(col, "hscale", &cell.hscale);
    IntMember(col, "width", &cell.width);
    IntMember(col, "font-type", &cell.fontType);
    if (IntMember(col, "underline", &v)) {
      if (v == 1)
        cell.style |= kStyleUnderline;
      else if (v == 2)
        cell.style |= kStyleDoubleUnderline;
    }
  } else if (kind == "2d-code") {
    cell.kind = kCellQrCode;
    IntMember(col, "width", &cell.width);
    int32_t scale = 1;
    if (IntMember(col, "scale", &scale)) cell.scale = std::clamp(scale, 1, 6);
  } else if (kind == "img") {
    cell.kind = kCellPicture;
    const Json::Value* raw = StringMember(col, "content");
    cell.content = raw != nullptr ? raw->asString() : std::string();
  }
  return cell;
}

}  // namespace

std::string FillPlaceholders(const std::string& content, const std::vector<ReceiptRule>& rules) {
  std::string text = content;
  for (const ReceiptRule& rule : rules) {
    // Most cells name no rule at all; a pattern may have thousands of groups.
    if (rule.groups.empty() || text.find(rule.name + "[") == std::string::npos) continue;
    for (size_t k = 0; k < rule.groups.size(); ++k) {
      const std::string placeholder = rule.name + "[" + std::to_string(k) + "]";
      const std::string& value = rule.groups[k];
      size_t pos = 0;
      while ((pos = text.find(placeholder, pos)) != std::string::npos) {
        // A template that multiplies a long receipt into one cell stops
        // growing here; the rest of its placeholders stay as written.
        if (text.size() - placeholder.size() + value.size() > kMaxCellContentBytes) break;
        text.replace(pos, placeholder.size(), value);
        pos += value.size();
      }
    }
  }
  const size_t first = text.find_first_not_of(' ');
  if (first == std::string::npos) return std::string();
  const size_t last = text.find_last_not_of(' ');
  return text.substr(first, last - first + 1);
}

TemplateResult ParseReceiptTemplate(const std::string& ticketText, const std::string& templateText,
                                    ParsedTemplate* out) {
  *out = ParsedTemplate{};
  Json::Value root;
  if (!ParseJson(templateText, &root)) {
    Log(LOG_ERROR, "小票追打解析失败 %s", LogExcerpt(templateText).c_str());
    return TemplateResult::kUnparsable;
  }
  const Json::Value* format = StringMember(root, "format");
  if (format == nullptr || format->asString() != "json") return TemplateResult::kRejected;

  if (const Json::Value* rules = Member(root, "rules");
      rules != nullptr && rules->isObject() && rules->size() > kMaxRules) {
    Log(LOG_ERROR, "template refused: %u rules", rules->size());
    return TemplateResult::kRejected;
  }
  out->rules = BuildRules(root, ticketText);

  LayoutParams& p = out->params;
  IntMember(root, "left-margin", &p.leftMargin);
  IntMember(root, "right-margin", &p.rightMargin);
  IntMember(root, "row-width", &p.rowWidth);
  IntMember(root, "pixels-per-char", &p.pixelsPerChar);
  const int64_t width = int64_t{p.rowWidth} - p.rightMargin - p.leftMargin;
  p.rowWidth = static_cast<int32_t>(std::clamp<int64_t>(width, INT32_MIN, INT32_MAX));

  const Json::Value* rows = Member(root, "rows");
  if (rows == nullptr || !rows->isArray() || rows->empty()) return TemplateResult::kRejected;
  if (rows->size() > kMaxSourceRows) {
    Log(LOG_ERROR, "template refused: %u rows", rows->size());
    return TemplateResult::kRejected;
  }

  for (const Json::Value& element : *rows) {
    if (!element.isObject() && !element.isNull()) continue;
    ReceiptRow row;
    if (const Json::Value* ls = Member(element, "line-space"); ls != nullptr && ls->isNumeric()) {
      const double dots = ls->asDouble() * p.pixelsPerChar * 2.0 + 0.5;
      row.lineSpace = ClampedInt(dots, 0, kMaxLineSpaceDots);
    }
    if (const Json::Value* bl = Member(element, "blank-line"); bl != nullptr && bl->isNumeric()) {
      row.blankLine = ClampedInt(bl->asDouble(), -1, kMaxBlankLines);  // -1: no feed at all
    }
    if (const Json::Value* cols = Member(element, "cols")) {
      if (!cols->isArray()) continue;  // malformed row: dropped
      if (cols->size() > kMaxCellsPerRow) {
        Log(LOG_ERROR, "template refused: %u cells in a row", cols->size());
        *out = ParsedTemplate{};
        return TemplateResult::kRejected;
      }
      // An element that is not an object is a cell with every default.
      for (const Json::Value& col : *cols) row.cells.push_back(BuildCell(col, out->rules, p));
    }
    out->rows.push_back(std::move(row));
  }
  return TemplateResult::kOk;
}

}  // namespace tillcast
