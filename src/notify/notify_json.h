#pragma once
// Reading a notification for the Win32 side: wide text and the records that
// echo the envelope.
#include <json/json.h>

#include <string>

#include "notify/notify_content.h"

namespace ikx {

// ReadText converted from UTF-8.
std::wstring ReadWide(const Json::Value& object, const char* key);

// The envelope echo in the calling handler's name; the framed form opens
// with the "iProduct Get Json Data" start line.
void EchoEnvelope(const char* handler, const Json::Value& request);
void EchoEnvelopeFramed(const char* handler, const Json::Value& request);
void LogJsonDataEnd(const char* handler);

}  // namespace ikx
