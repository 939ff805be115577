#include "base/StopRequest.h"
#include "bridge/Protocol.h"
#include "browse/Filters.h"
#include "browse/FolderTree.h"
#include "filetypes/Catalogue.h"
#include "platform/Time.h"
#include "volume/VolumeScanner.h"

#include <gtest/gtest.h>

#include <tuple>

using namespace scan;
using browse::FolderUpdates;
using browse::ScriptValue;

namespace {

FoundFile& Add(VolumeScanner& volume, const std::string& fullName, const std::string& path, std::uint8_t exist = 10,
               std::uint64_t size = 100, std::uint64_t time = 0)
{
    auto f = std::make_unique<FoundFile>();
    f->SetNameUtf8(fullName);
    f->m_filePath = path;
    SetExistCode(*f, exist);
    f->m_isDirectory = 0;
    f->m_fileSize = size;
    f->m_latestTime = time;
    f->m_fileSystemType = kNtfs;
    return *volume.m_results[volume.AppendResult(std::move(f))];
}

std::map<std::string, std::int32_t> Counts(const FolderUpdates& updates)
{
    std::map<std::string, std::int32_t> counts;
    for (const auto& [key, value] : updates)
        counts[key] = value.second;
    return counts;
}

// The rows as the window takes them.
std::vector<ScriptValue> Values(const std::vector<browse::FileRow>& rows)
{
    return bridge::RowValues(rows);
}

std::vector<std::string> Names(const std::vector<ScriptValue>& rows)
{
    std::vector<std::string> names;
    for (const ScriptValue& row : rows)
        names.push_back(row.Items().at(0).String());
    return names;
}

// A FILETIME `hours` before now.
std::uint64_t HoursAgo(int hours)
{
    const std::uint64_t now = platform::LocalToUtcFileTime(platform::NowLocal());
    return now - static_cast<std::uint64_t>(hours) * 3600ULL * 10000000ULL;
}

class BrowseTest : public ::testing::Test {
protected:
    void SetUp() override { base::StopRequest = 0; }
    void TearDown() override { base::StopRequest = 0; }
};

}  // namespace

TEST(Catalogue, Categories)
{
    using namespace filetypes;
    EXPECT_EQ(CatalogueSize(), 95u);
    EXPECT_EQ(CategoryOfSuffix("jpg"), kPictures);
    EXPECT_EQ(CategoryOfSuffix("JPG"), kPictures);
    EXPECT_EQ(CategoryOfSuffix("Jpg"), kPictures);
    EXPECT_EQ(CategoryOfSuffix("jpeg"), kCategoryNone);
    EXPECT_EQ(CategoryOfSuffix("3gp"), kVideos);
    EXPECT_EQ(CategoryOfSuffix("3g2"), kVideos);
    EXPECT_EQ(CategoryOfSuffix("dat"), kVideos);
    // The first and last entry of every list.
    EXPECT_EQ(CategoryOfSuffix("bmp"), kPictures);
    EXPECT_EQ(CategoryOfSuffix("ico"), kPictures);
    EXPECT_EQ(CategoryOfSuffix("docx"), kDocuments);
    EXPECT_EQ(CategoryOfSuffix("hlp"), kDocuments);
    EXPECT_EQ(CategoryOfSuffix("avi"), kVideos);
    EXPECT_EQ(CategoryOfSuffix("wrf"), kVideos);
    EXPECT_EQ(CategoryOfSuffix("mp3"), kAudio);
    EXPECT_EQ(CategoryOfSuffix("mmf"), kAudio);
    EXPECT_EQ(CategoryOfSuffix("dbx"), kEmails);
    EXPECT_EQ(CategoryOfSuffix("pst"), kEmails);
    EXPECT_EQ(CategoryOfSuffix(""), kCategoryNone);
    EXPECT_EQ(CategoryOfSuffix("xyz"), kCategoryNone);
    EXPECT_EQ(CataloguePosition("bmp"), 0);
    EXPECT_EQ(CataloguePosition("pst"), 94);
    LoadCatalogue();
    EXPECT_EQ(CatalogueSize(), 95u);
    EXPECT_EQ(CataloguePosition("pst"), 94);

    // The categories people expect of kinds the catalogue leaves out.
    EXPECT_EQ(BroadCategory("JPEG"), kPictures);
    EXPECT_EQ(BroadCategory("heic"), kPictures);
    EXPECT_EQ(BroadCategory("txt"), kDocuments);
    EXPECT_EQ(BroadCategory("eml"), kEmails);
    EXPECT_EQ(BroadCategory("pst"), kEmails);
    EXPECT_EQ(BroadCategory("xyz"), kCategoryNone);
    // Every extension has a type name: source and text kinds their own, the
    // rest their extension; control characters and long ones none.
    EXPECT_EQ(TypeName("c"), "C source");
    EXPECT_EQ(TypeName("H"), "C header");
    EXPECT_EQ(TypeName("md"), "Markdown text");
    EXPECT_EQ(TypeName("jpg"), "JPEG image");
    EXPECT_EQ(TypeName("xyz"), "XYZ file");
    EXPECT_EQ(TypeName(""), "");
    EXPECT_EQ(TypeName("a\x01b"), "");
    EXPECT_EQ(TypeName("averyveryverylongextension"), "");
}

TEST_F(BrowseTest, FolderCountsGrowAsFilesArrive)
{
    VolumeScanner volume;
    Add(volume, "1.txt", "a\\b\\");
    Add(volume, "2.txt", "a\\b\\", 20);
    Add(volume, "3.txt", "a\\c\\");
    Add(volume, "root.txt", "");
    Add(volume, "waiting.txt", "/");
    FoundFile& folder = Add(volume, "b", "a\\");
    folder.m_isDirectory = 1;
    FolderUpdates updates;
    browse::FolderTree tree;
    EXPECT_EQ(browse::CollectFolderUpdates(volume, tree, updates, "", browse::kNoLimit), 0u);
    EXPECT_EQ(Counts(updates), (std::map<std::string, std::int32_t> {{"a", 3}, {"a\\b", 2}, {"a\\c", 1}}));
    EXPECT_EQ(tree.Counts().size(), 3u);
    EXPECT_EQ(folder.m_inTree, 1u);
    EXPECT_EQ(ExistCode(*volume.m_results[1]), 2);  // placed
    EXPECT_EQ(volume.m_results[3]->m_inTree, 0u);    // the root has no folder entry

    // More files later: only the changed folders come back.
    Add(volume, "4.txt", "a\\c\\");
    updates.clear();
    browse::CollectFolderUpdates(volume, tree, updates, "", browse::kNoLimit);
    EXPECT_EQ(Counts(updates), (std::map<std::string, std::int32_t> {{"a", 4}, {"a\\c", 2}}));

    // A path resolved after its first visit is placed once the cursor goes back.
    volume.m_results[4]->m_filePath = "late\\";
    tree.Rewind();
    updates.clear();
    browse::CollectFolderUpdates(volume, tree, updates, "", browse::kNoLimit);
    EXPECT_EQ(Counts(updates), (std::map<std::string, std::int32_t> {{"late", 1}}));

    // Rows: the root file is listed; placed files show 1, 2 or 3.
    std::vector<browse::FileRow> found;
    browse::ListFolderFiles(volume, "", found);
    EXPECT_EQ(Names(Values(found)), (std::vector<std::string> {"root.txt"}));
    found.clear();
    browse::ListFolderFiles(volume, "a\\b\\", found);
    const std::vector<ScriptValue> rows = Values(found);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[1].Items().at(6).Int(), 2);
    EXPECT_EQ(rows[1].Items().at(5).Int(), 1);

    // How folders were found: a deleted one is marked so, unless a folder in
    // use has its path; the feed tells the mark with the count.
    EXPECT_EQ(tree.Mark("a\\b"), kExistInUse);
    FoundFile& gone = Add(volume, "gone", "a\\", 20);
    gone.m_isDirectory = 1;
    FoundFile& twice = Add(volume, "c", "a\\", 20);
    twice.m_isDirectory = 1;
    Add(volume, "5.txt", "a\\gone\\");
    updates.clear();
    browse::CollectFolderUpdates(volume, tree, updates, "", browse::kNoLimit);
    EXPECT_EQ(tree.Mark("a\\gone"), kExistDeleted);
    EXPECT_EQ(tree.Mark("a\\c"), kExistDeleted);
    EXPECT_EQ(tree.Mark("nowhere"), 0);
    VolumeScanner fresh;
    for (const auto& [name, path, exist] : {std::tuple {"gone", "a\\", 20}, {"b", "a\\", 10}}) {
        FoundFile& f = Add(fresh, name, path, static_cast<std::uint8_t>(exist));
        f.m_isDirectory = 1;
    }
    Add(fresh, "1.txt", "a\\gone\\");
    Add(fresh, "2.txt", "a\\b\\");
    browse::FolderFeed feed("");
    feed.PlaceAll(fresh);
    std::uint64_t seen = 0;
    std::map<std::string, int> marks;
    for (const browse::TakenFolder& taken : feed.Take(seen, 100))
        marks[taken.path] = taken.mark;
    EXPECT_EQ(marks, (std::map<std::string, int> {{"a", 0}, {"a\\b", kExistInUse}, {"a\\gone", kExistDeleted}}));
    // A folder in use found later under the same path takes the mark off.
    FoundFile& back = Add(fresh, "gone", "a\\", 10);
    back.m_isDirectory = 1;
    feed.Place(fresh);
    marks.clear();
    for (const browse::TakenFolder& taken : feed.Take(seen, 100))
        marks[taken.path] = taken.mark;
    EXPECT_EQ(marks, (std::map<std::string, int> {{"a\\gone", kExistInUse}}));
}

TEST_F(BrowseTest, ScanFolderLimitAndStop)
{
    VolumeScanner volume;
    Add(volume, "p.jpg", "old\\photos\\2019\\");
    Add(volume, "d.doc", "docs\\");
    Add(volume, "x.bin", "lost_dir\\x\\", 30);
    FolderUpdates updates;
    browse::FolderTree tree;
    browse::CollectFolderUpdates(volume, tree, updates, "photos", browse::kNoLimit);
    EXPECT_EQ(Counts(updates), (std::map<std::string, std::int32_t> {
                                   {"old", 1}, {"old\\photos", 1}, {"old\\photos\\2019", 1}, {"lost_dir", 1}, {"lost_dir\\x", 1}}));

    VolumeScanner many;
    for (int i = 0; i < 150; ++i)
        Add(many, "f.txt", "d" + std::to_string(i) + "\\");
    updates.clear();
    browse::FolderTree manyTree;
    EXPECT_EQ(browse::CollectFolderUpdates(many, manyTree, updates, "", 100), 50u);
    EXPECT_EQ(updates.size(), 100u);
    updates.clear();
    EXPECT_EQ(browse::CollectFolderUpdates(many, manyTree, updates, "", 100), 0u);
    EXPECT_EQ(updates.size(), 50u);

    VolumeScanner stopped;
    Add(stopped, "a.txt", "a\\");
    base::StopRequest = 2;
    updates.clear();
    browse::FolderTree stoppedTree;
    browse::CollectFolderUpdates(stopped, stoppedTree, updates, "", browse::kNoLimit);
    EXPECT_TRUE(updates.empty());
    EXPECT_EQ(stoppedTree.Visited(), 0u);
}

TEST_F(BrowseTest, FileRows)
{
    VolumeScanner volume;
    Add(volume, "photo.JPG", "/", 20, 1234, 0);
    std::vector<browse::FileRow> found;
    browse::ListFolderFiles(volume, "/", found);
    const std::vector<ScriptValue> rows = Values(found);
    ASSERT_EQ(rows.size(), 1u);
    const auto& row = rows[0].Items();
    ASSERT_EQ(row.size(), 11u);
    EXPECT_EQ(row[0].String(), "photo.JPG");
    EXPECT_EQ(row[1].String(), row[2].String());
    EXPECT_EQ(row[4].String(), "1234");
    EXPECT_EQ(row[6].Int(), 20);
    EXPECT_EQ(row[7].String(), "");  // the unresolved path
    EXPECT_EQ(row[8].String(), "JPEG image");
    EXPECT_EQ(row[9].String(), "unknown");  // no evidence pass ran
    EXPECT_NE(row[10].String(), "");
    EXPECT_EQ(rows[0].ToJson().substr(0, 13), "[\"photo.JPG\",");
}

TEST_F(BrowseTest, Filters)
{
    EXPECT_EQ(bridge::SplitByComma("a,b,"), (std::vector<std::string> {"a", "b", ""}));
    EXPECT_EQ(bridge::SplitByComma(""), (std::vector<std::string> {""}));

    VolumeScanner volume;
    Add(volume, "a.jpg", "", 10, 1024, HoursAgo(23));
    Add(volume, "b.JPG", "", 20, 2048, HoursAgo(25));
    Add(volume, "c", "", 10, 2049, 0);
    Add(volume, "d.pst", "", 30, 10, HoursAgo(1));
    auto names = [&](const std::string& text) {
        std::vector<browse::FileRow> rows;
        browse::Filter filter;
        if (bridge::ParseFilterText(text, filter))
            browse::FilterFiles(volume, filter, rows);
        return Names(Values(rows));
    };
    using V = std::vector<std::string>;
    EXPECT_EQ(names("0,0,0,0,0,0,0,,0,"), (V {"a.jpg", "b.JPG", "c", "d.pst"}));
    EXPECT_EQ(names("1,0,0,0,0,0,0,,0,"), (V {"a.jpg", "b.JPG"}));
    EXPECT_EQ(names("1,0,0,0,5,0,0,,0,"), (V {"a.jpg", "b.JPG", "d.pst"}));
    EXPECT_EQ(names("0,0,0,0,0,1024,2048,,0,"), (V {"a.jpg", "b.JPG"}));
    EXPECT_EQ(names("0,0,0,0,0,1024,0,,0,"), V {});
    EXPECT_EQ(names("0,0,0,0,0,0,0,,24,"), (V {"a.jpg", "c", "d.pst"}));
    EXPECT_EQ(names("0,0,0,0,0,0,0,,24,x,extra,more"), (V {"a.jpg", "c", "d.pst"}));
    EXPECT_EQ(names("0,0,0,0,0,0,0,,0"), V {});  // nine fields
    // By verdict: only files likely to come back whole.
    auto at = [&](std::size_t i) -> scan::FoundFile& { return *(*volume.Results())[i]; };
    at(0).m_evidence.verdict = scan::kVerdictIntact;
    at(1).m_evidence.verdict = scan::kVerdictOverwritten;
    at(2).m_evidence.verdict = scan::kVerdictLikely;
    at(3).m_evidence.verdict = scan::kVerdictPartial;
    EXPECT_EQ(names("0,0,0,0,0,0,0,,0,,intact|likely"), (V {"a.jpg", "c"}));
    EXPECT_EQ(names("1,0,0,0,0,0,0,,0,,overwritten|nonsense"), (V {"b.JPG"}));

    // Folders are never listed; names match a pattern, or hold a part.
    FoundFile& folder = Add(volume, "Album", "");
    folder.m_isDirectory = kKindFolder;
    Add(volume, "notes.txt", "Album\\");
    Add(volume, "report 2019.txt", "Album\\Old\\");
    auto named = [&](const std::string& pattern) {
        std::vector<browse::FileRow> rows;
        browse::Filter filter;
        filter.name = pattern;
        browse::FilterFiles(volume, filter, rows);
        return Names(Values(rows));
    };
    EXPECT_EQ(named(""), (V {"a.jpg", "b.JPG", "c", "d.pst", "notes.txt", "report 2019.txt"}));
    EXPECT_EQ(named("*.JPG"), (V {"a.jpg", "b.JPG"}));
    EXPECT_EQ(named("alb"), V {});
    EXPECT_EQ(named("REPORT"), (V {"report 2019.txt"}));
    EXPECT_EQ(named("?"), (V {"c"}));
    EXPECT_EQ(named("*20?9*"), (V {"report 2019.txt"}));
    EXPECT_EQ(named("*.t*t"), (V {"notes.txt", "report 2019.txt"}));
    EXPECT_EQ(named("**"), (V {"a.jpg", "b.JPG", "c", "d.pst", "notes.txt", "report 2019.txt"}));
    // With a kind: a .txt is a document.
    std::vector<browse::FileRow> rows;
    browse::Filter documents;
    documents.categories[0] = filetypes::kDocuments;
    browse::FilterFiles(volume, documents, rows);
    EXPECT_EQ(Names(Values(rows)), (V {"notes.txt", "report 2019.txt"}));
    // "?" takes a whole character, however many bytes it has.
    EXPECT_TRUE(browse::NameMatches("\xc3\xa9t\xc3\xa9.txt", "?t?.txt"));
    EXPECT_FALSE(browse::NameMatches("ab", "a?b"));
    EXPECT_TRUE(browse::NameMatches(std::string(5000, 'a') + "b", "*a*a*a*b"));
    EXPECT_FALSE(browse::NameMatches(std::string(5000, 'a'), "*a*a*a*b"));
}
