#include "base/Log.h"

#include "platform/Ini.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

std::string ReadAll(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteAll(const fs::path& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary) << text;
}

class LogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir = fs::path(testing::TempDir()) / ("log-" + std::string(testing::UnitTest::GetInstance()->current_test_info()->name()));
        fs::remove_all(dir);
        fs::create_directories(dir);
        log = (dir / "Recovery.log").string();
        settings = (dir / "config.ini").string();
        base::SetLogSizeLimit(base::kLogSizeLimit);
    }
    void TearDown() override
    {
        base::ShutdownLog();
        base::SetLogSizeLimit(base::kLogSizeLimit);
        fs::remove_all(dir);
    }

    fs::path dir;
    std::string log;
    std::string settings;
};

}  // namespace

TEST(LogFormat, HeaderOfTheDocumentedLine)
{
    platform::LocalTime t;
    t.year = 2024; t.month = 3; t.day = 5; t.hour = 9; t.minute = 7; t.second = 2;
    EXPECT_EQ(base::FormatLogHeader(base::LogTag::Less, t, 1234), "[2024-03-05] [09-07-02] [T:1234 ] [LESS ]: ");
    EXPECT_EQ(base::FormatLogHeader(base::LogTag::Debug, t, 7654321), "[2024-03-05] [09-07-02] [T:7654321] [DEBUG]: ");
    t.year = 12345;  // too wide for its field: left empty
    EXPECT_EQ(base::FormatLogHeader(base::LogTag::Less, t, 1).substr(0, 8), "[-03-05]");
}

TEST(LogFormat, BackupNames)
{
    EXPECT_EQ(base::LogBackupName("Recovery.log", 1), "Recovery_1.log");
    EXPECT_EQ(base::LogBackupName("./dir.d/Recovery.log", 5), "./dir.d/Recovery_5.log");
    EXPECT_EQ(base::LogBackupName("./dir.d/Recovery", 2), "./dir.d/Recovery_2");
}

TEST_F(LogTest, LevelFromSettings)
{
    // No settings file: it is created with LEVEL=2, and both levels write.
    base::ConfigureLog(settings);
    EXPECT_EQ(base::LogLevel(), 2);
    EXPECT_EQ(platform::ReadIniInt(settings, "LOG", "LEVEL", -5), 2);
    base::SetLogFile(log);
    base::LogLess("less %d", 1);
    base::LogDebug("debug %s", "x");
    std::string text = ReadAll(log);
    EXPECT_NE(text.find("[LESS ]: less 1\n"), std::string::npos);
    EXPECT_NE(text.find("[DEBUG]: debug x\n"), std::string::npos);

    WriteAll(settings, "[LOG]\nLEVEL=1\n");
    base::ConfigureLog(settings);
    fs::remove(log);
    base::SetLogFile(log);
    base::LogLess("shown");
    base::LogDebug("hidden");
    text = ReadAll(log);
    EXPECT_NE(text.find("shown"), std::string::npos);
    EXPECT_EQ(text.find("hidden"), std::string::npos);

    WriteAll(settings, "[LOG]\nLEVEL=0\n");
    base::ConfigureLog(settings);
    base::LogLess("nothing");
    EXPECT_EQ(ReadAll(log).find("nothing"), std::string::npos);

    // Negative and non-numeric levels are written back as 2; other
    // sections and keys stay as they were.
    for (const char* bad : {"-1", "7", "abc", ""}) {
        WriteAll(settings, std::string("[UI]\nTHEME=dark\n[log]\nlevel=") + bad + "\nOTHER=x\n");
        base::ConfigureLog(settings);
        EXPECT_EQ(base::LogLevel(), 2) << bad;
        EXPECT_EQ(platform::ReadIniInt(settings, "LOG", "LEVEL", -5), 2) << bad;
        EXPECT_NE(ReadAll(settings).find("THEME=dark"), std::string::npos);
        EXPECT_NE(ReadAll(settings).find("OTHER=x"), std::string::npos);
    }
}

TEST_F(LogTest, LongMessagesLeaveTheHeaderAlone)
{
    base::SetLogLevel(1);
    base::SetLogFile(log);
    base::LogLess("%s", std::string(2000, 'x').c_str());
    std::string text = ReadAll(log);
    const auto first = text.find('\n');
    ASSERT_NE(first, std::string::npos);
    EXPECT_EQ(text.substr(first - 8, 9), "[LESS ]:\n");
    EXPECT_EQ(text.find('x'), std::string::npos);

    // A message that exactly fills the 1300 bytes is kept whole.
    const std::size_t header = first + 1;
    base::LogLess("%s", std::string(1300 - header, 'y').c_str());
    base::LogLess("%s", std::string(1301 - header, 'z').c_str());
    text = ReadAll(log);
    EXPECT_EQ(text.find('\n', header) - header, 1300u);
    EXPECT_EQ(text.find('z'), std::string::npos);
}

TEST_F(LogTest, AnOversizedLogIsRotatedBeforeTheFirstLine)
{
    base::SetLogLevel(1);
    WriteAll(log, std::string(base::kLogSizeLimit + 1, 'o'));
    base::SetLogFile(log);
    base::LogLess("fresh");
    EXPECT_EQ(fs::file_size(dir / "Recovery_1.log"), base::kLogSizeLimit + 1);
    EXPECT_EQ(ReadAll(log).find('o'), std::string::npos);
    EXPECT_NE(ReadAll(log).find("fresh"), std::string::npos);
}

TEST_F(LogTest, RotationFillsTheFirstGap)
{
    base::SetLogLevel(1);
    WriteAll(dir / "Recovery_1.log", "one");
    WriteAll(dir / "Recovery_3.log", "three");
    base::SetLogSizeLimit(100);
    base::SetLogFile(log);
    base::LogLess("%s", std::string(120, 'a').c_str());  // goes over the limit
    EXPECT_EQ(ReadAll(dir / "Recovery_2.log"), "one");
    EXPECT_EQ(ReadAll(dir / "Recovery_3.log"), "three");
    EXPECT_NE(ReadAll(dir / "Recovery_1.log").find("aaaa"), std::string::npos);
    EXPECT_TRUE(fs::exists(log));
    EXPECT_EQ(fs::file_size(log), 0u);
}

TEST_F(LogTest, RotationWithAllBackupsDropsTheOldest)
{
    base::SetLogLevel(1);
    for (int n = 1; n <= 5; ++n)
        WriteAll(dir / ("Recovery_" + std::to_string(n) + ".log"), std::to_string(n));
    base::SetLogSizeLimit(100);
    base::SetLogFile(log);
    base::LogLess("%s", std::string(120, 'a').c_str());
    EXPECT_NE(ReadAll(dir / "Recovery_1.log").find("aaaa"), std::string::npos);
    for (int n = 2; n <= 5; ++n)
        EXPECT_EQ(ReadAll(dir / ("Recovery_" + std::to_string(n) + ".log")), std::to_string(n - 1));
    EXPECT_FALSE(fs::exists(dir / "Recovery_6.log"));
}

TEST_F(LogTest, LinesFromManyThreadsNeverInterleave)
{
    base::SetLogLevel(2);
    base::SetLogFile(log);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < 200; ++i)
                base::LogDebug("thread %d line %d %s", t, i, "payload-payload-payload");
        });
    for (auto& th : threads)
        th.join();
    std::istringstream lines(ReadAll(log));
    std::string line;
    int count = 0;
    while (std::getline(lines, line)) {
        ++count;
        EXPECT_NE(line.find("[DEBUG]: thread "), std::string::npos) << line;
        EXPECT_EQ(line.substr(line.size() - 23), "payload-payload-payload");
    }
    EXPECT_EQ(count, 800);
}
