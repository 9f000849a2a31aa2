// The inside of the SDK frame: the configuration reader, the application object's configuration,
// render-mode choice and port table. Linked statically, so "the library's own directory" is the
// directory of this executable.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "base/hlog.h"
#include "ddraw/monitor.h"
#include "platform/profile.h"
#include "sdk/quorixapp.h"
#include "support/special_files.h"

namespace fs = std::filesystem;

namespace {

class TempDir {
public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "sdk_app_XXXXXX").string();
        path_ = mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
    }
    ~TempDir() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    std::string File(const std::string& leaf) const { return (fs::path(path_) / leaf).string(); }

private:
    std::string path_;
};

void WriteText(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

// ---------------------------------------------------------------------------------------------

TEST(SdkProfile, ReadsTheLeadingIntegerOfAKey) {
    struct Case {
        const char* what;
        const char* file;  // null: no file at all
        const char* section;
        const char* key;
        int32_t expected;  // the default is always -99
    };
    const std::vector<Case> cases = {
        {"missing file", nullptr, "DECODER", "H264", -99},
        {"plain value", "[DECODER]\nH264=2\n", "DECODER", "H264", 2},
        {"names compare without case", "[decoder]\nh264=3\n", "DECODER", "H264", 3},
        {"blanks around", "[DECODER]\n  H264  =   4   \n", "DECODER", "H264", 4},
        {"CRLF lines", "[DECODER]\r\nH265=5\r\nMJPEG=6\r\n", "DECODER", "MJPEG", 6},
        {"no final newline", "[DECODER]\nH264=7", "DECODER", "H264", 7},
        {"trailing garbage", "[DECODER]\nH264=12abc\n", "DECODER", "H264", 12},
        {"inline comment", "[DECODER]\nH264=8 ; eight\n", "DECODER", "H264", 8},
        {"hex is decimal zero", "[DECODER]\nH264=0x10\n", "DECODER", "H264", 0},
        {"negative", "[DECODER]\nHISI_MAX_WIDTH=-5\n", "DECODER", "HISI_MAX_WIDTH", -5},
        {"explicit plus", "[DECODER]\nH264=+9\n", "DECODER", "H264", 9},
        {"not a number", "[DECODER]\nH264=abc\n", "DECODER", "H264", -99},
        {"empty value", "[DECODER]\nH264=\n", "DECODER", "H264", -99},
        {"sign only", "[DECODER]\nH264=-\n", "DECODER", "H264", -99},
        {"huge saturates", "[DECODER]\nH264=99999999999999999999\n", "DECODER", "H264", INT32_MAX},
        {"huge negative saturates", "[DECODER]\nH264=-99999999999999999999\n", "DECODER", "H264",
         INT32_MIN},
        {"int32 limit", "[DECODER]\nH264=2147483647\n", "DECODER", "H264", INT32_MAX},
        {"other section", "[ENCODER]\nH264=1\n", "DECODER", "H264", -99},
        {"key outside any section", "H264=1\n[DECODER]\n", "DECODER", "H264", -99},
        {"first occurrence wins", "[DECODER]\nH264=1\nH264=2\n", "DECODER", "H264", 1},
        {"comment lines", "; note\n# note\n[DECODER]\n;H264=1\nH264=4\n", "DECODER", "H264", 4},
        {"byte order mark", "\xEF\xBB\xBF[DECODER]\nH264=6\n", "DECODER", "H264", 6},
        {"binary junk", "\x01\x02\xFF[\x7F\nH264=\x80\n", "DECODER", "H264", -99},
    };
    TempDir dir;
    for (size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        const std::string path = dir.File("case" + std::to_string(i) + ".ini");
        if (c.file != nullptr)
            WriteText(path, c.file);
        EXPECT_EQ(PlatformGetProfileInt(c.section, c.key, -99, path.c_str()), c.expected) << c.what;
    }
    // A line longer than the reader's line buffer must not derail the rest of the file.
    const std::string longLine = "[DECODER]\nJUNK=" + std::string(5000, 'x') + "\nH264=3\n";
    WriteText(dir.File("long.ini"), longLine);
    EXPECT_EQ(PlatformGetProfileInt("DECODER", "H264", -99, dir.File("long.ini").c_str()), 3);

    EXPECT_EQ(PlatformGetProfileInt("DECODER", "H264", -99, dir.File("").c_str()), -99)
        << "a directory";
    EXPECT_EQ(PlatformGetProfileInt("DECODER", "H264", -99, nullptr), -99);
    EXPECT_EQ(PlatformGetProfileInt(nullptr, "H264", -99, dir.File("case1.ini").c_str()), -99);
    EXPECT_EQ(PlatformGetProfileInt("DECODER", nullptr, -99, dir.File("case1.ini").c_str()), -99);
}

// A pipe in place of the configuration file is no configuration: the default, at once.
TEST(SdkProfile, APipeIsNoConfigurationFile) {
    TempDir dir;
    const std::string fifo = dir.File("pipe.ini");
    ASSERT_TRUE(fifotest::MakeFifo(fifo));
    const fifotest::Outcome read = fifotest::CallOnFifo(fifo, [&] {
        return static_cast<uint32_t>(PlatformGetProfileInt("DECODER", "H264", -99, fifo.c_str()));
    });
    EXPECT_TRUE(read.returned) << "blocked on a pipe";
    EXPECT_EQ(static_cast<uint32_t>(-99), read.result);
}

// ---------------------------------------------------------------------------------------------

std::string ExecutableDirectory() {
    return fs::canonical("/proc/self/exe").parent_path().string() + "/";
}

TEST(SdkConfig, InitReadsQuorixsdkIniBesideTheLibraryEveryTime) {
    const std::string iniPath = ExecutableDirectory() + "quorixsdk.ini";
    struct Case {
        const char* what;
        const char* file;  // null: no file
        int32_t h264, h265, mjpeg, hisiMaxWidth;
    };
    const std::vector<Case> cases = {
        {"no file", nullptr, 0, 0, 0, 8192},
        {"all keys", "[DECODER]\nH264=1\nH265=2\nMJPEG=6\nHISI_MAX_WIDTH=4096\n", 1, 2, 6, 4096},
        {"zero width switches the test off", "[DECODER]\nHISI_MAX_WIDTH=0\n", 0, 0, 0, 0},
        {"garbage falls back key by key",
         "[DECODER]\nH264=two\nH265=2\nMJPEG=\nHISI_MAX_WIDTH=wide\n", 0, 2, 0, 8192},
        {"CRLF and lower case", "[decoder]\r\nh265=1\r\nhisi_max_width=1920\r\n", 0, 1, 0, 1920},
        {"huge width", "[DECODER]\nHISI_MAX_WIDTH=123456789012\n", 0, 0, 0, INT32_MAX},
        {"wrong section", "[DECODERS]\nH264=1\n", 0, 0, 0, 8192},
    };
    for (const Case& c : cases) {
        std::error_code ignored;
        fs::remove(iniPath, ignored);
        if (c.file != nullptr)
            WriteText(iniPath, c.file);
        ASSERT_EQ(GetApp().InitInstance(), QUORIX_OK);
        const CSysParam& param = GetApp().GetSysParam();
        EXPECT_EQ(param.h264Module, c.h264) << c.what;
        EXPECT_EQ(param.h265Module, c.h265) << c.what;
        EXPECT_EQ(param.mjpegModule, c.mjpeg) << c.what;
        EXPECT_EQ(param.hisiMaxWidth, c.hisiMaxWidth) << c.what;
        EXPECT_EQ(param.configDirectory, GetApp().GetModuleDirectory());
        EXPECT_EQ(param.configFile, GetApp().GetModuleDirectory() + "quorixsdk.ini");
        // A nested initialisation does not read the file again.
        WriteText(iniPath, "[DECODER]\nH264=5\n");
        ASSERT_EQ(GetApp().InitInstance(), QUORIX_OK);
        EXPECT_EQ(GetApp().GetSysParam().h264Module, c.h264) << c.what;
        ASSERT_EQ(GetApp().ExitInstance(), QUORIX_OK);
        ASSERT_EQ(GetApp().ExitInstance(), QUORIX_OK);
        ASSERT_FALSE(GetApp().IsInitialized());
    }
    std::error_code ignored;
    fs::remove(iniPath, ignored);
}

TEST(SdkConfig, ModuleDirectoryIsTheLibrarysOwnWithATrailingSlash) {
    CQuorixApp app;
    EXPECT_TRUE(app.GetModuleDirectory().empty()) << "known only after initialisation";
    ASSERT_EQ(app.InitInstance(), QUORIX_OK);
    const std::string dir = app.GetModuleDirectory();
    ASSERT_FALSE(dir.empty());
    EXPECT_EQ(dir.back(), '/');
    EXPECT_TRUE(fs::equivalent(dir, ExecutableDirectory())) << dir;
    app.ExitInstance();
}

// ---------------------------------------------------------------------------------------------

class ProbedApp : public CQuorixApp {
public:
    explicit ProbedApp(bool openGL) : openGL_(openGL) {}

protected:
    bool ProbeOpenGL() override { return openGL_; }

private:
    bool openGL_;
};

// Ports read the configuration from their own threads (decoder choice) while the host may
// release and initialise again, which reads the file anew: a reader must always see one whole
// configuration, never a mix of an old and a new one.
TEST(SdkConfig, ReadersSeeWholeConfigurationsWhileInitReadsTheFileAgain) {
    const std::string iniPath = ExecutableDirectory() + "quorixsdk.ini";
    ProbedApp app(false);
    std::atomic<bool> done{false};
    std::atomic<int> mixed{0};
    std::atomic<int> reads{0};
    std::thread reader([&] {
        while (!done.load()) {
            const CSysParam& p = app.GetSysParam();
            const int32_t v = p.h264Module;
            // Written as {v, v, v, 1000 * v}, or the defaults when no file is there.
            const bool whole =
                (v == 0 && p.h265Module == 0 && p.mjpegModule == 0 && p.hisiMaxWidth == 8192) ||
                (p.h265Module == v && p.mjpegModule == v && p.hisiMaxWidth == 1000 * v);
            if (!whole)
                mixed.fetch_add(1);
            reads.fetch_add(1);
        }
    });
    for (int cycle = 0; cycle < 200; ++cycle) {
        const int v = 1 + cycle % 3;
        WriteText(iniPath, "[DECODER]\nH264=" + std::to_string(v) + "\nH265=" + std::to_string(v) +
                               "\nMJPEG=" + std::to_string(v) +
                               "\nHISI_MAX_WIDTH=" + std::to_string(1000 * v) + "\n");
        ASSERT_EQ(app.InitInstance(), QUORIX_OK);
        EXPECT_EQ(app.GetSysParam().h264Module, v);
        EXPECT_EQ(app.GetSysParam().hisiMaxWidth, 1000 * v);
        ASSERT_EQ(app.ExitInstance(), QUORIX_OK);
    }
    done.store(true);
    reader.join();
    EXPECT_EQ(mixed.load(), 0) << "of " << reads.load() << " reads";
    std::error_code ignored;
    fs::remove(iniPath, ignored);
}

TEST(SdkApp, RenderModeOnlyEverMovesToTheSoftwareDisplay) {
    struct Case {
        const char* what;
        std::vector<uint32_t> modesBeforeInit;
        bool openGLWorks;
        std::vector<uint32_t> modesAfterInit;
        bool directDraw;
    };
    const std::vector<Case> cases = {
        {"OpenGL works, nothing asked", {}, true, {}, false},
        {"OpenGL works, zero asked", {0}, true, {0}, false},
        {"asked before init", {1}, true, {}, true},
        {"any non-zero value", {}, true, {0xFFFFFFFFu}, true},
        {"no way back", {}, true, {2, 0}, true},
        {"no OpenGL", {}, false, {}, true},
        {"no OpenGL, zero asked", {0}, false, {0}, true},
    };
    for (const Case& c : cases) {
        ProbedApp app(c.openGLWorks);
        EXPECT_FALSE(app.IsDirectDrawMode()) << c.what;
        for (uint32_t mode : c.modesBeforeInit)
            app.SetRenderMode(mode);
        ASSERT_EQ(app.InitInstance(), QUORIX_OK);
        for (uint32_t mode : c.modesAfterInit)
            app.SetRenderMode(mode);
        EXPECT_EQ(app.IsDirectDrawMode(), c.directDraw) << c.what;
        // A release leaves the choice alone.
        app.ExitInstance();
        EXPECT_EQ(app.IsDirectDrawMode(), c.directDraw) << c.what;
    }
}

TEST(SdkApp, InitLogsTheRendererChoiceOncePerInitialisation) {
    BRIXEL::CHLog::Instance().Configure(1, 20, nullptr, nullptr);
    for (bool openGL : {true, false}) {
        ProbedApp app(openGL);
        ::testing::internal::CaptureStderr();
        app.InitInstance();
        app.InitInstance();  // nested: no second line
        const std::string err = ::testing::internal::GetCapturedStderr();
        app.ExitInstance();
        app.ExitInstance();
        const std::string line = "(INFO)quorixsdk:<quorixapp CQuorixApp::InitInstance LINE:";
        const std::string text = openGL ? "> Support Opengl!\n" : "> Not Support Opengl!\n";
        EXPECT_NE(err.find(line), std::string::npos) << err;
        const size_t first = err.find(text);
        EXPECT_NE(first, std::string::npos) << err;
        EXPECT_EQ(err.find(text, first + 1), std::string::npos) << "logged twice: " << err;
    }
    BRIXEL::CHLog::Instance().Configure(0, 0, nullptr, nullptr);
}

TEST(SdkApp, PortTableAndLibraryWideSettings) {
    CQuorixApp app;
    for (uint16_t port = 0; port < CQuorixApp::MAX_PORTS; ++port) {
        ASSERT_NE(app.GetPlayer(port), nullptr);
        EXPECT_EQ(app.GetPlayer(port)->GetPortNumber(), port);
        EXPECT_FALSE(app.GetPlayer(port)->IsInUse());
        EXPECT_EQ(app.GetPlayer(port)->GetStatus(), CPlayer::STATUS_NONE);
    }
    EXPECT_EQ(app.GetPlayer(CQuorixApp::MAX_PORTS), nullptr);
    EXPECT_EQ(app.GetPlayer(0xFFFF), nullptr);
    EXPECT_EQ(app.GetJpegQuality(), 90);
    EXPECT_EQ(app.GetAudioPort(), QUORIX_NO_AUDIO_PORT);

    // The frame-number check is on for a new port and survives a free.
    CPlayer& player = *app.GetPlayer(7);
    EXPECT_TRUE(player.GetCheckFrameNum());
    player.ResetPort(true);
    player.SetCheckFrameNum(false);
    player.ResetPort(false);
    EXPECT_FALSE(player.IsInUse());
    EXPECT_FALSE(player.GetCheckFrameNum());

    // Allocation goes through the port-table search, lowest first.
    uint16_t port = 0xFFFF;
    ASSERT_EQ(app.AllocatePort(&port), QUORIX_OK);
    EXPECT_EQ(port, 0);
    EXPECT_TRUE(app.GetPlayer(0)->IsInUse());
}

TEST(SdkApp, JpegQualityIsLibraryWideAndNeedsInit) {
    ASSERT_FALSE(GetApp().IsInitialized());
    EXPECT_EQ(QUORIX_SetJpegQuality(50), QUORIX_E_NOT_INIT);
    EXPECT_EQ(GetApp().GetJpegQuality(), 90);
    ASSERT_EQ(QUORIX_InitSDK(), QUORIX_OK);
    EXPECT_EQ(QUORIX_SetJpegQuality(50), QUORIX_OK);
    EXPECT_EQ(GetApp().GetJpegQuality(), 50);
    EXPECT_EQ(QUORIX_SetJpegQuality(500), QUORIX_OK) << "stored without a range check";
    EXPECT_EQ(GetApp().GetJpegQuality(), 500);
    ASSERT_EQ(QUORIX_ReleaseSDK(), QUORIX_OK);
    EXPECT_EQ(GetApp().GetJpegQuality(), 500) << "a release keeps it";
    ASSERT_EQ(QUORIX_InitSDK(), QUORIX_OK);
    QUORIX_SetJpegQuality(90);
    ASSERT_EQ(QUORIX_ReleaseSDK(), QUORIX_OK);
}

// A host that initialised once without an X display and later with one: the later
// initialisation finds the monitors of the display it now has. Nested ones leave the list alone.
TEST(SdkApp, EachFirstInitialisationEnumeratesTheMonitorsAnew) {
    const char* display = std::getenv("QUORIX_TEST_DISPLAY");
    if (display == nullptr || display[0] == '\0')
        GTEST_SKIP() << "QUORIX_TEST_DISPLAY is not set";
    const char* previous = std::getenv("DISPLAY");
    const std::string saved = previous != nullptr ? previous : "";
    HDD::CMonitorMgr& monitors = HDD::CMonitorMgr::Instance();
    ASSERT_FALSE(GetApp().IsInitialized());

    unsetenv("DISPLAY");
    ASSERT_EQ(QUORIX_InitSDK(), QUORIX_OK);
    EXPECT_EQ(monitors.GetCount(), 0u) << "no display, no monitor";
    ASSERT_EQ(QUORIX_ReleaseSDK(), QUORIX_OK);

    setenv("DISPLAY", display, 1);
    ASSERT_EQ(QUORIX_InitSDK(), QUORIX_OK);
    const uint32_t found = monitors.GetCount();
    EXPECT_GE(found, 1u) << "the display's monitors were not looked for";
    ASSERT_NE(monitors.GetEntry(0), nullptr);
    EXPECT_EQ(monitors.GetEntry(0)->present, found >= 1 ? 1u : 0u);

    // Nested: the count goes 1 -> 2 -> 1, nothing is enumerated, even without the display.
    unsetenv("DISPLAY");
    ASSERT_EQ(QUORIX_InitSDK(), QUORIX_OK);
    EXPECT_EQ(monitors.GetCount(), found);
    ASSERT_EQ(QUORIX_ReleaseSDK(), QUORIX_OK);
    ASSERT_EQ(QUORIX_ReleaseSDK(), QUORIX_OK);

    if (previous != nullptr) {
        setenv("DISPLAY", saved.c_str(), 1);
    } else {
        unsetenv("DISPLAY");
    }
}

}  // namespace
