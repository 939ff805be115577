#include "base/Log.h"

#include "platform/Files.h"
#include "platform/Ini.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <vector>

namespace base {
namespace {

class Logger {
public:
    static Logger& Instance()
    {
        static Logger logger;
        return logger;
    }

    std::atomic<int> level {0};

    void SetFile(const std::string& path)
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_backupCount = kLogBackupCount;
        m_path = path;
        m_lineLength = 0;
        m_buffer.fill(0);
        Open();
    }

    void SetSizeLimit(std::uint32_t bytes)
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_sizeLimit = bytes;
    }

    void Shutdown()
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_file.Close();
        m_path.clear();
    }

    void Write(LogTag tag, const char* format, va_list args)
    {
        std::lock_guard<std::mutex> lock(m_lock);
        const std::string header = FormatLogHeader(tag, platform::NowLocal(), platform::CurrentThreadId());
        const std::size_t headerLength = std::min<std::size_t>(header.size(), kLogLineLimit);
        std::copy_n(header.data(), headerLength, m_buffer.data());
        const std::size_t room = kLogLineLimit - headerLength;
        const int n = std::vsnprintf(m_buffer.data() + headerLength, room + 1, format, args);
        std::size_t length = 0;
        if (n < 0 || static_cast<std::size_t>(n) > room) {
            // Too long for one line: the header alone, its last blank turned
            // into the line feed.
            length = headerLength;
            m_buffer[length - 1] = '\n';
        } else {
            length = headerLength + static_cast<std::size_t>(n);
            m_buffer[length++] = '\n';
        }
        m_lineLength = static_cast<int>(length);
        if (!m_file.IsOpen())
            return;
        m_fileSize += m_file.Write(m_buffer.data(), length);
        if (m_fileSize > m_sizeLimit)
            Rotate();
    }

private:
    void Open()
    {
        m_file.Close();
        if (m_path.empty() || !m_file.Open(m_path))
            return;
        m_fileSize = m_file.Size();
        if (m_fileSize > m_sizeLimit)
            Rotate();
    }

    void Rotate()
    {
        m_file.Close();
        if (m_backupCount == 0) {
            platform::RemoveFile(m_path);
        } else {
            // Collect the backups that exist from number 1 up, and the first
            // free number; only that many move up, so a gap absorbs the shift.
            std::vector<std::string> names;
            for (int n = 1; n <= m_backupCount; ++n) {
                names.push_back(LogBackupName(m_path, n));
                if (!platform::FileReadable(names.back()))
                    break;
            }
            if (static_cast<int>(names.size()) == m_backupCount && platform::FileReadable(names.back()))
                platform::RemoveFile(names.back());
            for (std::size_t n = names.size(); n >= 2; --n) {
                platform::RemoveFile(names[n - 1]);
                platform::MoveFile(names[n - 2], names[n - 1]);
            }
            platform::MoveFile(m_path, names.front());
        }
        if (m_path.empty() || !m_file.Open(m_path))
            return;
        m_fileSize = m_file.Size();
    }

    std::mutex m_lock;
    std::array<char, kLogLineLimit + 2> m_buffer {};
    int m_lineLength = 0;
    std::string m_path;
    platform::AppendFile m_file;
    std::uint64_t m_fileSize = 0;
    int m_backupCount = kLogBackupCount;
    std::uint32_t m_sizeLimit = kLogSizeLimit;
};

// Zero-padded decimal of exactly `width` digits; empty when it does not fit.
std::string Padded(int value, int width)
{
    char text[16];
    const int n = std::snprintf(text, sizeof text, "%0*d", width, value);
    if (value < 0 || n != width)
        return {};
    return text;
}

}  // namespace

std::string FormatLogHeader(LogTag tag, const platform::LocalTime& time, std::uint32_t threadId)
{
    const char* name = tag == LogTag::Less ? "LESS " : tag == LogTag::Debug ? "DEBUG" : "LOG_SYS";
    char thread[16];
    std::snprintf(thread, sizeof thread, "%u", threadId);
    char line[128];
    std::snprintf(line, sizeof line, "[%s-%s-%s] [%s-%s-%s] [T:%-5s] [%s]: ", Padded(time.year, 4).c_str(),
                  Padded(time.month, 2).c_str(), Padded(time.day, 2).c_str(), Padded(time.hour, 2).c_str(),
                  Padded(time.minute, 2).c_str(), Padded(time.second, 2).c_str(), thread, name);
    return line;
}

std::string LogBackupName(const std::string& path, int number)
{
    const auto slash = path.find_last_of('/');
    const auto dot = path.find_last_of('.');
    const std::string tag = "_" + std::to_string(number);
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return path + tag;
    return path.substr(0, dot) + tag + path.substr(dot);
}

void ConfigureLog(const std::string& settingsPath)
{
    int level = platform::ReadIniInt(settingsPath, "LOG", "LEVEL", 3);
    if (static_cast<unsigned>(level) > 2) {
        platform::WriteIniString(settingsPath, "LOG", "LEVEL", "2");
        level = 2;
    }
    Logger::Instance().level = level;
}

void SetLogFile(const std::string& path)
{
    Logger::Instance().SetFile(path);
}

void ShutdownLog()
{
    Logger::Instance().Shutdown();
}

int LogLevel()
{
    return Logger::Instance().level;
}

void SetLogLevel(int level)
{
    Logger::Instance().level = level;
}

void SetLogSizeLimit(std::uint32_t bytes)
{
    Logger::Instance().SetSizeLimit(bytes);
}

void LogLess(const char* format, ...)
{
    auto& logger = Logger::Instance();
    if (logger.level <= 0)
        return;
    va_list args;
    va_start(args, format);
    logger.Write(LogTag::Less, format, args);
    va_end(args);
}

void LogDebug(const char* format, ...)
{
    auto& logger = Logger::Instance();
    if (logger.level < 2)
        return;
    va_list args;
    va_start(args, format);
    logger.Write(LogTag::Debug, format, args);
    va_end(args);
}

}  // namespace base
