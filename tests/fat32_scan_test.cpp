#include "base/StopRequest.h"
#include "search/Scans.h"
#include "volume/VolumeScanner.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>

using namespace scan;

namespace {

const std::string kImages = QUENLAR_IMAGE_DIR;

struct Row {
    std::string type;
    std::uint64_t size = 0;
    std::string state;
};

std::map<std::string, Row> Manifest(const std::string& name)
{
    std::map<std::string, Row> rows;
    std::ifstream in(std::string(QUENLAR_MANIFEST_DIR) + "/" + name + ".manifest.tsv");
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string path, size, digest;
        Row row;
        std::getline(fields, path, '\t');
        std::getline(fields, row.type, '\t');
        std::getline(fields, size, '\t');
        std::getline(fields, digest, '\t');
        std::getline(fields, row.state, '\t');
        row.size = std::stoull(size);
        rows[path] = row;
    }
    return rows;
}

std::string SlashPath(const FoundFile& f)
{
    std::string p = f.m_filePath + f.FullNameUtf8();
    std::replace(p.begin(), p.end(), '\\', '/');
    return p;
}

}  // namespace

// The FAT32 image against the manifest: long names (deleted ones too), the
// folders of deleted folders found again by their "." entries, sizes and
// states. A deleted 8.3-only name shows "#" for its lost first character.
TEST(Fat32Scan, ImageMatchesTheManifest)
{
    base::StopRequest = 0;
    VolumeScanner volume;
    ASSERT_EQ(volume.Open(kImages + "/fat32.img"), kOpenOk);
    scan::NormalScan(volume);
    std::map<std::string, const FoundFile*> found;
    for (const auto& f : volume.m_results)
        found[SlashPath(*f)] = f;
    for (const auto& [path, row] : Manifest("fat32")) {
        if (row.type == "f" && row.size == 0)
            continue;  // an empty file has no cluster: no result
        // A deleted name kept only as 8.3 (no long name) lost its first
        // character: "#" stands for it.
        std::string ours = path;
        if (!found.count(ours) && row.state == "deleted") {
            const std::size_t slash = ours.rfind('/');
            ours[slash == std::string::npos ? 0 : slash + 1] = '#';
        }
        const auto it = found.find(ours);
        ASSERT_NE(it, found.end()) << ours;
        const FoundFile& f = *it->second;
        EXPECT_EQ(f.m_isDirectory, row.type == "d" ? 1 : 0) << ours;
        EXPECT_EQ(f.m_fileSystemType, kFat32);
        if (row.state == "deleted") {
            EXPECT_EQ(f.m_existType, kExistDeleted) << ours;
        } else if (row.type == "f") {
            EXPECT_EQ(f.m_existType, kExistInUse) << ours;
            EXPECT_EQ(f.m_located, 1u) << ours;
        } else {
            EXPECT_EQ(f.m_existType, kExistUnset) << ours;  // a folder in use is not listed itself
        }
        if (row.type == "f") {
            EXPECT_EQ(f.m_fileSize, row.size) << ours;
            ASSERT_EQ(f.extents.size(), 1u) << ours;
        }
    }
    EXPECT_GT(volume.m_clusterBitmap.size(), 0u);
    EXPECT_EQ(found.count("Trash/#HORT.TXT"), 1u);  // written as SHORT.TXT, 8.3 only
    EXPECT_EQ(found.count("readme.txt"), 1u);       // 8.3 with the lower-case flags
}
