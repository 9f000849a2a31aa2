#pragma once
// The one application object of the library: the port table, the library state, the
// configuration and the external renderer table.

#include <quorixsdk.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/hatomic.h"
#include "base/hlock.h"
#include "media/waveout.h"
#include "platform/dynlib.h"
#include "player/gpano.h"
#include "player/player.h"
#include "player/playerhost.h"
#include "player/sysparam.h"

class CQuorixApp : public IPlayerHost {
public:
    static constexpr uint16_t MAX_PORTS = QUORIX_MAX_PORTS;
    static constexpr uint16_t MAX_REGIONS = QUORIX_MAX_REGIONS;
    static constexpr uint16_t kDefaultJpegQuality = 90;
    static constexpr const char* kConfigFileName = "quorixsdk.ini";
    static constexpr const char* kPanoLibraryName = "libPanoRenderOGL.so";

    CQuorixApp();
    virtual ~CQuorixApp();
    CQuorixApp(const CQuorixApp&) = delete;
    CQuorixApp& operator=(const CQuorixApp&) = delete;

    // Counted: only the call that brings the count to 1 initialises. Always QUORIX_OK.
    uint32_t InitInstance();
    // Counted: only the call that brings the count to 0 releases. Always QUORIX_OK.
    uint32_t ExitInstance();
    // Frees every port (their threads stopped and joined, their renderers closed), as
    // QUORIX_FreePort does; the port objects stay. Run by the exit hook (see ArmExitHandler).
    void EndPorts();
    bool IsInitialized() const { return m_initialized.load(std::memory_order_acquire); }
    int32_t GetInitCount() const { return m_initCount.Get(); }

    // The port object of a number below MAX_PORTS, else null.
    CPlayer* GetPlayer(uint16_t port);
    // Marks the lowest free port in use: QUORIX_OK or QUORIX_E_NO_FREE_PORT (nothing written).
    uint32_t AllocatePort(uint16_t* port);
    // Resets and frees a port; every port attached to it is detached first, so that its next
    // owner receives nobody's sub-frames.
    void FreePort(CPlayer& player);

    // 0 keeps the current choice; anything else selects the software display for good.
    void SetRenderMode(uint32_t mode);

    void SetJpegQuality(uint16_t quality) { m_jpegQuality.store(quality); }
    void SetAudioPort(uint16_t port) { m_audioPort.store(port); }

    // The library's own directory with its trailing '/'; empty before the first initialisation.
    const std::string& GetModuleDirectory() const { return m_moduleDirectory; }

    // IPlayerHost
    const CGPano& GetGPano() override;
    bool IsDirectDrawMode() const override { return m_directDraw.load(); }
    // The configuration of the latest initialisation. A port's thread may keep reading the one it
    // took while another initialisation reads the file again: it stays valid and unchanged.
    const CSysParam& GetSysParam() const override {
        return *m_sysParam.load(std::memory_order_acquire);
    }
    uint16_t GetAudioPort() const override { return m_audioPort.load(); }
    uint16_t GetJpegQuality() const override { return m_jpegQuality.load(); }
    BRIXEL::CWaveOut* GetWaveOut() override { return &m_waveOut; }

protected:
    // Whether OpenGL rendering works on this machine; decides the renderer at initialisation.
    virtual bool ProbeOpenGL();
    // Whether that OpenGL is only a software rasteriser.
    virtual bool ProbeSoftwareRasteriser();

private:
    void ReadConfiguration();
    void UnloadPano();

    // Single words read by every port's threads without a lock.
    std::atomic<uint16_t> m_audioPort{QUORIX_NO_AUDIO_PORT};
    std::atomic<uint16_t> m_jpegQuality{kDefaultJpegQuality};
    BRIXEL::CHLock m_portLock{true, false};  // mutex kind; held only while a port is searched
    std::array<std::unique_ptr<CPlayer>, MAX_PORTS>
        m_players;  // built at construction, never resized
    std::atomic<bool> m_initialized{false};
    std::atomic<bool> m_directDraw{false};  // true: software display; one way only
    BRIXEL::CHAtomic m_initCount;
    // Written by the initialisation that brings the count to 1, and only when it changed; the
    // library's directory does not move, so later initialisations leave it (and its readers) alone.
    std::string m_moduleDirectory;
    // Every configuration published so far, immutable once in the list and kept until the
    // application ends: a reader holds a plain reference. One entry per distinct configuration,
    // so repeated initialisations with the same file add nothing. Guarded by m_paramLock (the
    // list); m_sysParam points into it and is read without a lock.
    BRIXEL::CHLock m_paramLock{true, false};
    std::vector<std::unique_ptr<const CSysParam>> m_paramSnapshots;
    std::atomic<const CSysParam*> m_sysParam{nullptr};
    // Guarded by m_panoLock: the tried flag, the table and the module.
    BRIXEL::CHLock m_panoLock{true, false};
    bool m_panoTried = false;
    CGPano m_gpano;
    QXPLAT::CDynamicLibrary m_panoModule;
    // The one sound output of every port; built with the application, the device opened on
    // first use. The destructor ends the ports, which write to it, before any member goes.
    BRIXEL::CWaveOut m_waveOut;
};

// The application object, built on first use (the host's first call) and destroyed at exit.
CQuorixApp& GetApp();

// Makes sure the ports are ended at process exit before the static objects of the libraries the
// library uses are destroyed. Exit handlers run in the reverse order of their registration, and
// the GL driver (and the compiler it loads) registers its own when it is loaded and when its
// render threads first need them, after the application object was built: its objects would go
// first while render threads still draw. The ports end in a thread-local destructor of the main
// thread, which exit() runs before every handler, and, for an exit from another thread, in an
// exit handler registered again whenever libraries were loaded since the last registration.
// ArmExitSentinel is cheap and runs after every export; ArmExitHandler asks the loader (under
// its lock) and runs after the exports that load libraries: InitSDK, SetRenderMode, OpenFile,
// OpenStream and Play.
void ArmExitSentinel();
void ArmExitHandler();
