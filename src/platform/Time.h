// Times. On-disk times are FILETIME values: 100-ns ticks since 1601-01-01 UTC.
#pragma once

#include <cstdint>

namespace platform {

struct LocalTime {
    int year = 0;
    int month = 0;  // 1-12
    int day = 0;    // 1-31
    int hour = 0;
    int minute = 0;
    int second = 0;
    int milliseconds = 0;
};

// Ticks between 1601-01-01 and 1970-01-01.
constexpr std::uint64_t kUnixEpochAsFileTime = 116444736000000000ULL;

// A UTC FILETIME in the local time zone. False when out of range.
bool FileTimeToLocal(std::uint64_t fileTime, LocalTime& out);
// Local wall-clock time now.
LocalTime NowLocal();
// The fields taken as they stand, without a time zone (what the scan record
// stores as "local time as a FILETIME"). 0 when out of range.
std::uint64_t FieldsToFileTime(const LocalTime& time);
// The fields FieldsToFileTime made `fileTime` of. False when out of range.
bool FileTimeToFields(std::uint64_t fileTime, LocalTime& out);
// Local wall-clock fields to a UTC FILETIME through the local time zone.
std::uint64_t LocalToUtcFileTime(const LocalTime& time);
// Now, in local time, as a FILETIME of its fields.
std::uint64_t NowLocalAsFileTime();

}  // namespace platform
