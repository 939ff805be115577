#include "platform/BlockDevice.h"
#include "platform/Ini.h"
#include "platform/Process.h"
#include "platform/Shared.h"
#include "platform/Text.h"
#include "platform/Time.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>

using namespace platform;

TEST(Text, RoundTripsAndRepairs)
{
    const std::u16string mixed = u"Ünïcødé фото 日本語 \U0001F600.txt";
    EXPECT_EQ(Utf8ToUtf16(Utf16ToUtf8(mixed)), mixed);
    EXPECT_EQ(Utf16ToUtf8(u"\U0001F600"), "\xF0\x9F\x98\x80");

    // An unpaired surrogate (names on NTFS may hold one) becomes U+FFFD.
    EXPECT_EQ(Utf16ToUtf8(std::u16string {u'a', char16_t(0xD800), u'b'}), "a\xEF\xBF\xBD" "b");
    EXPECT_EQ(Utf16ToUtf8(std::u16string {char16_t(0xDC00)}), "\xEF\xBF\xBD");

    // Malformed UTF-8: truncated, overlong, surrogate, past U+10FFFF.
    EXPECT_EQ(Utf8ToUtf16("a\xE6\x97"), u"a\uFFFD\uFFFD");
    EXPECT_EQ(Utf8ToUtf16("\xC0\xAF"), u"\uFFFD\uFFFD");
    EXPECT_EQ(Utf8ToUtf16("\xED\xA0\x80"), u"\uFFFD\uFFFD\uFFFD");
    EXPECT_EQ(Utf8ToUtf16("\xF4\x90\x80\x80"), u"\uFFFD\uFFFD\uFFFD\uFFFD");
}

TEST(Time, FileTimesAndLocalTime)
{
    const char* old = std::getenv("TZ");
    const std::string saved = old ? old : "";
    setenv("TZ", "UTC", 1);
    tzset();

    LocalTime t;
    t.year = 2024; t.month = 3; t.day = 5; t.hour = 9; t.minute = 7; t.second = 2; t.milliseconds = 500;
    const std::uint64_t ft = FieldsToFileTime(t);
    EXPECT_EQ(ft, kUnixEpochAsFileTime + 1709629622ULL * 10000000ULL + 5000000ULL);
    EXPECT_EQ(LocalToUtcFileTime(t), ft);  // UTC: the same
    LocalTime back;
    ASSERT_TRUE(FileTimeToLocal(ft, back));
    EXPECT_EQ(back.year, 2024);
    EXPECT_EQ(back.day, 5);
    EXPECT_EQ(back.second, 2);
    EXPECT_EQ(back.milliseconds, 500);
    ASSERT_TRUE(FileTimeToLocal(0, back));  // 1601-01-01
    EXPECT_EQ(back.year, 1601);

    setenv("TZ", "CET-1", 1);
    tzset();
    EXPECT_EQ(LocalToUtcFileTime(t), ft - 3600ULL * 10000000ULL);
    ASSERT_TRUE(FileTimeToLocal(ft, back));
    EXPECT_EQ(back.hour, 10);

    t.month = 13;
    EXPECT_EQ(FieldsToFileTime(t), 0u);

    if (old)
        setenv("TZ", saved.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

TEST(Time, LocalTimesAcrossSummerTimeAsTheZoneSaysThem)
{
    const char* old = std::getenv("TZ");
    const std::string saved = old ? old : "";
    for (const char* zone : {"CET-1CEST,M3.5.0,M10.5.0/3", "NZST-12NZDT,M9.5.0,M4.1.0/3", "UTC"}) {
        setenv("TZ", zone, 1);
        tzset();
        for (int hour = 0; hour < 366 * 24; hour += 7) {
            for (const int minute : {0, 29, 59}) {
                std::tm tm {};
                tm.tm_year = 2024 - 1900;
                tm.tm_mon = 0;
                tm.tm_mday = 1 + hour / 24;
                tm.tm_hour = hour % 24;
                tm.tm_min = minute;
                tm.tm_isdst = -1;
                std::tm want = tm;
                std::mktime(&want);  // normalises the day into its month, and a time in a summer-time gap
                LocalTime local;
                local.year = want.tm_year + 1900;
                local.month = want.tm_mon + 1;
                local.day = want.tm_mday;
                local.hour = want.tm_hour;
                local.minute = want.tm_min;
                local.second = 0;
                tm = want;
                tm.tm_isdst = -1;
                const std::time_t expected = std::mktime(&tm);
                ASSERT_EQ(LocalToUtcFileTime(local),
                          kUnixEpochAsFileTime + static_cast<std::uint64_t>(expected) * 10000000ULL)
                    << zone << " " << local.month << "-" << local.day << " " << local.hour << ":" << minute;
            }
        }
    }
    if (old)
        setenv("TZ", saved.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

TEST(Ini, ReadsAndWritesKeys)
{
    const std::string path = testing::TempDir() + "/settings.ini";
    std::filesystem::remove(path);
    EXPECT_EQ(ReadIniInt(path, "LOG", "LEVEL", 3), 3);
    ASSERT_TRUE(WriteIniString(path, "LOG", "LEVEL", "2"));
    ASSERT_TRUE(WriteIniString(path, "UI", "ZOOM", "1"));
    ASSERT_TRUE(WriteIniString(path, "LOG", "SIZE", "9"));
    EXPECT_EQ(ReadIniInt(path, "log", "level", 3), 2);
    EXPECT_EQ(ReadIniInt(path, "LOG", "SIZE", 3), 9);
    EXPECT_EQ(ReadIniInt(path, "UI", "ZOOM", 3), 1);
    EXPECT_EQ(ReadIniInt(path, "UI", "LEVEL", 3), 3);

    std::ofstream(path, std::ios::binary) << "[LOG]\r\nLEVEL = 1 ; quiet\r\n";
    EXPECT_EQ(ReadIniInt(path, "LOG", "LEVEL", 3), 1);
}

TEST(BlockDevice, OpensFilesReadOnlyAndRefusesTheRest)
{
    const std::string path = testing::TempDir() + "/volume.img";
    std::ofstream(path, std::ios::binary) << std::string(1024, 'v');
    OpenResult opened = OpenBlockDevice(path);
    ASSERT_TRUE(opened.device);
    EXPECT_EQ(opened.device->Size(), 1024u);
    char buffer[2048];
    ReadResult r = opened.device->ReadAt(512, buffer, sizeof buffer);
    EXPECT_EQ(r.status, ReadStatus::Ok);
    EXPECT_EQ(r.bytes, 512u);

    EXPECT_EQ(OpenBlockDevice(testing::TempDir()).error, OpenError::IsFolder);
    EXPECT_EQ(OpenBlockDevice(path + ".missing").error, OpenError::NotFound);
    EXPECT_EQ(OpenBlockDevice("/dev/null").error, OpenError::NotAVolume);
}

// The page that sends a browser on to the UI's address: whatever the address
// held, it stays inside its attributes.
TEST(Shell, TheRedirectPageEscapesItsAddress)
{
    const std::string page = shared::RedirectPage("http://127.0.0.1:1/\"><script>alert('x')</script>&");
    EXPECT_EQ(page.find("<script"), std::string::npos);
    const std::string href = "http://127.0.0.1:1/&quot;&gt;&lt;script&gt;alert(&#39;x&#39;)&lt;/script&gt;&amp;";
    EXPECT_NE(page.find("content=\"0;url=" + href + "\">"), std::string::npos);
    EXPECT_NE(page.find("<a href=\"" + href + "\">"), std::string::npos);
}

// The folder of the program's mark is used only when no other user can
// write it: a link, another user's folder, one others may write.
TEST(Process, ThePrivateRunFolderIsCheckedBeforeUse)
{
    const std::filesystem::path base = std::filesystem::path(testing::TempDir()) / "quenlar-private-run";
    std::filesystem::remove_all(base);
    std::filesystem::create_directories(base);
    const char* given = std::getenv("QUENLAR_LOCK_DIR");
    const std::string saved = given != nullptr ? given : "";
    auto folderFor = [](const std::filesystem::path& path, std::string& problem) {
        ::setenv("QUENLAR_LOCK_DIR", path.c_str(), 1);
        return PrivateRunFolder(&problem);
    };
    std::string problem;
    const std::filesystem::path own = base / "own";
    ::mkdir(own.c_str(), 0700);
    EXPECT_EQ(folderFor(own, problem), own.string());
    EXPECT_EQ(MachineLockPath("x", &problem), own.string() + "/x");
    // One of this user's that others could write is narrowed first.
    const std::filesystem::path open = base / "open";
    ::mkdir(open.c_str(), 0700);
    ::chmod(open.c_str(), 0777);
    EXPECT_EQ(folderFor(open, problem), open.string());
    struct stat st {};
    ASSERT_EQ(::stat(open.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    // A link to a good folder, and a file, are not used.
    const std::filesystem::path link = base / "link";
    std::filesystem::create_directory_symlink(own, link);
    EXPECT_EQ(folderFor(link, problem), "");
    EXPECT_NE(problem, "");
    std::ofstream(base / "file") << "x";
    EXPECT_EQ(folderFor(base / "file", problem), "");
    EXPECT_EQ(folderFor(base / "missing", problem), "");
    // Another user's folder (root can give one away).
    if (::geteuid() == 0) {
        const std::filesystem::path theirs = base / "theirs";
        ::mkdir(theirs.c_str(), 0700);
        ASSERT_EQ(::chown(theirs.c_str(), 65534, 65534), 0);
        EXPECT_EQ(folderFor(theirs, problem), "");
        EXPECT_NE(problem.find("another user"), std::string::npos);
        EXPECT_EQ(MachineLockPath("x", &problem), "");
    }
    if (given != nullptr)
        ::setenv("QUENLAR_LOCK_DIR", saved.c_str(), 1);
    else
        ::unsetenv("QUENLAR_LOCK_DIR");
    std::filesystem::remove_all(base);
}

// Made for a privileged program, a file of raw disks' names is its owner's
// alone; a link in its place is not followed.
TEST(Process, OwnerOnlyFiles)
{
    const std::filesystem::path base = std::filesystem::path(testing::TempDir()) / "quenlar-owner-only";
    std::filesystem::remove_all(base);
    std::filesystem::create_directories(base);
    const std::filesystem::path file = base / "store";
    ASSERT_TRUE(MakeOwnerOnlyFile(file.string()));
    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ::chmod(file.c_str(), 0644);
    ASSERT_TRUE(MakeOwnerOnlyFile(file.string()));
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    std::filesystem::create_symlink(base / "elsewhere", base / "link");
    EXPECT_FALSE(MakeOwnerOnlyFile((base / "link").string()));
    EXPECT_FALSE(std::filesystem::exists(base / "elsewhere"));
    std::filesystem::remove_all(base);
}
