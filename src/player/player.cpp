#include "player/player.h"

#include <sys/stat.h>

#include <cinttypes>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

#include "base/hlog.h"
#include "codec/decoder.h"
#include "media/hmfformat.h"
#include "media/waveout.h"
#include "player/playerhost.h"
#include "player/sysparam.h"

namespace {

constexpr const char* kSource = "player";
constexpr const char* kModule = "quorixsdk";

// A path the reader could open but that holds no records: fopen accepts directories here.
bool IsDirectory(const char* path) {
    struct stat info {};
    return stat(path, &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace

CPlayer::CPlayer(uint32_t port, IPlayerHost& host) : m_port(port), m_host(host) {
    m_reader.SetDataBlocks(&m_openInfo, &m_renderParams);
    m_reader.SetCallback(this);
}

CPlayer::~CPlayer() {
    ShutDown();
    // The reader's thread is joined by Close above; nothing may call back from here on.
    m_reader.SetCallback(nullptr);
}

// ---------------------------------------------------------------------------------------------
// Life cycle

void CPlayer::ShutDown() {
    ReapRetiredRenderers();
    if (GetStatus() == STATUS_FILE)
        m_reader.StopPlay();
    ResetAudio();
    StopPlay();
    CloseStream();
    CloseFile();
}

void CPlayer::ResetPort(bool allocate) {
    if (allocate) {
        m_inUse.store(true, std::memory_order_release);
        return;
    }
    // The port stays taken until its teardown is over: a concurrent QUORIX_GetPort must not hand
    // out a port whose stream and callbacks are still being closed and cleared.
    ShutDown();
    // Freed from inside the file-open-information callback: the open that runs the callback
    // still holds the reader and the blocks the callback reads; it closes them and frees the
    // port when the callback returns.
    if (m_opening)
        m_freedWhileOpening = true;
    // The recording belongs to the owner that started it: finished with its index here, so the
    // next owner of the port number neither writes into it nor finds recording refused.
    StopLocalRecord();
    {
        std::lock_guard<std::mutex> lock(m_regionLock);
        for (CRegionStatus& region : m_regions)
            region.Reset();
    }
    m_lastStamp.store(0);
    m_lastClock.store(0);
    m_fileEndCallback.store(nullptr);
    m_fileEndUser.store(nullptr);
    m_openInfoCallback.store(nullptr);
    m_openInfoUser.store(nullptr);
    m_attachCallback.store(nullptr);
    m_attachUser.store(nullptr);
    m_attached.store(nullptr);
    m_screenOffCallback.store(nullptr);
    m_screenOffUser.store(nullptr);
    m_panoLibraryInUse.store(false);
    m_largePicture.store(false);
    if (!m_opening)
        m_inUse.store(false, std::memory_order_release);
}

void CPlayer::FreeBlocks() {
    m_renderParams.Free();
    m_openInfo.Free();
}

uint32_t CPlayer::OpenFile(const char* path) {
    if (GetStatus() != STATUS_NONE || m_opening)
        return QUORIX_E_PORT_BUSY;
    FreeBlocks();
    if (path == nullptr || IsDirectory(path))
        return QUORIX_E_OPEN_FILE;
    const uint32_t opened = m_reader.Open(path);
    if (opened != QUORIX_OK)
        return opened;

    SetSoftwareMode(m_host.IsDirectDrawMode());
    const int32_t model = m_reader.GetHeader().renderModel;
    m_renderModel.store(model);

    const uint32_t infoLength = static_cast<uint32_t>(m_openInfo.GetLength());
    const QUORIX_FileOpenInfoCallback infoCallback = m_openInfoCallback.load();
    if (infoCallback != nullptr) {
        m_opening = true;
        m_freedWhileOpening = false;
        infoCallback(static_cast<uint16_t>(m_port), model,
                     infoLength != 0 ? m_openInfo.GetData() : nullptr, infoLength,
                     m_openInfoUser.load());
        m_opening = false;
        if (m_freedWhileOpening) {
            // The host freed the port from its callback: nothing of this open may outlive it.
            m_freedWhileOpening = false;
            m_reader.Close();
            FreeBlocks();
            m_renderModel.store(kDefaultRenderModel);
            m_inUse.store(false, std::memory_order_release);
            return QUORIX_E_STATE;
        }
    }

    const uint32_t created =
        CreateRenderer(m_renderParams.GetData(), static_cast<uint32_t>(m_renderParams.GetLength()));
    if (created != QUORIX_OK) {
        m_reader.Close();
        return created;
    }
    OnCreateRender();
    SetPlaySpeed(0);
    SetPlayMode(0);  // before the status says file, which refuses play modes
    m_status.store(STATUS_FILE, std::memory_order_release);
    return QUORIX_OK;
}

uint32_t CPlayer::OpenStream(int32_t model, const void* infoData, uint32_t infoLen,
                             const void* modelData, uint32_t modelLen) {
    if (GetStatus() != STATUS_NONE || m_opening)
        return QUORIX_E_PORT_BUSY;
    FreeBlocks();
    // Each block is one byte longer than its length, that byte zero, as the reader loads them.
    auto copyBlock = [](BRIXEL::CHBuffer& block, const void* data, uint32_t length) {
        if (data == nullptr || length == 0)
            return QUORIX_OK;
        if (block.Allocate(uint64_t{length} + 1, true) != QUORIX_OK || block.GetData() == nullptr) {
            block.Free();
            return QUORIX_E_NO_MEMORY;
        }
        std::memcpy(block.GetData(), data, length);
        block.GetData()[length] = 0;
        block.SetLength(length);
        return QUORIX_OK;
    };
    uint32_t copied = copyBlock(m_renderParams, modelData, modelLen);
    if (copied == QUORIX_OK)
        copied = copyBlock(m_openInfo, infoData, infoLen);
    if (copied != QUORIX_OK)
        return copied;

    m_renderModel.store(model);
    SetSoftwareMode(m_host.IsDirectDrawMode());
    uint32_t created = QUORIX_OK;
    if (model == kExternalRenderModel) {
        // The caller's block as given: a null block reaches the renderer as null.
        created = CreateRenderer(static_cast<const uint8_t*>(modelData), modelLen);
    } else {
        created = CreateRenderer(m_renderParams.GetData(),
                                 static_cast<uint32_t>(m_renderParams.GetLength()));
        HLOG(kSource, kModule, BRIXEL::HLOG_INFO, "CPlayer::OpenStream",
             m_directDraw ? "use dxdraw!" : "use Opengl!");
    }
    if (created != QUORIX_OK)
        return created;
    OnCreateRender();
    SetPlaySpeed(0);
    m_status.store(STATUS_STREAM, std::memory_order_release);
    return QUORIX_OK;
}

uint32_t CPlayer::CloseFile() {
    if (GetStatus() != STATUS_FILE)
        return QUORIX_E_STATE;
    m_reader.Close();
    DestroyRenderer();
    m_lastStamp.store(0);
    m_lastClock.store(0);
    m_status.store(STATUS_NONE, std::memory_order_release);
    m_panoLibraryInUse.store(false);
    m_renderModel.store(kDefaultRenderModel);
    FreeBlocks();
    m_recording.store(false);
    return QUORIX_OK;
}

void CPlayer::SetStreamSource(std::shared_ptr<IStreamSource> source) {
    std::lock_guard<std::mutex> lock(m_sourceLock);
    m_source = std::move(source);
}

std::shared_ptr<CPlayer::IStreamSource> CPlayer::GetStreamSource() const {
    std::lock_guard<std::mutex> lock(m_sourceLock);
    return m_source;
}

void CPlayer::StopStreamSource() {
    std::shared_ptr<IStreamSource> source;
    {
        std::lock_guard<std::mutex> lock(m_sourceLock);
        source.swap(m_source);
    }
    if (source)
        source->Stop();
}

uint32_t CPlayer::CloseStream() {
    // The source's thread pushes records until it is stopped: it ends before the renderer goes.
    StopStreamSource();
    if (GetStatus() != STATUS_STREAM)
        return QUORIX_E_STATE;
    DestroyRenderer();
    m_lastStamp.store(0);
    m_lastClock.store(0);
    m_status.store(STATUS_NONE, std::memory_order_release);
    m_panoLibraryInUse.store(false);
    m_renderModel.store(kDefaultRenderModel);
    FreeBlocks();
    m_recording.store(false);
    HLOG(kSource, kModule, BRIXEL::HLOG_INFO, "CPlayer::CloseStream", "CloseStream");
    return QUORIX_OK;
}

uint32_t CPlayer::SetPlayMode(uint32_t mode) {
    if (GetStatus() == STATUS_FILE)
        return QUORIX_E_STATE;
    HLOG(kSource, kModule, BRIXEL::HLOG_DEBUG, "CPlayer::SetPlayMode", "nMode=%d",
         static_cast<int>(mode));
    CHPlayer::SetPlayMode(mode);
    return QUORIX_OK;
}

// ---------------------------------------------------------------------------------------------
// Play control

uint32_t CPlayer::BeginPlay(QUORIX_HWND window, QUORIX_HDC dc, uint32_t manual) {
    const int32_t status = GetStatus();
    if (status == STATUS_NONE) {
        HLOG(kSource, kModule, BRIXEL::HLOG_WARN, "CPlayer::BeginPlay",
             "play fail,current status none");
        return QUORIX_E_STATE;
    }
    if (!m_rendererStarted && manual != 0) {
        const uint32_t prepared = PrepareManualRenderer();
        if (prepared != QUORIX_OK)
            return prepared;
    }
    if (!m_rendererStarted) {
        const uint32_t started = m_portRenderer.load()->Start(window, dc, manual != 0);
        if (started != QUORIX_OK) {
            HLOG(kSource, kModule, BRIXEL::HLOG_ERROR, "CPlayer::BeginPlay",
                 "init render fail,ret=%#x", started);
            return started;
        }
        m_rendererStarted = true;
    }
    // The end of the file parks only the reader; the engine still runs. Playing again starts
    // the reader from the first record instead of answering that the engine is started.
    if (status == STATUS_FILE && IsStarted() &&
        m_reader.GetState() == BRIXEL::CHMFReader::Stopped) {
        const uint32_t played = m_reader.Play();
        if (played != QUORIX_OK)
            return played;
        HLOG(kSource, kModule, BRIXEL::HLOG_INFO, "CPlayer::BeginPlay", "begin play");
        return QUORIX_OK;
    }
    const uint32_t engine = StartPlay();
    if (engine != QUORIX_OK) {
        HLOG(kSource, kModule, BRIXEL::HLOG_ERROR, "CPlayer::BeginPlay", "start play fail,ret=%#x",
             engine);
        return engine;
    }
    if (status == STATUS_FILE) {
        const uint32_t played = m_reader.Play();
        if (played != QUORIX_OK) {
            StopPlay();
            return played;
        }
    }
    HLOG(kSource, kModule, BRIXEL::HLOG_INFO, "CPlayer::BeginPlay", "begin play");
    return QUORIX_OK;
}

uint32_t CPlayer::Stop() {
    const bool file = GetStatus() == STATUS_FILE;
    if (file)
        m_reader.StopPlay();
    ResetAudio();
    const uint32_t stopped = StopPlay();
    // The engine is back at normal speed; the reader paces the next play and must be too, or
    // the host reads 0 while the file runs at the old speed.
    if (file)
        m_reader.SetSpeed(GetPlaySpeed());
    return stopped;
}

uint32_t CPlayer::Pause(bool pause) {
    if (GetStatus() != STATUS_FILE)
        return QUORIX_E_STATE;
    return pause ? m_reader.Pause() : m_reader.Play();
}

uint32_t CPlayer::Fast() {
    const int32_t speed = GetPlaySpeed();
    if (speed >= kMaxSpeed)
        return QUORIX_OK;
    return SetSpeed(speed + 1);
}

uint32_t CPlayer::Slow() {
    const int32_t speed = GetPlaySpeed();
    if (speed <= kMinSpeed)
        return QUORIX_OK;
    return SetSpeed(speed - 1);
}

uint32_t CPlayer::SetSpeed(int32_t speed) {
    if (speed < kMinSpeed || speed > kMaxSpeed)
        return QUORIX_E_PARAM;
    SetPlaySpeed(speed);
    if (GetStatus() == STATUS_FILE)
        m_reader.SetSpeed(speed);
    return QUORIX_OK;
}

uint32_t CPlayer::Step(bool backwards) {
    if (GetStatus() != STATUS_FILE)
        return QUORIX_E_STATE;
    return m_reader.Step(backwards);
}

uint32_t CPlayer::SeekTime(uint32_t ms) {
    if (GetStatus() != STATUS_FILE)
        return QUORIX_E_STATE;
    return m_reader.SeekTo(ms, true) == QUORIX_OK ? QUORIX_OK : QUORIX_E_FAIL;
}

uint32_t CPlayer::SeekPos(float pos) {
    if (GetStatus() != STATUS_FILE)
        return QUORIX_E_STATE;
    const float target = static_cast<float>(m_reader.GetTotalTime()) * pos;
    // Truncated toward zero; a position outside the file (or not a number) is held to its ends
    // instead of being converted out of range.
    uint32_t ms = 0;
    if (std::isnan(target) || target <= 0.0f) {
        ms = 0;
    } else if (target >= 4294967040.0f) {
        ms = std::numeric_limits<uint32_t>::max();
    } else {
        ms = static_cast<uint32_t>(target);
    }
    return SeekTime(ms);
}

uint32_t CPlayer::GetPlayedTime() const {
    return GetStatus() == STATUS_FILE ? m_reader.GetPlayedTime() : 0;
}

float CPlayer::GetPlayedPos() const {
    if (GetStatus() != STATUS_FILE)
        return 0.0f;
    const uint32_t total = m_reader.GetTotalTime();
    if (total == 0)
        return 0.0f;
    return static_cast<float>(m_reader.GetPlayedTime()) / static_cast<float>(total);
}

uint32_t CPlayer::GetTotalTime() const {
    return GetStatus() == STATUS_FILE ? m_reader.GetTotalTime() : 0;
}

uint32_t CPlayer::GetTotalFrames() const {
    return GetStatus() == STATUS_FILE ? m_reader.GetTotalFrames() : 0;
}

void CPlayer::SetFileEndCallback(QUORIX_FileEndCallback callback, void* user) {
    m_fileEndCallback.store(nullptr);
    m_fileEndUser.store(user);
    m_fileEndCallback.store(callback);
}

void CPlayer::SetFileOpenInfoCallback(QUORIX_FileOpenInfoCallback callback, void* user) {
    m_openInfoCallback.store(nullptr);
    m_openInfoUser.store(user);
    m_openInfoCallback.store(callback);
}

// ---------------------------------------------------------------------------------------------
// Engine operations

bool CPlayer::ReportsPlaying() {
    if (GetStatus() == STATUS_FILE)
        return m_reader.GetState() == BRIXEL::CHMFReader::Playing;
    return IsStarted();
}

bool CPlayer::IsPlaying() {
    // Pictures are shown while the engine runs, whatever the reader's state: the reader reaches
    // the end of the file (or a pause, or a single step) while the records it has already
    // handed over are still being decoded, and those pictures belong on the screen. Stop ends
    // the engine, so nothing is shown after it.
    return IsStarted();
}

uint32_t CPlayer::InputData(const uint8_t* data, uint32_t length) {
    // The record's header is read below before the engine looks at it.
    if (data == nullptr || length < BRIXEL::kHMFFrameHeaderSize)
        return QUORIX_E_PARAM;
    const uint8_t kind = data[2] & BRIXEL::kHMFKindMask;
    const bool video = BRIXEL::HMFIsVideoKind(kind);
    if (video) {
        const int32_t limit = m_host.GetSysParam().hisiMaxWidth;
        const uint32_t width = BRIXEL::HLoadLE16(data + 18);
        const uint32_t height = BRIXEL::HLoadLE16(data + 20);
        if (limit >= 1 &&
            (width > static_cast<uint32_t>(limit) || height > static_cast<uint32_t>(limit))) {
            m_largePicture.store(true);
        }
    }
    // The record's stamp is noted before the engine takes it: in play mode 0 its picture may be
    // on the screen before InputData returns, and the stamp must already name it then. A record
    // the engine refuses puts the previous values back, unless a later record noted its own.
    uint32_t stamp = 0, clock = 0, previousStamp = 0, previousClock = 0;
    if (video) {
        stamp = BRIXEL::HLoadLE32(data + 8);
        clock = BRIXEL::HLoadLE32(data + 12);
        previousStamp = m_lastStamp.exchange(stamp);
        previousClock = m_lastClock.exchange(clock);
    }
    const uint32_t input = CHPlayer::InputData(data, length);
    if (input != QUORIX_OK) {
        if (video) {
            m_lastStamp.compare_exchange_strong(stamp, previousStamp);
            m_lastClock.compare_exchange_strong(clock, previousClock);
        }
        return input;
    }
    if (video) {
        // Once more now that it is taken: the sub-records of a composite packet pass through
        // here on their way to attached ports and note their own stamps meanwhile; the packet's
        // stamp is the one that names the port's position.
        m_lastStamp.store(stamp);
        m_lastClock.store(clock);
    }
    if (m_recording.load())
        m_writer.WriteFrame(data, length);
    return QUORIX_OK;
}

bool CPlayer::HoldsAudio() const {
    return m_host.GetAudioPort() == m_port;
}

void CPlayer::ResetAudio() {
    if (!HoldsAudio())
        return;
    if (BRIXEL::CWaveOut* wave = m_host.GetWaveOut())
        wave->Reset();
}

uint32_t CPlayer::OnAudioFrame(uint16_t, uint32_t channels, uint32_t bitsPerSample,
                               uint32_t sampleRate, const uint8_t* pcm, uint32_t length) {
    // Only the port that holds the audio is heard; the PCM of the others is dropped.
    if (!HoldsAudio())
        return 0;
    BRIXEL::CWaveOut* wave = m_host.GetWaveOut();
    if (wave == nullptr)
        return 0;
    wave->SetFormat(channels, bitsPerSample, sampleRate);
    wave->Write(pcm, length);
    return 0;
}

BRIXEL::HDecoderHandle CPlayer::StartDecoder(uint8_t codecId) {
    const CSysParam& param = m_host.GetSysParam();
    int32_t module = HCC::MODULE_AUTO;
    switch (codecId) {
        case HCC::CODEC_H264:
            module = param.h264Module;
            break;
        case HCC::CODEC_MJPEG:
            module = param.mjpegModule;
            break;
        case HCC::CODEC_H265:
            module =
                m_largePicture.load() ? static_cast<int32_t>(HCC::MODULE_FFMPEG) : param.h265Module;
            break;
        default:
            module = HCC::MODULE_AUTO;
            break;
    }
    HCC::HDECODER handle = nullptr;
    const uint32_t result = HCC::CreateDecoder(codecId, static_cast<uint32_t>(module), &handle);
    if (result != QUORIX_OK)
        handle = nullptr;
    HLOG(kSource, kModule, BRIXEL::HLOG_INFO, "CPlayer::StartDecoder",
         "StartDecoder ret=%#x,handle=%#" PRIxPTR ",EncodeType=%d,ModuleType=%d", result,
         reinterpret_cast<uintptr_t>(handle), static_cast<int>(codecId), static_cast<int>(module));
    return handle;
}

void CPlayer::StopDecoder(BRIXEL::HDecoderHandle decoder) {
    HLOG(kSource, kModule, BRIXEL::HLOG_INFO, "CPlayer::StopDecoder", "StopDecoder %#" PRIxPTR,
         reinterpret_cast<uintptr_t>(decoder));
    HCC::DestroyDecoder(static_cast<HCC::HDECODER>(decoder));
}

uint32_t CPlayer::DecodeVideo(BRIXEL::HDecoderHandle decoder, const uint8_t* data, uint32_t length,
                              uint32_t& width, uint32_t& height, uint8_t* planes[3],
                              uint32_t sizes[3], int32_t strides[3], BRIXEL::CHYUVColour& colour) {
    uint32_t format = 0;
    uint32_t unsignedStrides[3] = {0, 0, 0};
    const uint32_t decoded =
        HCC::DecodeVideo(static_cast<HCC::HDECODER>(decoder), data, length, &width, &height,
                         &format, planes, sizes, unsignedStrides);
    if (decoded != QUORIX_OK)
        return decoded;
    return TakeDecodedPicture(decoder, format, unsignedStrides, strides, colour);
}

uint32_t CPlayer::DrainVideo(BRIXEL::HDecoderHandle decoder, uint32_t& width, uint32_t& height,
                             uint8_t* planes[3], uint32_t sizes[3], int32_t strides[3],
                             BRIXEL::CHYUVColour& colour) {
    uint32_t format = 0;
    uint32_t unsignedStrides[3] = {0, 0, 0};
    const uint32_t drained = HCC::DrainVideo(static_cast<HCC::HDECODER>(decoder), &width, &height,
                                             &format, planes, sizes, unsignedStrides);
    if (drained != QUORIX_OK)
        return drained;
    return TakeDecodedPicture(decoder, format, unsignedStrides, strides, colour);
}

uint32_t CPlayer::TakeDecodedPicture(BRIXEL::HDecoderHandle decoder, uint32_t format,
                                     const uint32_t unsignedStrides[3], int32_t strides[3],
                                     BRIXEL::CHYUVColour& colour) {
    // Every picture travels as planar 4:2:0; strides beyond the signed range cannot be passed on.
    if (format != 0)
        return QUORIX_E_NOT_SUPPORTED;
    for (int i = 0; i < 3; ++i) {
        if (unsignedStrides[i] > static_cast<uint32_t>(std::numeric_limits<int32_t>::max())) {
            return QUORIX_E_NOT_SUPPORTED;
        }
        strides[i] = static_cast<int32_t>(unsignedStrides[i]);
    }
    HCC::GetPictureColour(static_cast<HCC::HDECODER>(decoder), &colour);
    return QUORIX_OK;
}

uint32_t CPlayer::DecodeAudio(BRIXEL::HDecoderHandle decoder, const uint8_t* data, uint32_t length,
                              uint8_t*& pcm, uint32_t& pcmLength) {
    return HCC::DecodeAudio(static_cast<HCC::HDECODER>(decoder), data, length, &pcm, &pcmLength);
}

// ---------------------------------------------------------------------------------------------
// The reader's callbacks (reader thread)

void CPlayer::OnReset() {
    FlushStreams();
}

uint32_t CPlayer::GetQueuedFrames(int32_t) {
    return GetQueuedFrameCount();
}

bool CPlayer::OnFileEnd() {
    // A file with B-frames: its last pictures are still in the decoder.
    EndOfVideoInput();
    const QUORIX_FileEndCallback callback = m_fileEndCallback.load();
    if (callback != nullptr)
        callback(static_cast<uint16_t>(m_port), m_fileEndUser.load());
    return false;
}

uint32_t CPlayer::OnFrame(const uint8_t* record, uint32_t length, uint8_t, uint32_t, double) {
    return InputData(record, length);
}
