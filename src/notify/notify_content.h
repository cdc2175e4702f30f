#pragma once
// Reading a notification's content. Only const access: a non-const operator[]
// would add null members to the request and change what is forwarded. A JSON
// type error (an object where text is expected, a negative unsigned) raises
// the JSON library's exception, which the request frame reports as a failed
// handler.
#include <json/json.h>

#include <cstdint>
#include <string>

namespace ikx {

// notify_data.notify_content; null when absent.
const Json::Value& NotifyContent(const Json::Value& request);
// A member as 8-bit text: numbers as their decimal text, booleans as true or
// false, absent or null as the empty text.
std::string ReadText(const Json::Value& object, const char* key);
// The compact one-line text of a value with its line feed, "null\n" for null.
std::string CompactJson(const Json::Value& value);
// The self-protection word: 1 when any of enable.file, .process, .registry
// and .service is on; later switches are not read once one is found.
uint32_t SelfProtectionWord(const Json::Value& content);
// Only the exact lower-case word turns the proxy on: the JSON true and "true".
bool ProxyEnabled(const Json::Value& content);

}  // namespace ikx
