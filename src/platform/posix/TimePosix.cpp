#include "platform/Time.h"

#include "platform/Shared.h"

#include <cstdlib>
#include <ctime>
#include <mutex>
#include <string>
#include <unordered_map>
#include <sys/time.h>

namespace platform {
namespace {

// The C library's time-zone state is read and rebuilt by mktime and
// localtime_r behind a lock of its own that race checkers cannot see: one
// of ours around them keeps every thread's conversions in order.
std::mutex& TimeZoneLock()
{
    static std::mutex lock;
    return lock;
}

}  // namespace

namespace {

using shared::kTicksPerSecond;

LocalTime FromTm(const std::tm& tm, int milliseconds)
{
    LocalTime t;
    t.year = tm.tm_year + 1900;
    t.month = tm.tm_mon + 1;
    t.day = tm.tm_mday;
    t.hour = tm.tm_hour;
    t.minute = tm.tm_min;
    t.second = tm.tm_sec;
    t.milliseconds = milliseconds;
    return t;
}

}  // namespace

bool FileTimeToLocal(std::uint64_t fileTime, LocalTime& out)
{
    const std::int64_t seconds =
        static_cast<std::int64_t>(fileTime / kTicksPerSecond) - static_cast<std::int64_t>(kUnixEpochAsFileTime / kTicksPerSecond);
    const auto ms = static_cast<int>((fileTime % kTicksPerSecond) / 10000);
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm tm {};
    std::unique_lock<std::mutex> zone(TimeZoneLock());
    if (::localtime_r(&t, &tm) == nullptr)
        return false;
    out = FromTm(tm, ms);
    return true;
}

LocalTime NowLocal()
{
    timeval tv {};
    ::gettimeofday(&tv, nullptr);
    std::tm tm {};
    const std::time_t t = tv.tv_sec;
    {
        std::lock_guard<std::mutex> zone(TimeZoneLock());
        ::localtime_r(&t, &tm);
    }
    return FromTm(tm, static_cast<int>(tv.tv_usec / 1000));
}

std::uint64_t LocalToUtcFileTime(const LocalTime& time)
{
    if (!shared::Plausible(time))
        return 0;
    // mktime looks the zone file up again on every call, a system call per
    // time: a FAT scan converts three times a file. The zone's offset is
    // asked once per local hour instead and kept, for as long as TZ stays
    // what it was.
    const std::int64_t days = shared::DaysFromCivil(time.year, static_cast<unsigned>(time.month), static_cast<unsigned>(time.day));
    const std::int64_t hourKey = days * 24 + time.hour;
    std::int64_t offset = 0;
    {
        std::lock_guard<std::mutex> zone(TimeZoneLock());
        static std::unordered_map<std::int64_t, std::int64_t> offsets;  // local hour -> UTC minus local, seconds
        static std::string zoneName;  // TZ as it was; "\n", which names no zone, when unset
        const char* tz = std::getenv("TZ");
        if (zoneName != (tz ? tz : "\n")) {
            offsets.clear();
            zoneName = tz ? tz : "\n";
        }
        const auto known = offsets.find(hourKey);
        if (known != offsets.end()) {
            offset = known->second;
        } else {
            std::tm tm {};
            tm.tm_year = time.year - 1900;
            tm.tm_mon = time.month - 1;
            tm.tm_mday = time.day;
            tm.tm_hour = time.hour;
            tm.tm_isdst = -1;
            const std::time_t t = std::mktime(&tm);
            if (t == static_cast<std::time_t>(-1))
                return 0;
            offset = static_cast<std::int64_t>(t) - hourKey * 3600;
            if (offsets.size() >= 65536)
                offsets.clear();
            offsets.emplace(hourKey, offset);
        }
    }
    const std::int64_t t = hourKey * 3600 + time.minute * 60 + time.second + offset;
    const std::int64_t ticks = t * static_cast<std::int64_t>(kTicksPerSecond) +
                               static_cast<std::int64_t>(time.milliseconds) * 10000 +
                               static_cast<std::int64_t>(kUnixEpochAsFileTime);
    return ticks < 0 ? 0 : static_cast<std::uint64_t>(ticks);
}

}  // namespace platform
