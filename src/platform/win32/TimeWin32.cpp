#include "platform/Time.h"

#include <windows.h>

namespace platform {
namespace {

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

}  // namespace platform
