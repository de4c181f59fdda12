// JSON helpers shared by the data manager's files.
#pragma once

#include <json/json.h>

#include <string>

namespace tillcast::data_internal {

// Parses with comments allowed and any root type; false (and a null root)
// on a syntax error or nesting too deep.
bool ParseJson(const std::string& text, Json::Value* root);

// The member `name` of `object`, or null when `object` is not an object or
// has no such member.
const Json::Value* FindMember(const Json::Value& object, const char* name);

// The member's text when it is a JSON string, else "".
std::string StringMember(const Json::Value& object, const char* name);

}  // namespace tillcast::data_internal
