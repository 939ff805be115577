// The file-type catalogue: which extensions belong to which category of the
// filter. One process-wide map from extension to its position in the five
// lists; the position gives the category.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace filetypes {

enum FileCategory : std::int32_t {
    kCategoryNone = 0,
    kPictures = 1,
    kDocuments = 2,
    kVideos = 3,
    kAudio = 4,
    kEmails = 5,
};

// Loads the catalogue; loading again changes nothing. Safe from any thread.
void LoadCatalogue();
// The position of a lower-case extension (no dot), or -1.
std::int32_t CataloguePosition(const std::string& extension);
std::size_t CatalogueSize();
// The category of a suffix, whatever its case.
FileCategory CategoryOfSuffix(std::string_view suffix);
// The category people would put a suffix in: the catalogue's, and for kinds
// it leaves out (.jpeg, .heic, .txt, .eml ...) the one they belong to.
FileCategory BroadCategory(std::string_view suffix);

// A short description of a file type by its extension ("JPEG image"); an
// extension without one is named by itself ("XYZ file"); "" for none.
std::string TypeName(std::string_view suffix);

}  // namespace filetypes
