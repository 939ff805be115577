#include "filetypes/Catalogue.h"

#include <array>
#include <cctype>
#include <map>
#include <mutex>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace filetypes {
namespace {

struct CategoryList {
    FileCategory category;
    std::vector<std::string_view> extensions;
};

const std::array<CategoryList, 5>& Lists()
{
    static const std::array<CategoryList, 5> lists {{
        {kPictures, {"bmp", "dib", "rle", "gif", "jpg", "jpe", "jif", "jfi", "kdc", "pcd", "pcx", "dcx", "pic", "png",
                     "psd", "tga", "tif", "wmf", "ico"}},
        {kDocuments, {"docx", "xlsx", "pptx", "doc", "wps", "xls", "et", "ppt", "pps", "dps", "one", "vsd", "pub", "mpp",
                      "odt", "ods", "odp", "odg", "odf", "odb", "wpd", "qpw", "shw", "pdf", "ai", "p65", "xps", "rpt",
                      "rtf", "chm", "mht", "hlp"}},
        {kVideos, {"avi", "mpg", "mpeg", "wmv", "asf", "mp4", "m4v", "mov", "rmvb", "rm", "3gp", "3g2", "mkv", "webm",
                   "mka", "mts", "m2ts", "flv", "f4v", "dat", "mxf", "wtv", "fla", "swi", "wrf"}},
        {kAudio, {"mp3", "s48", "wav", "ape", "wma", "mid", "amr", "ogg", "spx", "opus", "ogv", "ra", "au", "m4r", "afc",
                  "aiff", "mmf"}},
        {kEmails, {"dbx", "pst"}},
    }};
    return lists;
}

struct Catalogue {
    std::map<std::string, std::int32_t, std::less<>> positions;
    std::array<std::int32_t, 5> sizes {};
};

Catalogue& Instance()
{
    static Catalogue catalogue;
    return catalogue;
}

std::once_flag g_loaded;

std::string Lower(std::string_view text)
{
    std::string lower(text);
    for (char& c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower;
}

}  // namespace

void LoadCatalogue()
{
    std::call_once(g_loaded, [] {
        Catalogue& c = Instance();
        for (std::size_t l = 0; l < Lists().size(); ++l) {
            for (const std::string_view ext : Lists()[l].extensions)
                c.positions.emplace(std::string(ext), static_cast<std::int32_t>(c.positions.size()));
            c.sizes[l] = static_cast<std::int32_t>(Lists()[l].extensions.size());
        }
    });
}

std::int32_t CataloguePosition(const std::string& extension)
{
    LoadCatalogue();
    const auto it = Instance().positions.find(extension);
    return it == Instance().positions.end() ? -1 : it->second;
}

std::size_t CatalogueSize()
{
    LoadCatalogue();
    return Instance().positions.size();
}

FileCategory CategoryOfSuffix(std::string_view suffix)
{
    std::int32_t position = CataloguePosition(Lower(suffix));
    if (position < 0)
        return kCategoryNone;
    for (std::size_t l = 0; l < Lists().size(); ++l) {
        if (position < Instance().sizes[l])
            return Lists()[l].category;
        position -= Instance().sizes[l];
    }
    return kCategoryNone;
}

std::string TypeName(std::string_view suffix)
{
    static const std::unordered_map<std::string, std::string> names {
        {"bmp", "BMP image"}, {"dib", "DIB image"}, {"gif", "GIF image"}, {"jpg", "JPEG image"},
        {"jpeg", "JPEG image"}, {"jpe", "JPEG image"}, {"jfif", "JPEG image"}, {"png", "PNG image"},
        {"psd", "Photoshop image"}, {"tga", "TGA image"}, {"tif", "TIFF image"}, {"tiff", "TIFF image"},
        {"ico", "Windows icon"}, {"wmf", "Windows metafile"}, {"pcx", "PCX image"}, {"heic", "HEIF image"},
        {"webp", "WebP image"}, {"svg", "SVG image"}, {"raw", "Raw image"}, {"cr2", "Canon raw image"},
        {"nef", "Nikon raw image"}, {"doc", "Word document"}, {"docx", "Word document"}, {"xls", "Excel spreadsheet"},
        {"xlsx", "Excel spreadsheet"}, {"ppt", "PowerPoint presentation"}, {"pptx", "PowerPoint presentation"},
        {"odt", "OpenDocument text"}, {"ods", "OpenDocument spreadsheet"}, {"odp", "OpenDocument presentation"},
        {"odg", "OpenDocument drawing"}, {"pdf", "PDF document"}, {"rtf", "RTF document"}, {"txt", "Text file"},
        {"csv", "CSV file"}, {"xml", "XML file"}, {"html", "HTML document"}, {"htm", "HTML document"},
        {"chm", "Compiled HTML help"}, {"xps", "XPS document"}, {"pub", "Publisher document"},
        {"vsd", "Visio drawing"}, {"one", "OneNote section"}, {"avi", "AVI video"}, {"mpg", "MPEG video"},
        {"mpeg", "MPEG video"}, {"wmv", "Windows Media video"}, {"mp4", "MPEG-4 video"}, {"m4v", "MPEG-4 video"},
        {"mov", "QuickTime video"}, {"mkv", "Matroska video"}, {"webm", "WebM video"}, {"flv", "Flash video"},
        {"3gp", "3GPP video"}, {"3g2", "3GPP2 video"}, {"mts", "AVCHD video"}, {"m2ts", "AVCHD video"},
        {"mp3", "MP3 audio"}, {"wav", "WAV audio"}, {"wma", "Windows Media audio"}, {"ogg", "Ogg audio"},
        {"opus", "Opus audio"}, {"flac", "FLAC audio"}, {"m4a", "MPEG-4 audio"}, {"aiff", "AIFF audio"},
        {"mid", "MIDI audio"}, {"amr", "AMR audio"}, {"ape", "Monkey's Audio"}, {"pst", "Outlook data file"},
        {"dbx", "Outlook Express mailbox"}, {"eml", "E-mail message"}, {"msg", "Outlook message"},
        {"zip", "ZIP archive"}, {"rar", "RAR archive"}, {"7z", "7-Zip archive"}, {"gz", "gzip archive"},
        {"tar", "tar archive"}, {"iso", "Disc image"}, {"exe", "Application"}, {"dll", "Application extension"},
        {"bin", "Binary file"}, {"dat", "Data file"}, {"log", "Log file"}, {"ini", "Configuration settings"},
        {"arw", "Sony raw image"}, {"dng", "DNG raw image"}, {"jif", "JPEG image"}, {"jfi", "JPEG image"},
        {"md", "Markdown text"}, {"markdown", "Markdown text"}, {"rst", "reStructuredText"}, {"json", "JSON file"},
        {"yaml", "YAML file"}, {"yml", "YAML file"}, {"toml", "TOML file"}, {"cfg", "Configuration settings"},
        {"conf", "Configuration settings"}, {"tsv", "TSV file"}, {"c", "C source"}, {"h", "C header"},
        {"cc", "C++ source"}, {"cpp", "C++ source"}, {"cxx", "C++ source"}, {"hpp", "C++ header"},
        {"hh", "C++ header"}, {"cs", "C# source"}, {"java", "Java source"}, {"py", "Python script"},
        {"js", "JavaScript"}, {"mjs", "JavaScript"}, {"ts", "TypeScript"}, {"go", "Go source"},
        {"rs", "Rust source"}, {"rb", "Ruby script"}, {"php", "PHP script"}, {"pl", "Perl script"},
        {"swift", "Swift source"}, {"kt", "Kotlin source"}, {"sh", "Shell script"}, {"bat", "Batch file"},
        {"cmd", "Batch file"}, {"ps1", "PowerShell script"}, {"sql", "SQL script"}, {"css", "Style sheet"},
        {"tex", "TeX document"}, {"vcf", "Contact card"}, {"ics", "Calendar file"}, {"epub", "EPUB book"},
        {"aac", "AAC audio"}, {"m4r", "Ringtone"}, {"docm", "Word document"}, {"xlsm", "Excel spreadsheet"},
        {"sqlite", "SQLite database"}, {"db", "Database"}, {"apk", "Android package"}, {"jar", "Java archive"},
        {"mkv", "Matroska video"}, {"bz2", "bzip2 archive"}, {"xz", "xz archive"}, {"img", "Disk image"},
        {"lnk", "Shortcut"}, {"url", "Internet shortcut"}, {"tmp", "Temporary file"}, {"bak", "Backup file"},
    };
    const std::string lower = Lower(suffix);
    const auto it = names.find(lower);
    if (it != names.end())
        return it->second;
    // Any other kind by its extension, as file managers name it.
    std::string upper;
    for (const char c : lower) {
        if (static_cast<unsigned char>(c) < 0x20 || upper.size() == 12)
            return std::string();
        upper += c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
    }
    return upper.empty() ? std::string() : upper + " file";
}

FileCategory BroadCategory(std::string_view suffix)
{
    const FileCategory listed = CategoryOfSuffix(suffix);
    if (listed != kCategoryNone)
        return listed;
    // Kinds people count among these that the catalogue leaves out.
    static const std::map<std::string, FileCategory, std::less<>> more {
        {"jpeg", kPictures}, {"jfif", kPictures}, {"tiff", kPictures}, {"heic", kPictures}, {"heif", kPictures},
        {"webp", kPictures}, {"svg", kPictures}, {"cr2", kPictures}, {"nef", kPictures}, {"arw", kPictures},
        {"dng", kPictures}, {"raw", kPictures}, {"txt", kDocuments}, {"md", kDocuments}, {"csv", kDocuments},
        {"tsv", kDocuments}, {"epub", kDocuments}, {"docm", kDocuments}, {"xlsm", kDocuments}, {"htm", kDocuments},
        {"html", kDocuments}, {"tex", kDocuments}, {"m4a", kAudio}, {"flac", kAudio}, {"aac", kAudio},
        {"eml", kEmails}, {"msg", kEmails}, {"mbox", kEmails},
    };
    const auto it = more.find(Lower(suffix));
    return it == more.end() ? kCategoryNone : it->second;
}

}  // namespace filetypes
