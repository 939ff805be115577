#include "platform/Shared.h"

#include "platform/Process.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

namespace platform {

namespace shared {

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

int ParseIniInt(std::string_view value, int fallback)
{
    const std::string text(value);
    const char* begin = text.c_str();
    while (*begin == ' ' || *begin == '\t')
        ++begin;
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(begin, &end, 10);
    if (end == begin || errno == ERANGE || v < INT_MIN || v > INT_MAX)
        return fallback;
    return static_cast<int>(v);
}

std::string RandomFileName(const std::string& prefix, const std::string& extension)
{
    unsigned char random[8];
    if (!RandomBytes(random, sizeof random))
        return {};
    std::string name = prefix;
    for (const unsigned char b : random) {
        name += "0123456789abcdef"[b >> 4];
        name += "0123456789abcdef"[b & 15];
    }
    return name + extension;
}

namespace {

// `text` as HTML character data or an attribute value in double quotes.
std::string HtmlEscaped(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default: out += c; break;
        }
    }
    return out;
}

}  // namespace

std::string RedirectPage(const std::string& url)
{
    // The address is the program's own; escaped all the same, so that no
    // text can end the attribute it stands in.
    const std::string href = HtmlEscaped(url);
    return "<!DOCTYPE html><meta charset=\"utf-8\"><meta name=\"referrer\" content=\"no-referrer\">"
           "<meta http-equiv=\"refresh\" content=\"0;url=" + href + "\"><title>Quenlar</title>"
           "<a href=\"" + href + "\">Quenlar</a>\n";
}

}  // namespace shared

std::uint64_t FieldsToFileTime(const LocalTime& time)
{
    if (!shared::Plausible(time))
        return 0;
    const std::int64_t days =
        shared::DaysFromCivil(time.year, static_cast<unsigned>(time.month), static_cast<unsigned>(time.day));
    const std::int64_t seconds = days * 86400 + time.hour * 3600 + time.minute * 60 + time.second;
    const std::int64_t ticks = seconds * static_cast<std::int64_t>(shared::kTicksPerSecond) +
                               static_cast<std::int64_t>(time.milliseconds) * 10000 +
                               static_cast<std::int64_t>(kUnixEpochAsFileTime);
    return ticks < 0 ? 0 : static_cast<std::uint64_t>(ticks);
}

bool FileTimeToFields(std::uint64_t fileTime, LocalTime& out)
{
    if (fileTime < kUnixEpochAsFileTime)
        return false;
    const std::int64_t seconds = static_cast<std::int64_t>((fileTime - kUnixEpochAsFileTime) / shared::kTicksPerSecond);
    std::int64_t days = seconds / 86400;
    const std::int64_t rest = seconds % 86400;
    // Days since 1970-01-01 to a civil date (the proleptic Gregorian calendar).
    days += 719468;
    const std::int64_t era = days / 146097;
    const std::int64_t dayOfEra = days - era * 146097;
    const std::int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const std::int64_t mp = (5 * dayOfYear + 2) / 153;
    out.day = static_cast<int>(dayOfYear - (153 * mp + 2) / 5 + 1);
    out.month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    out.year = static_cast<int>(yearOfEra + era * 400 + (out.month <= 2 ? 1 : 0));
    out.hour = static_cast<int>(rest / 3600);
    out.minute = static_cast<int>(rest % 3600 / 60);
    out.second = static_cast<int>(rest % 60);
    out.milliseconds = static_cast<int>(fileTime % shared::kTicksPerSecond / 10000);
    return out.year <= 9999;
}

std::uint64_t NowLocalAsFileTime()
{
    return FieldsToFileTime(NowLocal());
}

}  // namespace platform
