// The parts of the platform layer that are the same on every system, for
// its posix/ and win32/ halves (not for code outside platform/).
#pragma once

#include "platform/Time.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace platform::shared {

constexpr std::uint64_t kTicksPerSecond = 10000000ULL;

// Days from 1970-01-01 to the given civil date (proleptic Gregorian); a day
// past its month's end runs on into the next.
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d);

// Whether the fields can be a time at all (1601 to 30827, each field in its range).
bool Plausible(const LocalTime& t);

// The integer at the start of an INI value (after blanks, with an optional
// sign), or `fallback` when there is none or it does not fit.
int ParseIniInt(std::string_view value, int fallback);

// A file name nobody can guess: `prefix`, 16 hex digits of the system's
// random source, `extension`; "" when the random source fails.
std::string RandomFileName(const std::string& prefix, const std::string& extension);

// The page that sends a browser on to `url` (it carries the run's secret,
// so the page is written where only the user can read it).
std::string RedirectPage(const std::string& url);

}  // namespace platform::shared
