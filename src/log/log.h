#pragma once
// The one diagnostic log call. Each record goes over its own connection to the
// host agent's log service; with no service the record is dropped.
//
// IKX_LOG_FILE is the module file name, defined once per source folder by the
// build, so records name the module rather than the physical file.
#include <cstdint>
#include <string>

namespace ikx {

enum LogLevel : int { kFatal = 0, kAlert, kCrit, kError, kWarn, kNotice, kInfo, kDebug, kTrace };

constexpr char kLogTag[] = "VORN_EXT_IKX";

void WriteDebugLog(const char* tag, int level, const char* file, int line, const char* function,
                   const char* format, ...);
void SendLogToServer(const char* tag, int level, const char* file, int line, const char* function,
                     const char* message);
// The record SendLogToServer sends, without its terminating NUL; empty when
// it cannot be made (no memory).
std::u16string BuildLogRecord(const char* tag, int level, const char* file, int line,
                              const char* function, const char* message);

// Process attach / detach (DllMain); tests call them to switch logging on.
bool CreateLogWriter();
void DestroyLogWriter();

}  // namespace ikx

#define IKX_LOG(level, ...) \
    ::ikx::WriteDebugLog(::ikx::kLogTag, level, IKX_LOG_FILE, __LINE__, __func__, __VA_ARGS__)
// For records that belong to a caller's function (a shared step of several exports).
#define IKX_LOG_FOR(function, level, ...) \
    ::ikx::WriteDebugLog(::ikx::kLogTag, level, IKX_LOG_FILE, __LINE__, function, __VA_ARGS__)
#define LOG_WARN_AS(function, ...) IKX_LOG_FOR(function, ::ikx::kWarn, __VA_ARGS__)
#define LOG_INFO_AS(function, ...) IKX_LOG_FOR(function, ::ikx::kInfo, __VA_ARGS__)
#define LOG_TRACE_AS(function, ...) IKX_LOG_FOR(function, ::ikx::kTrace, __VA_ARGS__)
#define LOG_WARN(...) IKX_LOG(::ikx::kWarn, __VA_ARGS__)
#define LOG_NOTICE(...) IKX_LOG(::ikx::kNotice, __VA_ARGS__)
#define LOG_INFO(...) IKX_LOG(::ikx::kInfo, __VA_ARGS__)
#define LOG_TRACE(...) IKX_LOG(::ikx::kTrace, __VA_ARGS__)
