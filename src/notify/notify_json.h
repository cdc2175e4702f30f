#pragma once
// Reading a notification. Only const access: a non-const operator[] would add
// null members to the request and change what is forwarded. A JSON type error
// (an object where text is expected, a negative unsigned) raises the JSON
// library's exception, which the request frame reports as a failed handler.
#include <json/json.h>

#include <cstdint>
#include <string>

namespace ikx {

// notify_data.notify_content; null when absent.
const Json::Value& NotifyContent(const Json::Value& request);
// A member as 8-bit text: numbers as their decimal text, booleans as true or
// false, absent or null as the empty text.
std::string ReadText(const Json::Value& object, const char* key);
// The same, converted from UTF-8.
std::wstring ReadWide(const Json::Value& object, const char* key);
// The compact one-line text of a value with its line feed, "null\n" for null.
std::string CompactJson(const Json::Value& value);

// The envelope echo in the calling handler's name; the framed form opens
// with the "iProduct Get Json Data" start line.
void EchoEnvelope(const char* handler, const Json::Value& request);
void EchoEnvelopeFramed(const char* handler, const Json::Value& request);
void LogJsonDataEnd(const char* handler);

}  // namespace ikx
