#include "filetypes/HeaderSignature.h"

#include <array>
#include <cstdlib>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace filetypes {
namespace {

// The signature rows: keys sharing the row, then its patterns from offset 0,
// separated by ";". A pattern is hex bytes, "??" for any byte, or "[LO-HI]"
// for a range; it scores its length unless "=N" gives another score.
struct Row {
    const char* keys;
    const char* patterns;
};

const Row kRows[] = {
    {"jpg jpeg jpe JPG", "FF D8 FF E0 00;FF D8 FF FE 00;89 50 4E 47;FF D8 FF"},
    {"PNG png", "89 50 4E 47 0D 0A 1A 0A;89 50 4E 47 0D 0A;89 50 4E 47;89 50 4E"},
    {"GIG gif GIF", "47 49 46 38 47 61;47 49 46 38 39 61;47 49 46 38 37 61;47 49 46 38"},
    {"BMP bmp", "42 4D 3E;42 4D"},
    {"dib", "42 4D"},
    {"tif", "49 49 2A 00;4D 4D 00 2B;4D 4D 00 2A;49 20 49"},
    {"TIFF TIF tiff", "4D 4D 00 2B;4D 4D 00 2A;49 20 49=4;49 49 2A 00;4D 4D 2A;49 49 2A"},
    {"psd PSD", "38 42 50 53;38 42 50"},
    {"ico", "00 00 01 00 01 00 20 20;00 00 01 00 00"},
    {"pdf fdf PDF", "25 50 44 46 2D 31 2E;25 50 44 46;25 50 44"},
    {"doc", "31 BE 00 00 00 AB 00 00;12 34 56 78 90 FF;12 34 56 78 90;0D 44 4F 43;7F FE 34 0A;D0 CF 11 E0"},
    {"dot ppa pps pot sdw xla", "D0 CF 11 E0 A1 B1 1A E1;D0 CF 11 E0"},
    {"PPT ppt", "D0 CF 11 E0 A1 B1 1A E1;D0 CF 11 E0;D0 CF 11"},
    {"xls XLS", "09 02 06 00 00 00 10 00 B9 04 5C 00;09 04 06 00 00 00 10 00 F6 05 5C 00;09 08 10 00 00 06 05 00;D0 CF 11 E0 A1 B1 1A E1;D0 CF 11 E0;D0 CF 11"},
    {"msi", "D0 CF 11 E0 A1 B1 1A E1;D0 CF 11 E0;23 20"},
    {"docx xlsx", "50 4B 03 04 14 00 06 00;50 4B 03 04"},
    {"pptx", "50 4B 03 04 14 00 06 00;00 6E 1E F0;0F 00 E8 03;50 4B 03 04"},
    {"Zip zip zipx ZIP", "50 4B 30 30 50 4B 03 04;50 4B 30 30;50 4B 03 04;50 4B 03"},
    {"rar RAR", "52 61 72 21;52 61 72"},
    {"7z", "37 7A BC AF 27 1C"},
    {"gz tgz", "1F 8B 08;1F 8B"},
    {"CAB", "49 53 63 28;4D 53 43 46;04 53 63"},
    {"rtf RTF", "7B 5C 72 74 66;7B 5C 72 74;7B 5C 72"},
    {"htm html HTM", "3C 68 74 6D 6C 3E;3C 48 54 4D 4C 3E;3C 21 44 4F 43 54;68 74 6D 6C 3E;3C 21 44"},
    {"xml XML", "FF FE 3C 00 52 00 4F 00 4F 00 54 00 53 00 54 00 55 00 42 00;3C 3F 78 6D 6C;3C 3F 78"},
    {"EML eml", "44 65 6C 69 76 65 72 79 2D 64 61 74 65 3A;46 72 6F 6D 20 3F 3F 3F;46 72 6F 6D 20 20 20;46 72 6F 6D 3A 20;52 65 63"},
    {"pst", "21 42 44 4E"},
    {"dbx", "CF AD 12 FE C5 FD 74 6F;CF AD 12 FE"},
    {"mp3", "49 44 33;FF [FA-FB]"},
    {"MP3", "49 FF 33;49 44 33;FF FB 50;FF [FA-FB]"},
    {"3gg 3gp 3g2", "00 00 00 ?? 66 74 79 70"},
    {"mp4", "00 00 00 18 66 74 79 70 33 67 70 35"},
    {"m4a m4v", "00 00 00 20 66 74 79 70 4D 34 41 20 00 00 00 00"},
    {"mov", "6D 6F 6F 76;6D 64 61 74"},
    {"MOV", "00 00 77;00 00 0F"},
    {"ANI avi", "52 49 46 46"},
    {"wav WAV", "57 41 56 45 66 6D 74;57 41 56 45;52 49 46 46;52 49 46"},
    {"asf", "30 26 B2 75 8E 66 CF 11 A6 D9 00 AA 00 62 CE 6C;30 26 B2 75 8E 66 CF 11"},
    {"WMV wmv", "30 26 B2 75 8E 66 CF 11 A6 D9 00 AA 00 62 CE 6C;30 26 B2 75 8E 66 CF 11;30 26 B2"},
    {"WMA wma", "30 26 B2 75 8E 66 CF 11 A6 D9 00 AA 00 62 CE 6C;30 36 B2"},
    {"mkv", "1A 45 DF A3 93 42 82 88 6D 61 74 72 6F 73 6B 61"},
    {"FLV", "46 4C 56 01"},
    {"mpg mpeg", "00 00 01 BA;00 00 01 B3"},
    {"vob", "00 00 01 BA=3"},
    {"rm rmvb RM", "2E 52 4D 46;2E 52 4D"},
    {"exe com ax sys dll drv flt fon ocx scr lrc vxd cpl x32 vbx", "00 01 01;4D 5A"},
    {"ACM CPL EXE PIF SYS FON QTS QTX SCR VBX VXD 386 DLL", "4D 5A"},
    {"API FLT", "4D 5A 90 00 03 00 00 00"},
    {"AX", "4D 5A 90 00 03 00 00 00;4D 5A"},
    {"arc", "41 72 43 01;1A [08-09];1A [02-04]"},
    {"LNK lnk", "4C 00 00 00 01 14 02 00;4C 00 00 00 01 14 02;4C 00 00 00;4C 00 00"},
    {"wks", "0E 57 4B 53;20 00 60 40 60=4"},
    {"eps", "25 21 50 53 2D 41 64 6F 62 65 2D 33 2E 30 20 45 50 53 46 2D 33 20 30;25 21 50 53 2D 41 64 6F 62 65;25 21 50 53"},
    {"msc MSC", "3C 3F 78 6D 6C 20 76 65 72 73 69 6F 6E 3D 22 31 2E 30 22 3F 3E 0D 0A 3C 4D 4D 43 5F 43 6F 6E 73 6F 6C 65 46 69 6C 65 20 43 6F 6E 73 6F 6C 65 56 65 72 73 69 6F 6E 3D 22;3C 3F 78"},
    {"HDR dsp", ""},
    {"CRW", "49 49 1A 00 00 00 48 45 41 50 43 43 44 52 02 00"},
    {"mdb mda mde mdt", "00 01 00 00 53 74 61 6E 64 61 72 64 20 4A 65 74 20 44 42;53 74 61 6E 64 61 72 64 20 4A"},
    {"reg", "52 45 47 45 44 49 54 34"},
    {"cpio tar", "30 37 30 37 30 37;1F 8B"},
    {"Z z", "1F 9D 8C;1F 9D"},
};

struct Pattern {
    std::array<std::uint8_t, kHeaderBytes> lo {};
    std::array<std::uint8_t, kHeaderBytes> hi {};
    std::uint8_t length = 0;
    std::int32_t score = 0;
};

using Table = std::unordered_map<std::string, std::vector<Pattern>>;

Pattern ParsePattern(const std::string& text)
{
    Pattern p;
    std::size_t i = 0;
    std::int32_t score = -1;
    while (i < text.size() && p.length < kHeaderBytes) {
        if (text[i] == ' ') {
            ++i;
        } else if (text[i] == '=') {
            score = static_cast<std::int32_t>(std::strtol(text.c_str() + i + 1, nullptr, 10));
            break;
        } else if (text[i] == '?') {
            p.lo[p.length] = 0x00;
            p.hi[p.length++] = 0xFF;
            i += 2;
        } else if (text[i] == '[') {
            p.lo[p.length] = static_cast<std::uint8_t>(std::strtoul(text.c_str() + i + 1, nullptr, 16));
            p.hi[p.length++] = static_cast<std::uint8_t>(std::strtoul(text.c_str() + i + 4, nullptr, 16));
            i += 7;
        } else {
            const auto v = static_cast<std::uint8_t>(std::strtoul(text.substr(i, 2).c_str(), nullptr, 16));
            p.lo[p.length] = v;
            p.hi[p.length++] = v;
            i += 2;
        }
    }
    p.score = score >= 0 ? score : p.length;
    return p;
}

const Table& Signatures()
{
    static const Table table = [] {
        Table t;
        for (const Row& row : kRows) {
            std::vector<Pattern> patterns;
            const std::string all = row.patterns;
            for (std::size_t start = 0; start < all.size();) {
                const std::size_t end = all.find(';', start);
                patterns.push_back(ParsePattern(all.substr(start, end == std::string::npos ? end : end - start)));
                if (end == std::string::npos)
                    break;
                start = end + 1;
            }
            const std::string keys = row.keys;
            for (std::size_t start = 0; start < keys.size();) {
                std::size_t end = keys.find(' ', start);
                if (end == std::string::npos)
                    end = keys.size();
                t.emplace(keys.substr(start, end - start), patterns);
                start = end + 1;
            }
        }
        return t;
    }();
    return table;
}

}  // namespace

std::int32_t HeaderScore(std::string_view extension, const std::uint8_t* bytes, std::size_t size)
{
    const Table& table = Signatures();
    const auto row = table.find(std::string(extension));
    if (row == table.end())
        return 0;
    std::int32_t best = 0;
    for (const Pattern& p : row->second) {
        if (p.length > size || p.score <= best)
            continue;
        bool match = true;
        for (std::size_t i = 0; i < p.length && match; ++i)
            match = bytes[i] >= p.lo[i] && bytes[i] <= p.hi[i];
        if (match)
            best = p.score;
    }
    return best;
}

}  // namespace filetypes
