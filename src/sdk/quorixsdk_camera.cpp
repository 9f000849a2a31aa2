// The exported functions of the pulled sources (quorixsdk_camera.h): the port's live stream is
// opened as QUORIX_OpenStream does, and a pull session of the pull library feeds its records
// into the port's input from the session's own thread. The port keeps the session as its
// stream source, so that every close of the stream stops it first.

#include <quorixsdk_camera.h>

#include <cstring>
#include <memory>
#include <string>

#include "pull/session.h"
#include "sdk/exportcheck.h"

using namespace quorixexport;

namespace {

static_assert(QUORIX_CAMERA_CONNECTING == QPULL::STATE_CONNECTING &&
              QUORIX_CAMERA_PLAYING == QPULL::STATE_PLAYING &&
              QUORIX_CAMERA_LOST == QPULL::STATE_LOST &&
              QUORIX_CAMERA_RECONNECTING == QPULL::STATE_RECONNECTING &&
              QUORIX_CAMERA_ENDED == QPULL::STATE_ENDED &&
              QUORIX_CAMERA_FAILED == QPULL::STATE_FAILED);

constexpr uint32_t kDefaultTimeoutMs = 5000;
constexpr uint32_t kMaxTimeoutMs = 600000;
// A shorter back-off would turn a refused address into a busy loop.
constexpr uint32_t kMinRetryMs = 10;
constexpr uint32_t kMaxRetryMs = 3600000;

// The port's live input, as the host's QUORIX_InputStreamData reaches it.
class CPortSink : public QPULL::IRecordSink {
public:
    explicit CPortSink(CPlayer& player) : m_player(player) {}
    uint32_t Push(const uint8_t* record, uint32_t length) override {
        return m_player.InputData(record, length);
    }
    uint32_t Backlog() override { return m_player.GetQueuedFrameCount(); }
    void EndOfInput() override { m_player.EndOfVideoInput(); }

private:
    CPlayer& m_player;  // the port objects live as long as the application
};

class CCameraSource : public CPlayer::IStreamSource {
public:
    CCameraSource(std::string url, const QPULL::SessionOptions& options, CPlayer& player,
                  QPULL::StateCallback onState)
        : m_session(std::move(url), options, std::make_shared<CPortSink>(player),
                    std::move(onState)) {}
    void Stop() override { m_session.Stop(); }
    QPULL::CPullSession& Session() { return m_session; }

private:
    QPULL::CPullSession m_session;
};

CCameraSource* CameraOf(const std::shared_ptr<CPlayer::IStreamSource>& source) {
    return dynamic_cast<CCameraSource*>(source.get());
}

uint32_t ToSessionOptions(const QUORIX_CAMERA_OPTIONS& o, QPULL::SessionOptions* out) {
    if (o.size != sizeof(QUORIX_CAMERA_OPTIONS) || o.transport > QUORIX_TRANSPORT_UDP ||
        o.timeoutMs > kMaxTimeoutMs || o.reconnect > 1 || o.retryMinMs < kMinRetryMs ||
        o.retryMaxMs < o.retryMinMs || o.retryMaxMs > kMaxRetryMs ||
        o.pacing > QUORIX_PACING_FAST || (o.modelData == nullptr && o.modelLen != 0)) {
        return QUORIX_E_PARAM;
    }
    out->open.transport = o.transport == QUORIX_TRANSPORT_TCP   ? QPULL::Transport::Tcp
                          : o.transport == QUORIX_TRANSPORT_UDP ? QPULL::Transport::Udp
                                                                : QPULL::Transport::Auto;
    out->open.timeoutMs = o.timeoutMs == 0 ? kDefaultTimeoutMs : o.timeoutMs;
    out->open.user = o.user != nullptr ? o.user : "";
    out->open.password = o.password != nullptr ? o.password : "";
    out->reconnect = o.reconnect != 0;
    out->retryMinMs = o.retryMinMs;
    out->retryMaxMs = o.retryMaxMs;
    out->maxRetries = o.maxRetries;
    out->fast = o.pacing == QUORIX_PACING_FAST;
    return QUORIX_OK;
}

}  // namespace

extern "C" {

void QUORIX_CameraDefaultOptions(QUORIX_CAMERA_OPTIONS* options) {
    if (options == nullptr)
        return;
    std::memset(options, 0, sizeof(*options));
    options->size = sizeof(*options);
    options->transport = QUORIX_TRANSPORT_AUTO;
    options->timeoutMs = kDefaultTimeoutMs;
    options->reconnect = 1;
    options->retryMinMs = 500;
    options->retryMaxMs = 8000;
    options->pacing = QUORIX_PACING_STAMPS;
    options->model = QUORIX_MODEL_NORMAL;
}

uint32_t QUORIX_CameraOpen(uint16_t port, const char* url, const QUORIX_CAMERA_OPTIONS* options,
                           QUORIX_CameraStateCallback cb, void* user) {
    return GuardedLoading([&] {
        const PortAccess access = CheckPort(port);
        if (!access)
            return access.code;
        CPlayer& player = *access.player;
        if (url == nullptr || QPULL::CheckUrl(url) != QUORIX_OK)
            return QUORIX_E_PARAM;
        QUORIX_CAMERA_OPTIONS given;
        QUORIX_CameraDefaultOptions(&given);
        if (options != nullptr) {
            if (options->size != sizeof(QUORIX_CAMERA_OPTIONS))
                return QUORIX_E_PARAM;
            given = *options;
        }
        QPULL::SessionOptions session;
        const uint32_t checked = ToSessionOptions(given, &session);
        if (checked != QUORIX_OK)
            return checked;
        if (player.GetStreamSource() != nullptr)
            return QUORIX_E_PORT_BUSY;
        const uint32_t opened =
            player.OpenStream(given.model, nullptr, 0, given.modelData, given.modelLen);
        if (opened != QUORIX_OK)
            return opened;
        QPULL::StateCallback onState;
        if (cb != nullptr)
            onState = [cb, port, user](uint32_t state, uint32_t code) {
                cb(port, state, code, user);
            };
        auto source = std::make_shared<CCameraSource>(url, session, player, std::move(onState));
        player.SetStreamSource(source);
        if (source->Session().Start() != QUORIX_OK) {
            player.CloseStream();
            return QUORIX_E_THREAD_CREATE;
        }
        return QUORIX_OK;
    });
}

uint32_t QUORIX_CameraClose(uint16_t port) {
    return OnPort(port, [](CPlayer& player) {
        const std::shared_ptr<CPlayer::IStreamSource> source = player.GetStreamSource();
        CCameraSource* camera = CameraOf(source);
        if (camera == nullptr)
            return QUORIX_E_STATE;
        // Its own thread cannot wait for itself to end.
        if (camera->Session().OnOwnThread())
            return QUORIX_E_STATE;
        player.CloseStream();
        return QUORIX_OK;
    });
}

uint32_t QUORIX_CameraGetState(uint16_t port, uint32_t* state, uint32_t* code) {
    return OnPort(port, [=](CPlayer& player) {
        const std::shared_ptr<CPlayer::IStreamSource> source = player.GetStreamSource();
        CCameraSource* camera = CameraOf(source);
        uint32_t current = QUORIX_CAMERA_CLOSED;
        uint32_t reason = QUORIX_OK;
        if (camera != nullptr)
            current = camera->Session().GetState(&reason);
        if (state != nullptr)
            *state = current;
        if (code != nullptr)
            *code = reason;
        return QUORIX_OK;
    });
}

}  // extern "C"
