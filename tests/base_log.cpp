// Logger: line format, level names, configuration sequence and file naming.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "base/hdatetime.h"
#include "base/hlog.h"
#include "base/hthread.h"
#include "support/special_files.h"

using namespace BRIXEL;
namespace fs = std::filesystem;

namespace {

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> out;
    std::stringstream ss(text);
    for (std::string line; std::getline(ss, line);)
        out.push_back(line);
    return out;
}

// Checks the "[hh:mm:ss.mmm]" head of a line and returns the rest with the call-site line number
// replaced by '#'; "" when the head is malformed.
std::string Shape(const std::string& line) {
    static const char kHead[] = "[dd:dd:dd.ddd]";
    if (line.size() < sizeof(kHead) - 1)
        return {};
    for (size_t i = 0; i < sizeof(kHead) - 1; ++i) {
        const bool ok = kHead[i] == 'd' ? isdigit(static_cast<unsigned char>(line[i])) != 0
                                        : line[i] == kHead[i];
        if (!ok)
            return {};
    }
    std::string rest = line.substr(sizeof(kHead) - 1);
    const size_t at = rest.find(" LINE:");
    if (at != std::string::npos) {
        size_t end = at + 6;
        while (end < rest.size() && isdigit(static_cast<unsigned char>(rest[end])))
            ++end;
        if (end > at + 6)
            rest.replace(at + 6, end - at - 6, "#");
    }
    return rest;
}

// Each test gets a scratch directory and a file standing in for standard error.
class LogTest : public testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/quorix-log-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_dir = pattern;
        m_debugPath = m_dir + "/debugger.txt";
        m_debugFd = open(m_debugPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0600);
        ASSERT_GE(m_debugFd, 0);
        CHLog::Instance().SetDebugFd(m_debugFd);
    }
    void TearDown() override {
        CHLog& log = CHLog::Instance();
        log.SetOutput(0);
        log.SetDebugFd(2);
        log.SetPath(nullptr, "log");
        log.SetLevel(10, 0);
        close(m_debugFd);
        fs::remove_all(m_dir);
    }
    std::string Debugger() const { return ReadAll(m_debugPath); }
    // Today's file; a test that straddles midnight may find yesterday's name too.
    std::string TodaysFileText() const {
        std::string text;
        for (const CHDateTime& day : {m_started, CHDateTime::Now()}) {
            const std::string name =
                CHLog::Instance().FileNameFor(day.GetYear(), day.GetMonth(), day.GetDay());
            if (fs::exists(name))
                text += ReadAll(name);
            if (m_started.IsSameDay(CHDateTime::Now()))
                break;
        }
        return text;
    }

    std::string m_dir;
    std::string m_debugPath;
    int m_debugFd = -1;
    CHDateTime m_started = CHDateTime::Now();
};

}  // namespace

TEST(LogLevelTest, PrintedNames) {
    const std::pair<uint32_t, const char*> table[] = {
        {0, "debug0"}, {9, "debug9"}, {10, "DEBUG"}, {11, "info1"},  {15, "info5"},
        {20, "INFO"},  {21, "warn1"}, {30, "WARN"},  {35, "error5"}, {39, "error9"},
        {40, "ERROR"}, {41, "41"},    {50, "50"},
    };
    for (const auto& [level, name] : table)
        EXPECT_EQ(CHLog::LevelName(level), name) << level;
}

TEST(LogLevelTest, SourceFileNamePart) {
    EXPECT_EQ(CHLogLibOut::FileNamePart("..\\src\\hthread"), "hthread");
    EXPECT_EQ(CHLogLibOut::FileNamePart("player"), "player");
    EXPECT_EQ(CHLogLibOut::FileNamePart("\\player"), "\\player");
    EXPECT_EQ(CHLogLibOut::FileNamePart("src/player/player.cpp"), "player.cpp");
    EXPECT_EQ(CHLogLibOut::FileNamePart(""), "");
}

TEST_F(LogTest, LineFormatOnTheDebuggerOutput) {
    CHLog::Instance().Configure(1, 0, nullptr, nullptr);
    CHLogLibOut("..\\src\\player", "CPlayer::CloseStream", 390)
        .Print("quorixsdk", 20, "%s", "CloseStream");
    CHLogLibOut("plain", "", 7).Print("", 15, "n=%d", 42);
    CHLogLibOut("..\\src\\x", "F", 1).Print(nullptr, 50, "%s", "");
    CHLogLibOut("..\\src\\x", "F", 1).Print("m", 20, nullptr);  // nothing at all

    const auto lines = Lines(Debugger());
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(Shape(lines[0]), "(INFO)quorixsdk:<player CPlayer::CloseStream LINE:#> CloseStream");
    EXPECT_NE(lines[0].find("LINE:390>"), std::string::npos);
    EXPECT_EQ(Shape(lines[1]), "(info5):<plain LINE:#> n=42");
    EXPECT_EQ(Shape(lines[2]), "(50):<x F LINE:#> ");
}

TEST_F(LogTest, ConfigurationSequence) {
    CHLog& log = CHLog::Instance();
    const std::string base = m_dir + "/sdk";

    // Disabled: nothing anywhere, whatever else is given.
    log.Configure(0, 0, base.c_str(), "txt");
    EXPECT_EQ(log.GetOutput(), 0u);
    HLOG("t", "m", 40, "f", "dropped");
    // Enabled without a path: debugger only.
    log.Configure(1, 20, "", nullptr);
    EXPECT_EQ(log.GetOutput(), static_cast<uint32_t>(HLOG_OUT_DEBUGGER));
    HLOG("t", "m", 19, "f", "below");
    HLOG("t", "m", 20, "f", "kept-debugger");
    // With a path: both outputs, file threshold follows the level; applied twice as the SDK does.
    log.Configure(1, 20, base.c_str(), nullptr);
    log.Configure(1, 20, base.c_str(), nullptr);
    EXPECT_EQ(log.GetOutput(), static_cast<uint32_t>(HLOG_OUT_DEBUGGER | HLOG_OUT_FILE));
    EXPECT_EQ(log.GetThreshold(), 20u);
    EXPECT_EQ(log.GetFileThreshold(), 20u);
    HLOG("t", "m", 10, "f", "below-again");
    HLOG("t", "m", 40, "f", "kept-both");

    const std::string debugger = Debugger();
    EXPECT_EQ(debugger.find("dropped"), std::string::npos);
    EXPECT_EQ(debugger.find("below"), std::string::npos);
    EXPECT_NE(debugger.find("kept-debugger"), std::string::npos);
    EXPECT_NE(debugger.find("kept-both"), std::string::npos);

    const std::string file = TodaysFileText();
    EXPECT_EQ(Lines(file).size(), 1u) << file;
    EXPECT_NE(file.find("(ERROR)m:<t f LINE:"), std::string::npos);
    EXPECT_EQ(file.find("kept-debugger"), std::string::npos);

    // A file threshold above the level keeps lower lines out of the file only.
    log.SetLevel(10, 30);
    HLOG("t", "m", 20, "f", "debugger-only");
    EXPECT_EQ(TodaysFileText().find("debugger-only"), std::string::npos);
    EXPECT_NE(Debugger().find("debugger-only"), std::string::npos);
}

TEST_F(LogTest, FileNames) {
    CHLog& log = CHLog::Instance();
    EXPECT_EQ(log.FileNameFor(2020, 3, 31), "");  // no base path, no file
    log.SetPath("/logs/sdk", nullptr);
    EXPECT_EQ(log.FileNameFor(2020, 3, 31), "/logs/sdk_20200331.log");  // "log" at first
    log.SetPath("/logs/sdk", "txt");
    EXPECT_EQ(log.FileNameFor(2020, 3, 31), "/logs/sdk_20200331.txt");
    log.SetPath("/logs/other", nullptr);  // keeps "txt"
    EXPECT_EQ(log.FileNameFor(2021, 1, 2), "/logs/other_20210102.txt");
    log.SetPath("/logs/sdk", "");
    EXPECT_EQ(log.FileNameFor(2020, 3, 31), "/logs/sdk_20200331");
    log.SetPath(nullptr, nullptr);
    EXPECT_EQ(log.GetPath(), "");
    EXPECT_EQ(log.GetExtension(), "");
}

TEST_F(LogTest, UnwritablePathLosesOnlyTheFileLine) {
    const std::string base = m_dir + "/missing/dir/sdk";
    CHLog::Instance().Configure(1, 0, base.c_str(), nullptr);
    HLOG("t", "m", 20, "f", "still-on-debugger");
    EXPECT_NE(Debugger().find("still-on-debugger"), std::string::npos);
    EXPECT_FALSE(fs::exists(m_dir + "/missing"));
}

// A pipe under the log file's name: the line is lost for the file, never waited for.
TEST_F(LogTest, APipeAsTheLogFileLosesOnlyTheFileLine) {
    const std::string base = m_dir + "/sdk";
    CHLog::Instance().Configure(1, 0, base.c_str(), nullptr);
    const CHDateTime now = CHDateTime::Now();
    const std::string name =
        CHLog::Instance().FileNameFor(now.GetYear(), now.GetMonth(), now.GetDay());
    ASSERT_TRUE(fifotest::MakeFifo(name));
    const fifotest::Outcome logged = fifotest::CallOnFifo(name, [] {
        HLOG("t", "m", 20, "f", "beside-the-pipe");
        return 0u;
    });
    EXPECT_TRUE(logged.returned) << "blocked on a pipe";
    EXPECT_NE(Debugger().find("beside-the-pipe"), std::string::npos);
    EXPECT_TRUE(fifotest::IsFifo(name));
}

TEST_F(LogTest, HugeMessageIsWrittenWhole) {
    const std::string base = m_dir + "/sdk";
    CHLog::Instance().Configure(1, 0, base.c_str(), "");
    std::string big(3 * 1024 * 1024, 'x');
    big[0] = 'A';
    big.back() = 'Z';
    HLOG("t", "m", 20, "f", "%s", big.c_str());
    for (const std::string& text : {Debugger(), TodaysFileText()}) {
        const auto lines = Lines(text);
        ASSERT_EQ(lines.size(), 1u);
        const size_t at = lines[0].find("> A");
        ASSERT_NE(at, std::string::npos);
        EXPECT_EQ(lines[0].size() - at - 2, big.size());
        EXPECT_EQ(lines[0].back(), 'Z');
    }
}

TEST_F(LogTest, LinesFromManyThreadsNeverInterleave) {
    const std::string base = m_dir + "/sdk";
    CHLog::Instance().Configure(1, 0, base.c_str(), nullptr);
    constexpr int kThreads = 4, kLines = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            const std::string payload(1000 + 500 * t, static_cast<char>('a' + t));
            for (int i = 0; i < kLines; ++i)
                HLOG("t", "m", 20, "f", "%d:%s:end", t, payload.c_str());
        });
    }
    for (auto& th : threads)
        th.join();
    for (const std::string& text : {Debugger(), TodaysFileText()}) {
        const auto lines = Lines(text);
        ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kLines));
        for (const std::string& line : lines) {
            const std::string rest = Shape(line);
            const std::string head = "(INFO)m:<t f LINE:#> ";
            ASSERT_EQ(rest.compare(0, head.size(), head), 0) << line.substr(0, 120);
            const int t = rest[head.size()] - '0';
            ASSERT_TRUE(t >= 0 && t < kThreads);
            const std::string expected = std::to_string(t) + ":" +
                                         std::string(1000 + 500 * t, static_cast<char>('a' + t)) +
                                         ":end";
            ASSERT_EQ(rest.substr(head.size()), expected) << line.substr(0, 120);
        }
    }
}

TEST_F(LogTest, ThreadStartAndEndLines) {
    CHLog::Instance().Configure(1, 0, nullptr, nullptr);
    {
        CHThread thread;
        thread.SetThreadName("CRender_1f");
        ASSERT_EQ(thread.Start(), 0u);
        thread.Stop();
        const std::string id = std::to_string(thread.GetThreadId());
        const std::string text = Debugger();
        EXPECT_NE(text.find("(debug0)hbase:<hthread BRIXEL::CHThread::Start LINE:"),
                  std::string::npos)
            << text;
        EXPECT_NE(text.find("> the 'CRender_1f' thread(id=" + id + ") is start\n"),
                  std::string::npos)
            << text;
        EXPECT_NE(text.find("(debug0)hbase:<hthread BRIXEL::CHThread::OnThreadEnd LINE:"),
                  std::string::npos);
        EXPECT_NE(text.find("> the 'CRender_1f' thread(id=" + id + ") is end,exitcode=0\n"),
                  std::string::npos)
            << text;
    }
}
