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
    };
    const auto it = names.find(Lower(suffix));
    return it == names.end() ? std::string() : it->second;
}

}  // namespace filetypes
