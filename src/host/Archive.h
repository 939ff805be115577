// The documents and resources built into the program: archives of our own
// format ("SAr" and a zero byte first; cmake/PackArchive.cmake writes them),
// read in place, and the rules by which the documents' URLs name their
// entries.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

namespace host {

// The archives built into the program.
extern const unsigned char kUiArchive[];
extern const std::size_t kUiArchiveSize;
extern const unsigned char kResourceArchive[];
extern const std::size_t kResourceArchiveSize;

class Archive {
public:
    // Reads the table of an archive that lives as long as this object. False
    // (and nothing found) when the bytes are no archive of ours or their
    // table points outside them.
    bool Open(const unsigned char* bytes, std::size_t size);
    void Close() { m_items.clear(); }
    // The bytes of the entry `path`; false when there is none.
    bool Find(std::string_view path, std::string_view& bytes) const;
    std::size_t Count() const { return m_items.size(); }

private:
    std::map<std::string, std::string_view, std::less<>> m_items;
};

// The archive path a "this://app/" URL names: the text after that prefix,
// with a further leading "//" (or "/") skipped, so that this://app//index.html
// and this://app/index.html name the same entry. False for any other URL.
bool AppArchivePath(std::string_view url, std::string& path);

// The program resource a "res:" URL names: the text after "res:" (after a
// second "res:" too), a leading "//" skipped; the extension after the last
// "." cut off; the type 23 (HTML) when there is no extension or it is HTML
// or HTM in any case, else the extension itself. Resource names and types
// are matched ignoring case, so both come back upper case. False (the
// request is discarded) for an empty name and for a name of 260 characters
// or more, which does not fit the name buffer.
struct ResourceName {
    std::string name;
    std::string type;
};
bool ResolveResourceUrl(std::string_view url, ResourceName& resource);
// The entry of the resource archive that holds it: "TYPE/NAME".
std::string ResourceKey(const ResourceName& resource);

// The Content-Type to serve a document of this name with (by extension), and
// a resource of this type with.
std::string_view ContentTypeOf(std::string_view path);
std::string_view ResourceContentType(std::string_view type);

}  // namespace host
