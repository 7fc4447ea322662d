// The file sink and the module's own log: the file read back as UTF-16LE, the
// banner on every new file, keep-open, the size threshold, directories and the
// log manager's four slots.
#include <gtest/gtest.h>

#include <atomic>
#include <regex>
#include <set>
#include <thread>

#include "common/Logging/FileLogger.h"
#include "common/Logging/Log.h"
#include "common/Logging/LogDirectory.h"
#include "platform/os/Process.h"
#include "tests/support/LogTestSupport.h"

namespace cvn::log {
namespace {

using cvn::test::FakeClock;
using cvn::test::FromUtf16Le;
using cvn::test::LogTestScope;
using cvn::test::ReadFile;
using cvn::test::TempDir;

std::vector<std::string> SplitLines(const std::string& text)
{
    std::vector<std::string> lines;
    size_t pos = 0;
    for (size_t end; (end = text.find("\r\n", pos)) != std::string::npos; pos = end + 2)
        lines.push_back(text.substr(pos, end - pos));
    return lines;
}

TEST(ModuleLog, WritesTheBannerAndLinesInTheFixedColumnsAsUtf16)
{
    TempDir dir;
    LogTestScope scope({{"Logger/Path", "logs\\nested\\"}});
    SetModuleFilePathForTests(dir.Path() + "/libcorvane.so");
    ResetModuleLogForTests(true);
    {
        CV_TRACE(Dbg, "Corvane::CCorvaneGate::ProcessRequest");
        FakeClock::counter += 12345678;  // 1 234.567 ms at 10 MHz
        CV_LOG(Err, "Corvane::X failed: " << 42);
    }
    ResetModuleLogForTests(false);

    const std::string bytes = ReadFile(dir.Path() + "/logs/nested/libcorvane.log");
    ASSERT_FALSE(bytes.empty());
    ASSERT_EQ(bytes.size() % 2, 0u);
    EXPECT_NE(bytes.substr(0, 2), std::string("\xFF\xFE", 2));
    const std::vector<std::string> lines = SplitLines(FromUtf16Le(bytes));
    ASSERT_EQ(lines.size(), 10u);
    EXPECT_EQ(lines[0], std::string(100, '*'));
    EXPECT_TRUE(std::regex_match(lines[1], std::regex(R"(\*\*\* Module: .*/libcorvane\.so \(Base: 0x[0-9A-F]{16}\))")))
        << lines[1];
    EXPECT_TRUE(std::regex_match(lines[2], std::regex(R"(\*\*\* Version: \d+\.\d+\.\d+\.\d+)"))) << lines[2];
    EXPECT_EQ(lines[3], "*** Module description: Corvane64");
    EXPECT_TRUE(std::regex_match(lines[4], std::regex(R"(\*\*\* Process: /.+ \(Pid: \d+\))"))) << lines[4];
    EXPECT_EQ(lines[5].rfind("*** Command line: ", 0), 0u);
    EXPECT_EQ(lines[6], std::string(100, '*'));

    const std::regex layout(R"((\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{7}) \| (.{4}) \|([ \d]{5}) ([ \d]{5}) \| (.{26}.*?)\| (.*))");
    std::smatch columns;
    ASSERT_TRUE(std::regex_match(lines[7], columns, layout)) << lines[7];
    EXPECT_EQ(columns[2], "DBG ");
    EXPECT_EQ(std::stoul(columns[3]), os::ProcessId() % 65536);
    EXPECT_TRUE(std::regex_match(std::string(columns[5]), std::regex(R"(FileLoggerTest\.cpp:\d+ +)"))) << columns[5];
    EXPECT_EQ(std::string(columns[5]).size(), 31u);
    EXPECT_EQ(columns[6], "Entering: Corvane::CCorvaneGate::ProcessRequest");

    ASSERT_TRUE(std::regex_match(lines[8], columns, layout)) << lines[8];
    EXPECT_EQ(columns[2], "ERR ");
    EXPECT_EQ(columns[6], "  Corvane::X failed: 42");
    ASSERT_TRUE(std::regex_match(lines[9], columns, layout)) << lines[9];
    EXPECT_EQ(columns[6], "Exiting: Corvane::CCorvaneGate::ProcessRequest [1 234.567 ms]");
}

TEST(FileLogger, BannerStartsEveryNewFileAndKeepOpenReusesTheHandleUntilTheIntervalPasses)
{
    TempDir dir;
    LogTestScope scope({{"Logger/KeepOpenInterval", "0"}});
    const std::string direct = dir.Path() + "/direct.log";
    FileLogger first(direct, "BANNER\r\n");
    first.Write("one\r\n", 5);
    first.Write("two\r\n", 5);
    EXPECT_EQ(FromUtf16Le(ReadFile(direct)), "BANNER\r\none\r\ntwo\r\n");
    std::filesystem::remove(direct);
    first.Write("three\r\n", 7);
    EXPECT_EQ(FromUtf16Le(ReadFile(direct)), "BANNER\r\nthree\r\n");

    scope.SetSettings({{"Logger/KeepOpenInterval", "1000"}});
    const std::string path = dir.Path() + "/kept.log";
    FileLogger sink(path, "B\r\n");
    sink.Write("a\r\n", 3);
    std::filesystem::rename(path, dir.Path() + "/rotated.log");
    FakeClock::tickMs += 999;
    sink.Write("b\r\n", 3);  // still the cached handle: lands in the rotated file
    EXPECT_FALSE(std::filesystem::exists(path));
    FakeClock::tickMs += 1;
    sink.Write("c\r\n", 3);
    EXPECT_EQ(FromUtf16Le(ReadFile(dir.Path() + "/rotated.log")), "B\r\na\r\nb\r\n");
    EXPECT_EQ(FromUtf16Le(ReadFile(path)), "B\r\nc\r\n");
}

TEST(FileLogger, TooBigFileIsNotWrittenAndReportedOnce)
{
    TempDir dir;
    LogTestScope scope({{"Logger/KeepOpenInterval", "0"}});
    const std::string path = dir.Path() + "/big.log";
    std::ofstream(path).put('x');
    std::filesystem::resize_file(path, uint64_t(1024) << 20);  // sparse
    FileLogger sink(path, "");
    sink.Write("a\r\n", 3);
    sink.Write("b\r\n", 3);
    EXPECT_EQ(std::filesystem::file_size(path), uint64_t(1024) << 20);
    const auto debug = scope.DebugLines();
    ASSERT_EQ(debug.size(), 1u);
    EXPECT_EQ(debug[0], "FileLogger: log file '" + path + "' is too big (size=1024MB threshold=1024MB)\n");

    std::filesystem::resize_file(path, 0);  // rotated by an outside tool
    sink.Write("c\r\n", 3);
    EXPECT_EQ(FromUtf16Le(ReadFile(path)), "c\r\n");
    scope.SetSettings({{"Logger/KeepOpenInterval", "0"}, {"Logger/LogFileSizeThresholdMB", "0"}});
    std::filesystem::resize_file(path, uint64_t(2048) << 20);
    sink.Write("d\r\n", 3);
    EXPECT_GT(std::filesystem::file_size(path), uint64_t(2048) << 20);
    std::filesystem::remove(path);
}

TEST(FileLogger, LogDirectoryIsCreatedLevelByLevelOrTheLineDroppedWithADebugLine)
{
    TempDir dir;
    const std::string blocker = dir.Write("blocker", "a file where a directory should be");
    LogTestScope scope({{"Logger/Path", blocker + "/sub/"}});
    FileLogger sink("x.log", "banner");
    EXPECT_NO_THROW(sink.Write("a\r\n", 3));
    const auto debug = scope.DebugLines();
    ASSERT_EQ(debug.size(), 1u);
    EXPECT_EQ(debug[0].rfind("FileLogger: cannot open log file '" + blocker + "/sub/x.log' (error: 0x80070003)", 0), 0u)
        << debug[0];

    // The directory comes from the data directory, created level by level with forward slashes.
    scope.SetSettings({{"General/DataDirectoryPath", dir.Path()}});
    const std::string directory = LogDirectoryOf("a\\b/c");
    EXPECT_EQ(directory, dir.Path() + "/a/b/c/");
    CreateDirectoryLevels(directory);
    EXPECT_TRUE(std::filesystem::is_directory(directory));
}

TEST(LogManager, FourSlotsAndTheFifthIsRefused)
{
    LogTestScope scope;  // its own sink takes one slot
    cvn::test::LogCapture sinks[4]{false, false, false, false};  // registered by hand
    EXPECT_TRUE(LogManager::Instance().Register(&sinks[0]));
    EXPECT_TRUE(LogManager::Instance().Register(&sinks[1]));
    EXPECT_TRUE(LogManager::Instance().Register(&sinks[1]));  // moves, does not take a second slot
    EXPECT_TRUE(LogManager::Instance().Register(&sinks[2]));
    EXPECT_FALSE(LogManager::Instance().Register(&sinks[3]));
    EXPECT_EQ(scope.DebugLines(), std::vector<std::string>{"LogManager: Too many loggers\n"});
    CV_LOG(Err, "to all");
    EXPECT_EQ(sinks[0].Lines().size(), 1u);
    EXPECT_EQ(sinks[3].Lines().size(), 0u);
    for (auto& sink : sinks) LogManager::Instance().Unregister(&sink);
    CV_LOG(Err, "only the scope's sink");
    EXPECT_EQ(sinks[0].Lines().size(), 1u);
    EXPECT_EQ(scope.sink.Lines().size(), 2u);
}

// A sink may be destroyed once Unregister returns, even while another thread is writing to it.
TEST(LogManager, UnregisterWaitsForAWriteInsideTheSink)
{
    struct HeldSink : ILogSink {
        std::atomic<bool> inside{false}, release{false}, finished{false};
        void Write(const char*, size_t) noexcept override
        {
            inside = true;
            while (!release) std::this_thread::yield();
            finished = true;
        }
    } sink;
    LogTestScope scope;
    ASSERT_TRUE(LogManager::Instance().Register(&sink));
    std::thread writer([] { CV_LOG(Err, "held"); });
    ASSERT_TRUE(cvn::test::WaitUntil([&] { return sink.inside.load(); }));
    std::atomic<bool> returned{false}, finishedFirst{false};
    std::thread unregister([&] {
        LogManager::Instance().Unregister(&sink);
        finishedFirst = sink.finished.load();
        returned = true;
    });
    // Unregister must not return while the write is inside; give it a moment to do so wrongly.
    cvn::test::WaitUntil([&] { return returned.load(); }, std::chrono::milliseconds(200));
    sink.release = true;
    writer.join();
    unregister.join();
    EXPECT_TRUE(finishedFirst);
}

TEST(FileLogger, ConcurrentWritersKeepEveryLineWhole)
{
    TempDir dir;
    LogTestScope scope({{"Logger/KeepOpenInterval", "1"}});
    const std::string path = dir.Path() + "/threads.log";
    FileLogger sink(path, "B\r\n");
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&sink, t] {
            for (int i = 0; i < 200; ++i) {
                const std::string line = "thread " + std::to_string(t) + " line " + std::to_string(i) + "\r\n";
                sink.Write(line.data(), line.size());
                FakeClock::tickMs += 1;  // forces reopening while others write
            }
        });
    }
    for (auto& thread : threads) thread.join();
    const auto lines = SplitLines(FromUtf16Le(ReadFile(path)));
    ASSERT_EQ(lines.size(), 801u);
    EXPECT_EQ(lines[0], "B");
    std::set<std::string> unique(lines.begin() + 1, lines.end());
    EXPECT_EQ(unique.size(), 800u);
    for (const auto& line : unique) EXPECT_TRUE(std::regex_match(line, std::regex(R"(thread \d line \d+)"))) << line;
}

}  // namespace
}  // namespace cvn::log
