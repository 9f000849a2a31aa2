#include "sdk/quorixapp.h"

#include <link.h>
#include <unistd.h>

#include <GL/gl.h>

#include <cstdlib>
#include <string>

#include "base/hlog.h"
#include "base/hmodule.h"
#include "ddraw/display.h"
#include "panorama/hglx.h"
#include "panorama/render.h"
#include "platform/profile.h"

#include <utility>

namespace {
constexpr const char* kSource = "quorixapp";
constexpr const char* kModule = "quorixsdk";
constexpr const char* kConfigSection = "DECODER";
constexpr const char* kRenderSection = "RENDER";

// Mesa's CPU drivers, by the names their GL_RENDERER strings carry.
bool IsSoftwareRasteriser(const char* renderer) {
    if (renderer == nullptr)
        return false;
    const std::string name(renderer);
    for (const char* cpu : {"llvmpipe", "softpipe", "swrast"}) {
        if (name.find(cpu) != std::string::npos)
            return true;
    }
    return false;
}

bool SameParam(const CSysParam& a, const CSysParam& b) {
    return a.h264Module == b.h264Module && a.h265Module == b.h265Module &&
           a.mjpegModule == b.mjpegModule && a.hisiMaxWidth == b.hisiMaxWidth &&
           a.cpuDewarp == b.cpuDewarp && a.configDirectory == b.configDirectory &&
           a.configFile == b.configFile;
}
}  // namespace

namespace {

std::atomic<bool> g_appAlive{false};
// The loader's count of objects ever loaded when the exit hook was last registered.
std::atomic<unsigned long long> g_hookLoadCount{0};

int ReadLoadCount(dl_phdr_info* info, size_t, void* out) {
    *static_cast<unsigned long long*>(out) = info->dlpi_adds;
    return 1;  // the count is the same in every entry
}

void EndPortsAtExit() {
    if (g_appAlive.load())
        GetApp().EndPorts();
}

// The thread-local objects of the thread that calls exit() are destroyed before any exit
// handler runs, so this one ends the ports ahead even of the handlers the GL driver and its
// compiler register lazily, from the render threads, long after the library was loaded. Only
// the process's main thread acts: its objects go when main returns (or calls exit()); another
// thread's go when that thread ends, which is no reason to end the ports.
struct ExitSentinel {
    bool armed = false;
    ~ExitSentinel() {
        if (armed && gettid() == getpid())
            EndPortsAtExit();
    }
};
thread_local ExitSentinel t_exitSentinel;

// A host that links the library loads it on its main thread, before main.
__attribute__((constructor)) void ArmExitSentinelAtLoad() {
    t_exitSentinel.armed = true;
}

}  // namespace

CQuorixApp& GetApp() {
    // Built without a lock: the host makes its first call before it calls from several threads.
    static CQuorixApp app;
    return app;
}

void ArmExitSentinel() {
    t_exitSentinel.armed = true;
}

void ArmExitHandler() {
    ArmExitSentinel();
    // The handler stays as the fallback for exit() called from another thread. Each library load
    // since the last registration may have brought exit handlers that must run after ours; the
    // registrations are bounded, a host that loads libraries without end gets the last one.
    constexpr unsigned kMaxRegistrations = 64;
    static std::atomic<unsigned> registrations{0};
    unsigned long long loaded = 0;
    dl_iterate_phdr(&ReadLoadCount, &loaded);
    unsigned long long armed = g_hookLoadCount.load();
    if (loaded == armed || !g_hookLoadCount.compare_exchange_strong(armed, loaded))
        return;
    if (registrations.fetch_add(1) < kMaxRegistrations)
        std::atexit(&EndPortsAtExit);
}

CQuorixApp::CQuorixApp() {
    // Touch the logger first so that it is built before this object and therefore destroyed
    // after it: ports still log while they shut down at process exit.
    BRIXEL::CHLog::Instance();
    m_paramSnapshots.push_back(std::make_unique<const CSysParam>());
    m_sysParam.store(m_paramSnapshots.back().get(), std::memory_order_release);
    for (uint16_t port = 0; port < MAX_PORTS; ++port) {
        m_players[port] = std::make_unique<CPlayer>(port, *this);
    }
    g_appAlive.store(true);
}

void CQuorixApp::EndPorts() {
    for (auto& player : m_players) {
        if (player)
            player->ResetPort(false);
    }
}

CQuorixApp::~CQuorixApp() {
    g_appAlive.store(false);
    // Ports first: one that closes an external renderer still needs its library loaded.
    for (auto& player : m_players) {
        player.reset();
    }
    UnloadPano();
}

uint32_t CQuorixApp::InitInstance() {
    if (m_initCount.Increment() != 1) {
        return QUORIX_OK;
    }
    // Absolute, resolved when the library was loaded; empty when it could not be, and then no
    // file is looked for beside the library at all.
    std::string directory = BRIXEL::GetModuleDirectory();
    if (!directory.empty() && directory.back() != '/') {
        directory.push_back('/');
    }
    // Looked up anew, but stored only when it differs (it never does once the library is
    // loaded): ports may be reading it for the external renderer while this runs.
    if (directory != m_moduleDirectory) {
        m_moduleDirectory = std::move(directory);
    }
    ReadConfiguration();
    // The renderer's shader text, which every OpenGL renderer of a port compiles.
    SPHERA::GlobalInit();
    HDD::EnumMonitors();
    if (ProbeOpenGL()) {
        HLOG(kSource, kModule, BRIXEL::HLOG_INFO, "CQuorixApp::InitInstance", "Support Opengl!");
        // A software rasteriser draws the sphere meshes several times slower than the CPU
        // de-warp of the software display does the same views.
        const bool cpu = GetSysParam().cpuDewarp != 0 && ProbeSoftwareRasteriser();
        SetCpuDewarpByDefault(cpu);
        if (cpu) {
            HLOG(kSource, kModule, BRIXEL::HLOG_INFO, "CQuorixApp::InitInstance",
                 "OpenGL is a software rasteriser: ports de-warp on the CPU");
        }
    } else {
        SetCpuDewarpByDefault(false);
        m_directDraw.store(true);
        HLOG(kSource, kModule, BRIXEL::HLOG_INFO, "CQuorixApp::InitInstance",
             "Not Support Opengl!");
    }
    m_initialized.store(true, std::memory_order_release);
    return QUORIX_OK;
}

uint32_t CQuorixApp::ExitInstance() {
    if (m_initCount.Decrement() != 0) {
        return QUORIX_OK;
    }
    SPHERA::GlobalUnInit();
    // Once released, the host can no longer stop a recording: each is finished now, with its
    // index, instead of staying open until the process ends (or never, if it is killed).
    for (const auto& player : m_players) {
        player->StopLocalRecord();
    }
    // Nor does a pulled camera go on feeding a port the host can no longer reach.
    for (const auto& player : m_players) {
        player->StopStreamSource();
    }
    // A port still open on the external renderer keeps calling into it (its stream threads
    // show pictures through it, its close destroys the handle): the library stays loaded until
    // the application itself ends, after its ports.
    bool panoInUse = false;
    for (const auto& player : m_players) {
        panoInUse = panoInUse || player->UsesExternalRenderer();
    }
    if (!panoInUse) {
        UnloadPano();
        BRIXEL::CHAutoLock lock(&m_panoLock);
        m_panoTried = false;
    }
    m_initialized.store(false, std::memory_order_release);
    return QUORIX_OK;
}

void CQuorixApp::ReadConfiguration() {
    CSysParam param;
    param.configDirectory = m_moduleDirectory;
    param.configFile = m_moduleDirectory + kConfigFileName;
    const char* file = param.configFile.c_str();
    param.h264Module = PlatformGetProfileInt(kConfigSection, "H264", 0, file);
    param.h265Module = PlatformGetProfileInt(kConfigSection, "H265", 0, file);
    param.mjpegModule = PlatformGetProfileInt(kConfigSection, "MJPEG", 0, file);
    param.hisiMaxWidth = PlatformGetProfileInt(kConfigSection, "HISI_MAX_WIDTH",
                                               CSysParam::kDefaultHisiMaxWidth, file);
    param.cpuDewarp = PlatformGetProfileInt(kRenderSection, "CPU_DEWARP", 1, file);
    const char* forced = std::getenv("QUORIX_CPU_DEWARP");
    if (forced != nullptr && (forced[0] == '0' || forced[0] == '1') && forced[1] == '\0')
        param.cpuDewarp = forced[0] - '0';
    // Published, never rewritten in place: ports read the configuration from their own threads
    // (decoder choice) at any time, also while the host initialises again.
    BRIXEL::CHAutoLock lock(&m_paramLock);
    for (const auto& known : m_paramSnapshots) {
        if (SameParam(*known, param)) {
            m_sysParam.store(known.get(), std::memory_order_release);
            return;
        }
    }
    m_paramSnapshots.push_back(std::make_unique<const CSysParam>(std::move(param)));
    m_sysParam.store(m_paramSnapshots.back().get(), std::memory_order_release);
}

bool CQuorixApp::ProbeOpenGL() {
    // A temporary context without a window: a machine without a display (EGL surfaceless) can
    // still render off-screen and read back.
    return SPHERA::CheckSupport(0, nullptr);
}

bool CQuorixApp::ProbeSoftwareRasteriser() {
    SPHERA::CHGlx glx;
    if (glx.Init(0, nullptr, true) != QUORIX_OK || glx.MakeCurrent() != QUORIX_OK) {
        glx.UnInit();
        return false;
    }
    const auto* name = reinterpret_cast<const char*>(glGetString(GL_RENDERER));
    const bool software = IsSoftwareRasteriser(name);
    glx.UnInit();
    return software;
}

CPlayer* CQuorixApp::GetPlayer(uint16_t port) {
    return port < MAX_PORTS ? m_players[port].get() : nullptr;
}

uint32_t CQuorixApp::AllocatePort(uint16_t* port) {
    BRIXEL::CHAutoLock lock(&m_portLock);
    for (uint16_t candidate = 0; candidate < MAX_PORTS; ++candidate) {
        CPlayer& player = *m_players[candidate];
        if (!player.IsInUse()) {
            player.ResetPort(true);
            *port = candidate;
            return QUORIX_OK;
        }
    }
    return QUORIX_E_NO_FREE_PORT;
}

void CQuorixApp::FreePort(CPlayer& player) {
    for (auto& other : m_players) {
        other->DetachFrom(&player);
    }
    player.ResetPort(false);
}

void CQuorixApp::SetRenderMode(uint32_t mode) {
    // Only ever from OpenGL to the software display, never back.
    if (mode != 0) {
        m_directDraw.store(true);
    }
}

const CGPano& CQuorixApp::GetGPano() {
    BRIXEL::CHAutoLock lock(&m_panoLock);
    if (m_panoTried) {
        return m_gpano;
    }
    // Marked before loading: a library that fails to load is not tried again (nor logged again)
    // until the next release and initialisation.
    m_panoTried = true;
    const std::string path = m_moduleDirectory + kPanoLibraryName;
    // Without the library's own absolute directory (never initialised, or not resolvable) a
    // bare or relative name would make the loader search the system paths or the working
    // directory: only the copy beside this library is ever used.
    if (m_moduleDirectory.empty() || m_moduleDirectory.front() != '/' || !m_panoModule.Open(path)) {
        HLOG(kSource, kModule, BRIXEL::HLOG_ERROR, "CQuorixApp::GetGPano", "load '%s' fail",
             path.c_str());
        return m_gpano;
    }
    HLOG(kSource, kModule, BRIXEL::HLOG_INFO, "CQuorixApp::GetGPano", "loaded '%s'", path.c_str());
    m_gpano.Resolve([this](const char* name) { return m_panoModule.Symbol(name); });
    return m_gpano;
}

void CQuorixApp::UnloadPano() {
    BRIXEL::CHAutoLock lock(&m_panoLock);
    if (m_panoModule.IsOpen()) {
        m_gpano.Clear();
        m_panoModule.Close();
    }
}
