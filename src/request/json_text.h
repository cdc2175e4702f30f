#pragma once
// Parsing JSON text that comes from outside: the framework's requests and the
// sibling extension's answers.
#include <json/json.h>

#include <string>

namespace ikx {

// Parses with comments collected. False, with `value` null, when the text does
// not parse, however the reader fails: it throws once nesting passes its stack
// limit, and that is a parse failure like any other.
bool ParseJsonText(const std::string& text, Json::Value& value);

}  // namespace ikx
