#pragma once
// One player port: the object behind a port number. The application object builds all of them
// once and reuses them for the life of the process.
//
// A port is the media engine specialised for the library: it decodes through the decoder
// layer, shows through one renderer (OpenGL, the software display or the external panorama
// renderer, behind IPortRenderer) and is the callback object of its own file reader.
//
// Threads: host threads call the port operations; the reader thread calls OnFrame (hence
// InputData) and OnFileEnd; each video stream thread calls StartDecoder, DecodeVideo,
// StopDecoder and OnVideoFrame; the audio stream thread calls DecodeAudio and OnAudioFrame;
// the engine thread calls RenderFrame.
//
// The port has no lock of its own: the host serialises opening, closing, playing and freeing
// of one port. Flags, stamps and callback pairs are single words read by the library threads
// without a lock; a thread that has just read an old callback pair may still call it once.
// A control call that arrives on one of the port's own threads (a host callback that stops,
// closes or frees its port) never waits for that thread: the thread is asked to end and is
// joined by the next open, close, free or the destructor.

#include <quorixsdk.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "base/hbuffer.h"
#include "media/hmfreader.h"
#include "media/hplayer.h"
#include "media/kzreader.h"
#include "media/kzwriter.h"
#include "player/port_renderer.h"

class IPlayerHost;

class CPlayer : public BRIXEL::CHPlayer, public BRIXEL::IHMFReadCB, private IRendererPort {
public:
    enum Status : int32_t {
        STATUS_NONE = 0,
        STATUS_STREAM = 1,
        STATUS_FILE = 2,
    };

    static constexpr uint32_t kRegionCount = QUORIX_MAX_REGIONS;
    static constexpr int32_t kDefaultRenderModel = 1;
    static constexpr int32_t kExternalRenderModel = -1;
    static constexpr uint32_t kDefaultBackground = 0x00484848u;

    // The host's settings for one region, kept so that a renderer created later receives them,
    // with the region's callback pairs.
    class CRegionStatus {
    public:
        virtual ~CRegionStatus() = default;
        void Reset() { *this = CRegionStatus(); }

        QUORIX_DrawCallback drawCallback = nullptr;
        void* drawUser = nullptr;
        QUORIX_SnapCallback snapCallback = nullptr;
        void* snapUser = nullptr;
        PortRegionSettings settings{.background = kDefaultBackground};
    };

    CPlayer(uint32_t port, IPlayerHost& host);
    ~CPlayer() override;
    CPlayer(const CPlayer&) = delete;
    CPlayer& operator=(const CPlayer&) = delete;

    uint32_t GetPortNumber() const { return m_port; }
    bool IsInUse() const { return m_inUse.load(std::memory_order_acquire); }
    int32_t GetStatus() const { return m_status.load(std::memory_order_acquire); }

    // allocate true: only marks the port in use (the caller holds the port-table lock).
    // allocate false: frees the port: stops and closes whatever it holds and forgets the host's
    // per-port settings; the render-status callback, the play mode and the frame-number check
    // survive.
    void ResetPort(bool allocate);

    // ---- open and close ----
    uint32_t OpenFile(const char* path);
    uint32_t OpenStream(int32_t model, const void* infoData, uint32_t infoLen,
                        const void* modelData, uint32_t modelLen);
    uint32_t CloseFile();
    uint32_t CloseStream();
    // QUORIX_E_STATE with a file open; the engine ignores modes above 2.
    uint32_t SetPlayMode(uint32_t mode);

    // ---- play control ----
    uint32_t BeginPlay(QUORIX_HWND window, QUORIX_HDC dc, uint32_t manual);
    uint32_t Stop();
    uint32_t Pause(bool pause);
    uint32_t Fast();
    uint32_t Slow();
    uint32_t SetSpeed(int32_t speed);
    int32_t GetSpeed() const { return GetPlaySpeed(); }
    uint32_t Step(bool backwards);
    uint32_t SeekTime(uint32_t ms);
    uint32_t SeekPos(float pos);

    // ---- file figures: 0 unless a file is open ----
    uint32_t GetPlayedTime() const;
    float GetPlayedPos() const;
    uint32_t GetTotalTime() const;
    uint32_t GetTotalFrames() const;
    uint32_t GetLastFrameStamp() const { return m_lastStamp.load(std::memory_order_acquire); }
    uint32_t GetLastFrameClock() const { return m_lastClock.load(std::memory_order_acquire); }

    // ---- callbacks; a null function switches one off ----
    void SetFileEndCallback(QUORIX_FileEndCallback callback, void* user);
    void SetFileOpenInfoCallback(QUORIX_FileOpenInfoCallback callback, void* user);

    // ---- snapshots (player_capture.cpp) ----
    // One-shot captures block the calling thread until the renderer has served them or
    // kSnapTimeoutMs have passed. fileType 1 writes a BMP, anything else a JPEG.
    static constexpr uint32_t kSnapTimeoutMs = kPortSnapTimeoutMs;
    // Packed B, G, R: what capture files hold.
    static constexpr uint32_t kSnapFormatBgr = kPortSnapFormatBgr;
    uint32_t Snap(uint32_t region, const char* path, uint16_t quality, uint32_t fileType);
    uint32_t SnapOriginal(const char* path, uint16_t quality, uint32_t fileType);
    // Writes rows of a captured picture as a file; QUORIX_E_OPEN_FILE when it cannot be created.
    static uint32_t SaveSnapData(const char* path, uint16_t quality, uint32_t fileType,
                                 uint32_t width, uint32_t stride, uint32_t height, uint32_t format,
                                 const uint8_t* data);
    uint32_t SetSnapCallback(uint32_t region, QUORIX_SnapCallback callback, void* user,
                             uint32_t format, uint32_t align);
    uint32_t SetScreenOffSnapCallback(QUORIX_SnapCallback callback, void* user, float scale,
                                      uint32_t format, uint32_t align);
    uint32_t SetSnapRect(uint32_t region, float x, float y, float width, float height);
    uint32_t SetScreenOffSnapRect(float x, float y, float width, float height);

    // ---- recording and clip export (player_record.cpp) ----
    uint32_t StartLocalRecord(const char* path);
    uint32_t StopLocalRecord();
    bool IsRecording() const { return m_recording.load(); }
    uint32_t FilmEditing(const char* path, uint32_t begin, uint32_t end, bool byTime,
                         bool withAudio);

    // ---- a source that feeds the live input from a thread of its own (a pulled camera) ----
    class IStreamSource {
    public:
        virtual ~IStreamSource() = default;
        // Ends the source's thread; nothing reaches the port once this returns.
        virtual void Stop() = 0;
    };
    // The port keeps the source while its stream is open; every close of the stream (also by a
    // free, a release or the port's destruction) stops it first.
    void SetStreamSource(std::shared_ptr<IStreamSource> source);
    std::shared_ptr<IStreamSource> GetStreamSource() const;
    // Takes the source away and stops it; the stream stays open.
    void StopStreamSource();

    // ---- sound (player_audio.cpp): the device is shared by every port ----
    uint32_t SetVolume(uint32_t volume);
    uint32_t GetVolume();

    // ---- attached port (player_capture.cpp) ----
    // Sub-frames of composite packets go to `attached` (null: none) and to the attach callback.
    void SetAttachPlayer(CPlayer* attached) { m_attached.store(attached); }
    // Stops forwarding to `port` if this port forwards there: that port is being freed, and its
    // next owner must not receive this port's sub-frames.
    void DetachFrom(CPlayer* port) { m_attached.compare_exchange_strong(port, nullptr); }
    void SetAttachCallback(QUORIX_AttachCallback callback, void* user);

    // Frame-number continuity check of the port's decoding; on for a new port.
    void SetCheckFrameNum(bool enable) { SetSequenceCheck(enable); }
    bool GetCheckFrameNum() const { return GetSequenceCheck(); }

    int32_t GetRenderModel() const { return m_renderModel.load(std::memory_order_acquire); }
    bool IsLargePicture() const { return m_largePicture.load(std::memory_order_acquire); }
    // From the choice of the external renderer at an open until the close: the host keeps that
    // renderer's library loaded meanwhile.
    bool UsesExternalRenderer() const { return m_panoLibraryInUse.load(std::memory_order_acquire); }

    // What the host is told: with a file open, whether its reader is playing; otherwise whether
    // the engine runs.
    bool ReportsPlaying();

    // ---- display and view (player_view.cpp) ----
    // Each request writes the region record (kept for a renderer made later) and forwards to
    // the renderer the port has.
    uint32_t SetDisplayRegion(uint16_t region, const QUORIX_RECT* rect, uint32_t enable);
    uint32_t SetBackgroundColor(uint16_t region, uint32_t color);
    // count: capacity on entry, length of the list on return.
    uint32_t GetDisplayTypeList(uint32_t* types, int32_t* count);
    uint32_t GetDisplayType(uint16_t region, uint32_t* type);
    uint32_t SetDisplayType(uint16_t region, uint32_t type);
    uint32_t GetPtz(uint16_t region, float* pan, float* tilt, float* zoom);
    uint32_t SetPtz(uint16_t region, float pan, float tilt, float zoom);
    uint32_t EnableBlankPtz(uint16_t region, uint32_t enable);
    uint32_t SetFlip(uint16_t region, uint32_t flip);
    uint32_t SetRatioType(uint16_t region, uint32_t ratioType);
    uint32_t Project(uint16_t region, const float* x, const float* y, float* outX, float* outY,
                     uint32_t count);
    uint32_t UnProject(uint16_t region, const float* x, const float* y, float* outX, float* outY,
                       uint32_t count);
    uint32_t SetDrawCallback(uint16_t region, QUORIX_DrawCallback callback, void* user);
    uint32_t SetRenderStatusCallback(QUORIX_RenderStatusCallback callback, void* user);
    uint32_t GetManualSupport(int32_t* support);
    uint32_t ManualInit(uint32_t createContext);
    uint32_t ManualRender();
    uint32_t ManualSwapbuffers();
    uint32_t ManualUnInit();
    // A copy of a region record; region below kRegionCount.
    bool UsesSoftwareDisplay() const {
        return m_portRenderer.load()->GetKind() == IPortRenderer::Kind::Software;
    }

    // ---- engine operations ----
    bool IsPlaying() override;
    uint32_t InputData(const uint8_t* data, uint32_t length) override;
    uint32_t OnVideoFrame(uint16_t streamId, uint32_t timestamp, uint32_t clock, uint16_t width,
                          uint16_t height, uint8_t* const planes[3], const int32_t strides[3],
                          BRIXEL::CHYUVColour colour) override;
    uint32_t RenderFrame(uint16_t streamId, uint32_t timestamp, uint32_t clock, uint16_t width,
                         uint16_t height, uint8_t* buffer, uint32_t size,
                         BRIXEL::CHYUVColour colour) override;
    uint32_t SetRecoveryCallback(uint16_t streamId, BRIXEL::HRecoveryCallback callback,
                                 void* context) override;
    uint32_t OnAudioFrame(uint16_t streamId, uint32_t channels, uint32_t bitsPerSample,
                          uint32_t sampleRate, const uint8_t* pcm, uint32_t length) override;
    BRIXEL::HDecoderHandle StartDecoder(uint8_t codecId) override;
    void StopDecoder(BRIXEL::HDecoderHandle decoder) override;
    uint32_t DrainVideo(BRIXEL::HDecoderHandle decoder, uint32_t& width, uint32_t& height,
                        uint8_t* planes[3], uint32_t sizes[3], int32_t strides[3],
                        BRIXEL::CHYUVColour& colour) override;
    uint32_t DecodeVideo(BRIXEL::HDecoderHandle decoder, const uint8_t* data, uint32_t length,
                         uint32_t& width, uint32_t& height, uint8_t* planes[3], uint32_t sizes[3],
                         int32_t strides[3], BRIXEL::CHYUVColour& colour) override;
    uint32_t DecodeAudio(BRIXEL::HDecoderHandle decoder, const uint8_t* data, uint32_t length,
                         uint8_t*& pcm, uint32_t& pcmLength) override;
    uint32_t OnSubFrame(uint8_t streamId, const uint8_t* data, uint32_t length) override;

    // ---- the reader's callbacks ----
    void OnReset() override;
    uint32_t GetQueuedFrames(int32_t speed) override;
    bool OnFileEnd() override;
    uint32_t OnFrame(const uint8_t* record, uint32_t length, uint8_t kind, uint32_t clockMs,
                     double percent) override;

protected:
    IPlayerHost& Host() const { return m_host; }
    // Hands the stored region settings to a renderer just created.
    void OnCreateRender();

private:
    // ---- the port as its renderer sees it (player_view.cpp, player_capture.cpp) ----
    uint16_t PortNumber() const override { return static_cast<uint16_t>(m_port); }
    uint32_t RegionBackground(uint16_t region) const override;
    void CallDrawCallback(uint16_t region, int32_t drawMode, QUORIX_HDC dc,
                          const QUORIX_RECT* image, const QUORIX_RECT* rect) override;
    bool HasStatusCallback() const override { return m_statusCallback.load() != nullptr; }
    void CallStatusCallback(uint32_t status) override;
    void CallSnapCallback(uint16_t region, uint32_t width, uint32_t stride, uint32_t height,
                          uint32_t format, const uint8_t* data) override;
    void ReturnPicture(uint8_t* data, uint32_t size) override;
    void RecyclePicture(uint8_t* data, uint32_t size) override;
    IPlayerHost& PlayerHost() override { return m_host; }
    // The picture a decoder gave, as the video streams take it (DecodeVideo, DrainVideo).
    uint32_t TakeDecodedPicture(BRIXEL::HDecoderHandle decoder, uint32_t format,
                                const uint32_t unsignedStrides[3], int32_t strides[3],
                                BRIXEL::CHYUVColour& colour);

    // ---- the renderer (player_renderer.cpp) ----
    // Creates the renderer the open asks for; on failure nothing is left behind.
    uint32_t CreateRenderer(const uint8_t* params, uint32_t paramsLen, bool manual = false);
    // Before a start in manual mode: a software display chosen only for the CPU de-warp gives
    // way to OpenGL.
    uint32_t PrepareManualRenderer();
    // Detaches the host's callbacks from the renderer and destroys it.
    void DestroyRenderer();
    // Destroys renderers left by a close on their own drawing thread; not on those threads.
    void ReapRetiredRenderers();
    // The host's render mode, taken at each open: it also decides what the port answers once
    // closed (a software-display port keeps answering as the display does).
    void SetSoftwareMode(bool software);
    // What the port answers without a renderer.
    IPortRenderer& IdleRenderer() const;
    bool IsIdle(const IPortRenderer* renderer) const;
    // Stops and closes whatever the port has open, in its status. Used by the free and the
    // destructor.
    void ShutDown();
    void FreeBlocks();
    bool HoldsAudio() const;
    // Discards the sound this port has queued, when it holds the audio.
    void ResetAudio();
    // A copy of the settings of one region, taken under the region lock.
    PortRegionSettings RegionSettings(uint16_t region) const;
    // A host call that works with the renderer (a capture, a projection) holds it through a use:
    // the header allows these calls while another thread closes the port, and the close waits
    // for the uses under way before the renderer goes. A use that starts after the close took
    // the renderer finds the idle one. A close from a host callback that runs inside such a
    // call on the same thread (a manual render, a plug-in calling back) cannot wait for it: the
    // renderer is retired instead, as on its own drawing thread.
    class CRendererUse {
    public:
        explicit CRendererUse(CPlayer& player);
        ~CRendererUse();
        CRendererUse(const CRendererUse&) = delete;
        CRendererUse& operator=(const CRendererUse&) = delete;
        IPortRenderer* operator->() const { return m_renderer; }

    private:
        CPlayer& m_player;
        IPortRenderer* m_renderer;
        bool m_recorded = false;
    };
    // The calling thread holds a renderer use of this port further up its stack.
    bool HoldsRendererUse() const;
    // Close: after the renderer pointer was replaced, until no use holds the old one.
    void WaitForRendererUses();
    // The calling thread is the drawing thread of one of this port's renderers.
    bool OnOwnDrawingThread() const;

    const uint32_t m_port;  // set once at construction, handed to callbacks as u16
    IPlayerHost& m_host;    // the owner; outlives the port

    // Written by the host thread that allocates, opens, closes or frees the port; read by any.
    std::atomic<bool> m_inUse{false};
    std::atomic<int32_t> m_status{STATUS_NONE};
    // The host's render mode at the last open (see SetSoftwareMode).
    std::atomic<bool> m_directDraw{false};
    std::atomic<bool> m_largePicture{false};  // set by input threads, cleared only by the free
    std::atomic<uint32_t> m_lastStamp{0};     // written by input threads
    std::atomic<uint32_t> m_lastClock{0};
    // The renderer: owned while an open holds it, else one of the idle renderers, never null.
    // Set by an open and replaced by a close, which first stops every thread that shows
    // pictures, so no picture reaches a destroyed renderer.
    std::atomic<IPortRenderer*> m_portRenderer{&NoRenderer()};
    // Renderers closed on their own drawing thread or inside a use of theirs (from a host
    // callback): destroyed by the next open, close, free or the destructor, from another thread.
    mutable std::mutex m_retiredLock;
    std::vector<std::unique_ptr<IPortRenderer>> m_retired;
    std::atomic<bool> m_panoLibraryInUse{false};
    bool m_rendererStarted = false;  // host threads only: started by a play, cleared by a close
    // Set while QUORIX_OpenFile runs the host's file-open-information callback: a nested open
    // must not touch the blocks the callback is reading, and a free from the callback is
    // finished by the open once the callback has returned (host thread only).
    bool m_opening = false;
    bool m_freedWhileOpening = false;

    mutable std::mutex m_sourceLock;  // guards m_source, which any host thread may look at
    std::shared_ptr<IStreamSource> m_source;

    BRIXEL::CKZReader m_reader;
    BRIXEL::CKZWriter m_writer;
    // The fields of the records are written by host threads under m_regionLock, and an open
    // reads them under it while it hands them to its new renderer. The callback pairs and the
    // background colour are also read by the renderers' drawing threads, without the lock,
    // through std::atomic_ref.
    mutable std::mutex m_regionLock;
    CRegionStatus m_regions[kRegionCount];

    // Callback pairs: written by host threads, read by library threads (see the file comment).
    std::atomic<QUORIX_FileEndCallback> m_fileEndCallback{nullptr};
    std::atomic<void*> m_fileEndUser{nullptr};
    std::atomic<QUORIX_FileOpenInfoCallback> m_openInfoCallback{nullptr};
    std::atomic<void*> m_openInfoUser{nullptr};
    std::atomic<QUORIX_AttachCallback> m_attachCallback{nullptr};
    std::atomic<void*> m_attachUser{nullptr};
    std::atomic<CPlayer*> m_attached{nullptr};
    std::atomic<uint32_t> m_rendererUses{0};
    std::mutex m_rendererUseLock;  // with m_rendererUsesDone: a close waits for the last use
    std::condition_variable m_rendererUsesDone;
    std::atomic<QUORIX_SnapCallback> m_screenOffCallback{nullptr};
    std::atomic<void*> m_screenOffUser{nullptr};
    std::atomic<QUORIX_RenderStatusCallback> m_statusCallback{nullptr};
    std::atomic<void*> m_statusUser{nullptr};

    std::atomic<bool> m_recording{false};
    // The two data blocks of the open file or stream; host threads only (the reader fills them
    // inside Open, on the opening thread).
    BRIXEL::CHBuffer m_renderParams;
    BRIXEL::CHBuffer m_openInfo;
    std::atomic<int32_t> m_renderModel{kDefaultRenderModel};

    // The engine's buffer-return callback, which the renderers reach through ReturnPicture.
    // Written when a stream is made (under the engine's map lock).
    std::atomic<BRIXEL::HRecoveryCallback> m_recovery{nullptr};
    std::atomic<void*> m_recoveryContext{nullptr};
};
