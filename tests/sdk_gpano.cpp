// Loading the external panorama renderer from the library's own directory. Built once per
// variant of the renderer double, each executable in the double's directory:
//   PANO_VARIANT_DECORATED  entry points under their decorated names
//   PANO_VARIANT_PLAIN      entry points under their plain names only
//   PANO_VARIANT_PARTIAL    decorated names, five entries missing
//   PANO_VARIANT_MISSING    no renderer library at all

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "base/hlog.h"
#include "sdk/quorixapp.h"
#include "support/pano_double.h"

namespace fs = std::filesystem;

namespace {

// The suite is named after the variant so that the four executables' tests stay apart.
#if defined(PANO_VARIANT_MISSING)
#define GPano GPanoMissing
constexpr bool kLibraryPresent = false;
constexpr int kResolved = 0;
#elif defined(PANO_VARIANT_PARTIAL)
#define GPano GPanoPartial
constexpr bool kLibraryPresent = true;
constexpr int kResolved = CGPano::kEntryCount - 5;
#elif defined(PANO_VARIANT_PLAIN)
#define GPano GPanoPlain
constexpr bool kLibraryPresent = true;
constexpr int kResolved = CGPano::kEntryCount;
#else
#define GPano GPanoDecorated
constexpr bool kLibraryPresent = true;
constexpr int kResolved = CGPano::kEntryCount;
#endif

std::string DoublePath() {
    return GetApp().GetModuleDirectory() + "libPanoRenderOGL.so";
}

bool IsLoaded(const std::string& path) {
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (handle == nullptr)
        return false;
    dlclose(handle);
    return true;
}

// The double as the library loaded it; holds a reference only while in scope.
class LoadedDouble {
public:
    explicit LoadedDouble(const std::string& path)
        : handle_(dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD)) {}
    ~LoadedDouble() {
        if (handle_ != nullptr)
            dlclose(handle_);
    }
    LoadedDouble(const LoadedDouble&) = delete;
    LoadedDouble& operator=(const LoadedDouble&) = delete;
    bool IsOpen() const { return handle_ != nullptr; }
    template <typename Fn>
    Fn Get(const char* name) const {
        return reinterpret_cast<Fn>(dlsym(handle_, name));
    }
    std::vector<std::string> Calls() const {
        std::vector<std::string> calls;
        auto count = Get<PanoDoubleCallCountFn>(PANO_DOUBLE_CALL_COUNT);
        auto name = Get<PanoDoubleCallNameFn>(PANO_DOUBLE_CALL_NAME);
        for (int i = 0; i < count(); ++i)
            calls.emplace_back(name(i));
        return calls;
    }

private:
    void* handle_;
};

class TempDir {
public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "sdk_gpano_XXXXXX").string();
        path_ = mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
    }
    ~TempDir() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    std::string File(const char* leaf) const { return (fs::path(path_) / leaf).string(); }
    const std::string& Path() const { return path_; }

private:
    std::string path_;
};

// Every log file of the directory, concatenated.
std::string ReadLogs(const std::string& dir) {
    std::string text;
    for (const auto& entry : fs::directory_iterator(dir)) {
        std::ifstream in(entry.path());
        text.append(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    return text;
}

size_t CountOf(const std::string& text, const std::string& what) {
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++count;
    return count;
}

class GPano : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(logs_.Path().empty());
        // File output only: the failure line is counted in the file.
        BRIXEL::CHLog::Instance().Configure(1, 10, logs_.File("sdk").c_str(), "log");
        BRIXEL::CHLog::Instance().SetOutput(BRIXEL::HLOG_OUT_FILE);
    }
    void TearDown() override {
        BRIXEL::CHLog::Instance().Configure(0, 0, nullptr, nullptr);
        while (GetApp().IsInitialized())
            GetApp().ExitInstance();
    }
    size_t FailureLines() const {
        return CountOf(ReadLogs(logs_.Path()),
                       "(ERROR)quorixsdk:<quorixapp CQuorixApp::GetGPano LINE:");
    }
    std::string FailureText() const { return "> load '" + DoublePath() + "' fail\n"; }
    TempDir logs_;
};

TEST_F(GPano, LoadedBesideTheLibraryOncePerInitialisation) {
    ASSERT_EQ(QUORIX_InitSDK(), QUORIX_OK);
    const std::string path = DoublePath();
    EXPECT_FALSE(IsLoaded(path)) << "loaded before it was needed";

    const CGPano& table = GetApp().GetGPano();
    EXPECT_EQ(table.ResolvedCount(), kResolved);
    EXPECT_EQ(IsLoaded(path), kLibraryPresent);
    const CGPano& again = GetApp().GetGPano();
    EXPECT_EQ(&again, &table);
    EXPECT_EQ(again.ResolvedCount(), kResolved);
    EXPECT_EQ(FailureLines(), kLibraryPresent ? 0u : 1u) << "a failed load is logged once";
    if (!kLibraryPresent) {
        EXPECT_NE(ReadLogs(logs_.Path()).find(FailureText()), std::string::npos)
            << ReadLogs(logs_.Path());
    }

    // The last release unloads it and empties the table; the next initialisation tries again.
    ASSERT_EQ(QUORIX_ReleaseSDK(), QUORIX_OK);
    EXPECT_FALSE(IsLoaded(path)) << "still loaded after the last release";
    EXPECT_EQ(table.ResolvedCount(), 0);

    ASSERT_EQ(QUORIX_InitSDK(), QUORIX_OK);
    EXPECT_EQ(GetApp().GetGPano().ResolvedCount(), kResolved);
    EXPECT_EQ(IsLoaded(path), kLibraryPresent);
    EXPECT_EQ(FailureLines(), kLibraryPresent ? 0u : 2u);
    ASSERT_EQ(QUORIX_ReleaseSDK(), QUORIX_OK);
    EXPECT_FALSE(IsLoaded(path));
}

TEST_F(GPano, OnlyTheLastNestedReleaseUnloads) {
    ASSERT_EQ(QUORIX_InitSDK(), QUORIX_OK);
    ASSERT_EQ(QUORIX_InitSDK(), QUORIX_OK);
    EXPECT_EQ(GetApp().GetGPano().ResolvedCount(), kResolved);
    ASSERT_EQ(QUORIX_ReleaseSDK(), QUORIX_OK);
    EXPECT_EQ(IsLoaded(DoublePath()), kLibraryPresent);
    EXPECT_EQ(GetApp().GetGPano().ResolvedCount(), kResolved);
    EXPECT_EQ(FailureLines(), kLibraryPresent ? 0u : 1u) << "not retried within one initialisation";
    ASSERT_EQ(QUORIX_ReleaseSDK(), QUORIX_OK);
    EXPECT_FALSE(IsLoaded(DoublePath()));
}

// Calls every entry through the table and checks that each reached the function of its own name:
// several entries share a signature, so a crossed wire would otherwise go unnoticed.
TEST_F(GPano, EachEntryReachesItsOwnFunction) {
    if (!kLibraryPresent)
        GTEST_SKIP() << "no renderer library in this variant";
    ASSERT_EQ(QUORIX_InitSDK(), QUORIX_OK);
    const CGPano& t = GetApp().GetGPano();
    LoadedDouble pano(DoublePath());
    ASSERT_TRUE(pano.IsOpen());
    pano.Get<PanoDoubleResetFn>(PANO_DOUBLE_RESET)();

    const uint8_t params[5] = {1, 2, 3, 4, 5};
    uint32_t handle = 0;
    ASSERT_NE(t.CreatePanoRender, nullptr);
    ASSERT_EQ(t.CreatePanoRender(GPanoCreateOptions{{0, 1}}, params, sizeof(params), &handle), 0u);
    ASSERT_NE(handle, 0u);

    // A 4 x 2 picture in padded planes: the renderer copies the visible part during the call.
    uint8_t y[2][8] = {{1, 2, 3, 4, 99, 99, 99, 99}, {5, 6, 7, 8, 99, 99, 99, 99}};
    uint8_t u[1][4] = {{10, 11, 99, 99}};
    uint8_t v[1][4] = {{20, 21, 99, 99}};
    const uint8_t* planes[3] = {&y[0][0], &u[0][0], &v[0][0]};
    const uint32_t strides[3] = {8, 4, 4};
    ViewCamera camera{0.0f, 0.0f, 0.0f};
    uint32_t value = 0, width = 0, height = 0;
    int32_t count = 8;
    uint32_t types[8] = {};
    std::vector<uint8_t> grab(((4 * 24 + 31) / 32) * 4 * 2);
    const float points[2] = {1.5f, 2.5f};
    float out[2] = {};

    struct Entry {
        const char* name;
        bool present;
        std::function<void()> call;
    };
    const std::vector<Entry> entries = {
        {"G_InitPanoRender", t.InitPanoRender != nullptr,
         [&] { t.InitPanoRender(handle, 0x1234); }},
        {"G_GetSupportedPanoTypeList", t.GetSupportedPanoTypeList != nullptr,
         [&] { t.GetSupportedPanoTypeList(handle, types, &count); }},
        {"G_SetViewCamera", t.SetViewCamera != nullptr,
         [&] {
             t.SetViewCamera(handle, ViewCamera{10.0f, 20.0f, 2.0f});
         }},
        {"G_GetViewCamera", t.GetViewCamera != nullptr, [&] { t.GetViewCamera(handle, &camera); }},
        {"G_SetDrawingRegion", t.SetDrawingRegion != nullptr,
         [&] { t.SetDrawingRegion(handle, 1, 2, 3, 4); }},
        {"G_InputFrame", t.InputFrame != nullptr,
         [&] { t.InputFrame(handle, 0, 4, 2, planes, strides); }},
        {"G_GetOriginalPanoSize", t.GetOriginalPanoSize != nullptr,
         [&] { t.GetOriginalPanoSize(handle, &width, &height); }},
        {"G_SwitchPanoType", t.SwitchPanoType != nullptr, [&] { t.SwitchPanoType(handle, 13); }},
        {"G_GetCurrentPanoType", t.GetCurrentPanoType != nullptr,
         [&] { t.GetCurrentPanoType(handle, &value); }},
        {"G_GrabPano", t.GrabPano != nullptr, [&] { t.GrabPano(handle, 4, 2, grab.data()); }},
        {"G_SetOutputCallBack", t.SetOutputCallBack != nullptr,
         [&] { t.SetOutputCallBack(handle, nullptr, 1.0f, nullptr); }},
        {"G_SetPreRenderCallBack", t.SetPreRenderCallBack != nullptr,
         [&] { t.SetPreRenderCallBack(handle, nullptr, nullptr); }},
        {"G_SetRenderCallBack", t.SetRenderCallBack != nullptr,
         [&] { t.SetRenderCallBack(handle, nullptr, nullptr); }},
        {"G_UnProject", t.UnProject != nullptr, [&] { t.UnProject(handle, points, 1, out); }},
        {"G_CalcViewCamera", t.CalcViewCamera != nullptr, [] {}},
        {"G_GetCameraParameters", t.GetCameraParameters != nullptr, [] {}},
        {"G_DestroyPanoRender", t.DestroyPanoRender != nullptr,
         [&] { t.DestroyPanoRender(handle); }},
    };
    const std::vector<std::string> missing =
#if defined(PANO_VARIANT_PARTIAL)
        {"G_GetOriginalPanoSize", "G_GrabPano", "G_SetRenderCallBack", "G_UnProject",
         "G_DestroyPanoRender"};
#else
        {};
#endif
    std::vector<std::string> expectedCalls = {"G_CreatePanoRender"};
    for (const Entry& e : entries) {
        const bool shouldBeMissing =
            std::find(missing.begin(), missing.end(), e.name) != missing.end();
        EXPECT_EQ(e.present, !shouldBeMissing) << e.name;
        if (!e.present)
            continue;
        e.call();
        // The two entries the player never calls are only looked up.
        if (std::strcmp(e.name, "G_CalcViewCamera") != 0 &&
            std::strcmp(e.name, "G_GetCameraParameters") != 0) {
            expectedCalls.push_back(e.name);
        }
    }
    EXPECT_EQ(pano.Calls(), expectedCalls);

    // What went across: options and parameter block, camera, frame, the double's answers.
    uint32_t options[2] = {9, 9};
    const uint8_t* copied = nullptr;
    uint32_t copiedLen = 0;
    pano.Get<PanoDoubleLastCreateFn>(PANO_DOUBLE_LAST_CREATE)(options, &copied, &copiedLen);
    EXPECT_EQ(options[0], 0u);
    EXPECT_EQ(options[1], 1u);
    ASSERT_EQ(copiedLen, sizeof(params));
    EXPECT_EQ(std::memcmp(copied, params, sizeof(params)), 0);
    EXPECT_EQ(camera.pan, 10.0f);
    EXPECT_EQ(camera.tilt, 20.0f);
    EXPECT_EQ(camera.zoom, 2.0f);
    EXPECT_EQ(value, 13u);
    EXPECT_EQ(count, 3);
    const uint8_t* frame = nullptr;
    uint32_t frameWidth = 0, frameHeight = 0;
    ASSERT_TRUE(
        pano.Get<PanoDoubleLastFrameFn>(PANO_DOUBLE_LAST_FRAME)(&frameWidth, &frameHeight, &frame));
    EXPECT_EQ(frameWidth, 4u);
    EXPECT_EQ(frameHeight, 2u);
    const uint8_t expectedFrame[12] = {1, 2, 3, 4, 5, 6, 7, 8, 10, 11, 20, 21};
    EXPECT_EQ(std::memcmp(frame, expectedFrame, sizeof(expectedFrame)), 0);
    if (t.UnProject != nullptr) {
        EXPECT_EQ(out[0], 3.0f);
        EXPECT_EQ(out[1], 3.5f);
    }
    if (t.GetOriginalPanoSize != nullptr) {
        EXPECT_EQ(width, 4u);
        EXPECT_EQ(height, 2u);
    }
    ASSERT_EQ(QUORIX_ReleaseSDK(), QUORIX_OK);
}

#if defined(PANO_VARIANT_DECORATED)
// ---- the library found through a relative search path ----
//
// A host whose library search path has a relative entry ("lib") and that changes its working
// directory before the first call: the renderer must still come from the library's own
// directory, and from nowhere else — not from the new working directory, not from the
// executable's directory (this executable has the double beside it).

extern "C" char** environ;

// Runs in a child process only, started by the test below in a directory whose "lib" holds a copy
// of the shared library; QUORIX_GPANO_CHILD names the directory to change into and the report file.
TEST(GPanoChild, DISABLED_LibraryFoundRelativelyThenDirectoryChanged) {
    const char* into = std::getenv("QUORIX_GPANO_CHILD_CHDIR");
    const char* report = std::getenv("QUORIX_GPANO_CHILD_REPORT");
    const char* logBase = std::getenv("QUORIX_GPANO_CHILD_LOG");
    if (into == nullptr || report == nullptr || logBase == nullptr)
        GTEST_SKIP() << "runs as a child";
    // Found through LD_LIBRARY_PATH=lib, relative to the directory the child started in.
    void* sdk = dlopen(QUORIX_SDK_SONAME, RTLD_NOW | RTLD_LOCAL);
    if (sdk == nullptr)
        std::_Exit(2);
    if (chdir(into) != 0)
        std::_Exit(3);
    using InitFn = uint32_t (*)();
    using LogFn = void (*)(uint32_t, uint32_t, const char*, const char*);
    using GetPortFn = uint32_t (*)(uint16_t*);
    using OpenStreamFn =
        uint32_t (*)(uint16_t, int32_t, const void*, uint32_t, const void*, uint32_t);
    auto setLog = reinterpret_cast<LogFn>(dlsym(sdk, "QUORIX_SetLogAttribute"));
    auto init = reinterpret_cast<InitFn>(dlsym(sdk, "QUORIX_InitSDK"));
    auto getPort = reinterpret_cast<GetPortFn>(dlsym(sdk, "QUORIX_GetPort"));
    auto openStream = reinterpret_cast<OpenStreamFn>(dlsym(sdk, "QUORIX_OpenStream"));
    if (!setLog || !init || !getPort || !openStream)
        std::_Exit(4);
    setLog(1, 0, logBase, "log");
    uint16_t port = 0;
    if (init() != QUORIX_OK || getPort(&port) != QUORIX_OK)
        std::_Exit(5);
    const uint32_t opened = openStream(port, QUORIX_MODEL_EXTERNAL, nullptr, 0, nullptr, 0);
    // Every renderer library in the process, by the path it was mapped from.
    std::ifstream maps("/proc/self/maps");
    std::ofstream out(report);
    out << "opened " << opened << "\n";
    for (std::string line; std::getline(maps, line);) {
        const size_t at = line.find('/');
        if (line.find("libPanoRenderOGL.so") != std::string::npos && at != std::string::npos)
            out << "mapped " << line.substr(at) << "\n";
    }
    out.close();
    std::_Exit(0);
}

struct ChildReport {
    bool ran = false;
    std::vector<std::string> mapped;  // unique paths
    std::string log;
};

// Starts the child in `start` with LD_LIBRARY_PATH=lib; it changes into `into` before the first
// call.
ChildReport RunRelativeChild(const TempDir& scratch, const std::string& start,
                             const std::string& into) {
    ChildReport result;
    const std::string report = scratch.File("report.txt");
    const std::string logs = scratch.File("child-logs");
    fs::remove(report);
    fs::remove_all(logs);
    fs::create_directories(logs);
    const std::string self = fs::read_symlink("/proc/self/exe").string();
    std::vector<std::string> args = {
        self, "--gtest_filter=GPanoChild.DISABLED_LibraryFoundRelativelyThenDirectoryChanged",
        "--gtest_also_run_disabled_tests"};
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        if (std::strncmp(*e, "LD_LIBRARY_PATH=", 16) != 0)
            env.emplace_back(*e);
    }
    env.push_back("LD_LIBRARY_PATH=lib");
    env.push_back("QUORIX_GPANO_CHILD_CHDIR=" + into);
    env.push_back("QUORIX_GPANO_CHILD_REPORT=" + report);
    env.push_back("QUORIX_GPANO_CHILD_LOG=" + logs + "/sdk");
    std::vector<char*> argv, envp;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, start.c_str());
    pid_t pid = 0;
    const int spawned =
        posix_spawn(&pid, self.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        return result;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
    std::ifstream in(report);
    for (std::string line; std::getline(in, line);) {
        result.ran = true;
        if (line.rfind("mapped ", 0) == 0) {
            const std::string path = line.substr(7);
            if (std::find(result.mapped.begin(), result.mapped.end(), path) == result.mapped.end())
                result.mapped.push_back(path);
        }
    }
    result.log = ReadLogs(logs);
    return result;
}

TEST(GPanoRelative, OnlyTheLibrarysOwnDirectorySuppliesTheRenderer) {
    TempDir scratch;
    ASSERT_FALSE(scratch.Path().empty());
    const std::string doubleBesideExe =
        (fs::path(fs::read_symlink("/proc/self/exe")).parent_path() / "libPanoRenderOGL.so")
            .string();
    ASSERT_TRUE(fs::exists(doubleBesideExe));
    const fs::path top = fs::canonical(scratch.Path());
    // The library in top/lib; the host starts in top.
    fs::create_directories(top / "lib");
    fs::copy_file(QUORIX_SDK_FILE, top / "lib" / QUORIX_SDK_SONAME);
    // A directory that looks like the start directory: a "lib" with the library and a renderer,
    // and a renderer of its own.
    const fs::path lookalike = top / "lookalike";
    fs::create_directories(lookalike / "lib");
    fs::copy_file(QUORIX_SDK_FILE, lookalike / "lib" / QUORIX_SDK_SONAME);
    fs::copy_file(doubleBesideExe, lookalike / "lib" / "libPanoRenderOGL.so");
    fs::copy_file(doubleBesideExe, lookalike / "libPanoRenderOGL.so");
    const fs::path empty = top / "empty";
    fs::create_directories(empty);

    // No renderer beside the library: none loads, whether the new directory has look-alikes or
    // nothing (the executable's directory then has one).
    for (const fs::path& into : {lookalike, empty}) {
        SCOPED_TRACE(into.string());
        const ChildReport report = RunRelativeChild(scratch, top.string(), into.string());
        ASSERT_TRUE(report.ran);
        EXPECT_TRUE(report.mapped.empty()) << "loaded " << report.mapped.front();
        const std::string failed =
            "load '" + (top / "lib" / "libPanoRenderOGL.so").string() + "' fail";
        EXPECT_NE(report.log.find(failed), std::string::npos) << report.log;
    }

    // With a renderer beside the library, that one loads, and the log says where it came from.
    fs::copy_file(doubleBesideExe, top / "lib" / "libPanoRenderOGL.so");
    const ChildReport report = RunRelativeChild(scratch, top.string(), lookalike.string());
    ASSERT_TRUE(report.ran);
    const std::string beside = (top / "lib" / "libPanoRenderOGL.so").string();
    EXPECT_EQ(report.mapped, std::vector<std::string>{beside});
    EXPECT_NE(report.log.find("loaded '" + beside + "'"), std::string::npos) << report.log;
}
#endif  // PANO_VARIANT_DECORATED

}  // namespace
