// The process-wide log: one line per call, "[date] [time] [T:thread] [LEVEL]: "
// and the message, flushed at once, rotated through five numbered backups
// when it grows past 5 MiB. The level comes from the LOG section of the
// settings file: 0 nothing, 1 LESS lines, 2 LESS and DEBUG lines.
#pragma once

#include "platform/Time.h"

#include <cstdarg>
#include <cstdint>
#include <string>

namespace base {

enum class LogTag { Less, Debug, Sys };

constexpr int kLogLineLimit = 1300;  // bytes of header and message, before the line feed
constexpr std::uint32_t kLogSizeLimit = 0x500000;
constexpr int kLogBackupCount = 5;
constexpr const char* kLogFileName = "Recovery.log";
constexpr const char* kSettingsFile = "./config.ini";

// Reads LEVEL from section LOG of the settings file; a missing or bad value
// (anything but 0, 1 or 2) is written back as 2 and used as 2.
void ConfigureLog(const std::string& settingsPath = kSettingsFile);
// Opens (or creates) the log file; an oversized one is rotated first.
void SetLogFile(const std::string& path);
void ShutdownLog();

int LogLevel();
void SetLogLevel(int level);
// Tests shrink the limit to exercise rotation.
void SetLogSizeLimit(std::uint32_t bytes);

// The name of backup `number`: "_N" in front of the file name's last dot.
std::string LogBackupName(const std::string& path, int number);
// The line header for the given tag, time and thread.
std::string FormatLogHeader(LogTag tag, const platform::LocalTime& time, std::uint32_t threadId);

// The formats are C99's (mingw-w64 builds link its own printf family).
#if defined(__MINGW32__)
#define QUENLAR_LOG_FORMAT gnu_printf
#else
#define QUENLAR_LOG_FORMAT printf
#endif
void LogLess(const char* format, ...) __attribute__((format(QUENLAR_LOG_FORMAT, 1, 2)));
void LogDebug(const char* format, ...) __attribute__((format(QUENLAR_LOG_FORMAT, 1, 2)));

}  // namespace base
