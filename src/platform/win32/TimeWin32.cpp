#include "platform/Time.h"

#include <windows.h>

namespace platform {
namespace {

constexpr std::uint64_t kTicksPerSecond = 10000000ULL;

// Days from 1970-01-01 to the given civil date (proleptic Gregorian); a day
// past its month's end runs on into the next, as on the other systems.
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d)
{
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

bool Plausible(const LocalTime& t)
{
    return t.year >= 1601 && t.year <= 30827 && t.month >= 1 && t.month <= 12 && t.day >= 1 && t.day <= 31 &&
           t.hour >= 0 && t.hour <= 23 && t.minute >= 0 && t.minute <= 59 && t.second >= 0 && t.second <= 60 &&
           t.milliseconds >= 0 && t.milliseconds <= 999;
}

LocalTime FromSystemTime(const SYSTEMTIME& st)
{
    LocalTime t;
    t.year = st.wYear;
    t.month = st.wMonth;
    t.day = st.wDay;
    t.hour = st.wHour;
    t.minute = st.wMinute;
    t.second = st.wSecond;
    t.milliseconds = st.wMilliseconds;
    return t;
}

FILETIME ToFileTime(std::uint64_t ticks)
{
    FILETIME ft;
    ft.dwLowDateTime = static_cast<DWORD>(ticks);
    ft.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    return ft;
}

std::uint64_t FromFileTime(const FILETIME& ft)
{
    return (std::uint64_t {ft.dwHighDateTime} << 32) | ft.dwLowDateTime;
}

}  // namespace

bool FileTimeToLocal(std::uint64_t fileTime, LocalTime& out)
{
    const FILETIME utc = ToFileTime(fileTime);
    SYSTEMTIME utcFields {};
    SYSTEMTIME local {};
    // The zone's rule for that date (summer time included), as the
    // system's own conversions of file times do.
    if (!FileTimeToSystemTime(&utc, &utcFields) || !SystemTimeToTzSpecificLocalTime(nullptr, &utcFields, &local))
        return false;
    out = FromSystemTime(local);
    return true;
}

LocalTime NowLocal()
{
    SYSTEMTIME st {};
    GetLocalTime(&st);
    return FromSystemTime(st);
}

std::uint64_t FieldsToFileTime(const LocalTime& time)
{
    if (!Plausible(time))
        return 0;
    const std::int64_t days = DaysFromCivil(time.year, static_cast<unsigned>(time.month), static_cast<unsigned>(time.day));
    const std::int64_t seconds = days * 86400 + time.hour * 3600 + time.minute * 60 + time.second;
    const std::int64_t ticks = seconds * static_cast<std::int64_t>(kTicksPerSecond) +
                               static_cast<std::int64_t>(time.milliseconds) * 10000 +
                               static_cast<std::int64_t>(kUnixEpochAsFileTime);
    return ticks < 0 ? 0 : static_cast<std::uint64_t>(ticks);
}

std::uint64_t LocalToUtcFileTime(const LocalTime& time)
{
    // The fields put in order first (a 31st of a 30-day month runs on), then
    // taken through the zone's rule for that date.
    const std::uint64_t fields = FieldsToFileTime(time);
    if (fields == 0)
        return 0;
    const FILETIME asIs = ToFileTime(fields);
    SYSTEMTIME local {};
    SYSTEMTIME utc {};
    FILETIME out {};
    if (!FileTimeToSystemTime(&asIs, &local) || !TzSpecificLocalTimeToSystemTime(nullptr, &local, &utc) ||
        !SystemTimeToFileTime(&utc, &out))
        return 0;
    return FromFileTime(out);
}

std::uint64_t NowLocalAsFileTime()
{
    return FieldsToFileTime(NowLocal());
}

}  // namespace platform
