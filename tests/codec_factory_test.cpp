// Factory table, run-time class records and the guarded entry points of the decoder layer.

#include <gtest/gtest.h>
#include <quorixsdk.h>

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/hevent.h"
#include "base/hlog.h"
#include "base/hthread.h"
#include "codec/dec_audio.h"
#include "codec/dec_ffmpeg.h"
#include "codec/dec_hisi.h"
#include "codec/dec_ximage.h"
#include "codec/decoder.h"

extern "C" {
#include <libavutil/log.h>
}

namespace HCC {
namespace {

struct FactoryCase {
    uint32_t codec;
    uint32_t module;
    uint32_t result;
    const char* className;  // null when refused
};

TEST(DecoderFactory, ChoosesTheClassForEachCodecAndModule) {
    const FactoryCase cases[] = {
        // module 0 chooses by codec
        {CODEC_H264, MODULE_AUTO, QUORIX_OK, "CDecFFmpeg"},
        {CODEC_MJPEG, MODULE_AUTO, QUORIX_OK, "CDecHisi"},
        {CODEC_H265, MODULE_AUTO, QUORIX_OK, "CDecHisi"},
        {CODEC_G711A, MODULE_AUTO, QUORIX_OK, "CDecG711"},
        {CODEC_G711U, MODULE_AUTO, QUORIX_OK, "CDecG711"},
        {CODEC_PCM, MODULE_AUTO, QUORIX_E_PARAM, nullptr},
        {CODEC_AAC, MODULE_AUTO, QUORIX_E_PARAM, nullptr},
        {CODEC_NONE, MODULE_AUTO, QUORIX_E_PARAM, nullptr},
        {9, MODULE_AUTO, QUORIX_E_PARAM, nullptr},
        // explicit modules
        {CODEC_H264, MODULE_FFMPEG, QUORIX_OK, "CDecFFmpeg"},
        {CODEC_H265, MODULE_FFMPEG, QUORIX_OK, "CDecFFmpeg"},
        {CODEC_MJPEG, MODULE_FFMPEG, QUORIX_E_PARAM, nullptr},
        {CODEC_G711A, MODULE_FFMPEG, QUORIX_E_PARAM, nullptr},
        {CODEC_H264, MODULE_HISI, QUORIX_OK, "CDecHisi"},
        {CODEC_MJPEG, MODULE_HISI, QUORIX_OK, "CDecHisi"},
        {CODEC_G711U, MODULE_HISI, QUORIX_E_PARAM, nullptr},
        {CODEC_MJPEG, MODULE_HOME, QUORIX_OK, "CDecXImage"},
        {CODEC_G711A, MODULE_HOME, QUORIX_OK, "CDecG711"},
        {CODEC_H264, MODULE_HOME, QUORIX_E_PARAM, nullptr},
        {CODEC_H265, MODULE_HOME, QUORIX_E_PARAM, nullptr},
        {CODEC_PCM, MODULE_HOME, QUORIX_E_PARAM, nullptr},
        {CODEC_AAC, MODULE_HOME, QUORIX_E_PARAM, nullptr},
        {CODEC_H264, MODULE_INTER, QUORIX_E_PARAM, nullptr},
        {CODEC_H264, MODULE_NVIDIA, QUORIX_E_PARAM, nullptr},
        {CODEC_H265, MODULE_AMD, QUORIX_E_PARAM, nullptr},
        {CODEC_H264, 7, QUORIX_E_PARAM, nullptr},
    };
    for (const FactoryCase& c : cases) {
        SCOPED_TRACE("codec " + std::to_string(c.codec) + " module " + std::to_string(c.module));
        HDECODER handle = reinterpret_cast<HDECODER>(&handle);  // must be overwritten in every case
        EXPECT_EQ(CreateDecoder(c.codec, c.module, &handle), c.result);
        if (c.className == nullptr) {
            EXPECT_EQ(handle, nullptr);
            continue;
        }
        ASSERT_NE(handle, nullptr);
        EXPECT_STREQ(handle->GetRuntimeClass()->className, c.className);
        EXPECT_TRUE(handle->IsKindOf(H_RUNTIME_CLASS(CDecoder)));
        auto* decoder = static_cast<CDecoder*>(handle);
        EXPECT_TRUE(decoder->IsOpened());
        EXPECT_EQ(decoder->GetCodec(), c.codec);
        EXPECT_EQ(DestroyDecoder(handle), QUORIX_OK);
    }
    EXPECT_EQ(CreateDecoder(CODEC_H264, MODULE_AUTO, nullptr), QUORIX_E_PARAM);
}

TEST(DecoderFactory, RuntimeRecordsNameEachClassWithTheDecoderAsBase) {
    CDecFFmpeg ffmpeg;
    CDecHisi hisi;
    CDecXImage ximage;
    CDecG711 g711;
    CDecAAC aac;
    const BRIXEL::CHObject* objects[] = {&ffmpeg, &hisi, &ximage, &g711, &aac};
    const char* names[] = {"CDecFFmpeg", "CDecHisi", "CDecXImage", "CDecG711", "CDecAAC"};
    for (int i = 0; i < 5; ++i) {
        EXPECT_STREQ(objects[i]->GetRuntimeClass()->className, names[i]);
        EXPECT_EQ(objects[i]->GetRuntimeClass()->baseClass, H_RUNTIME_CLASS(CDecoder));
        EXPECT_TRUE(objects[i]->IsKindOf(H_RUNTIME_CLASS(CDecoder)));
        EXPECT_FALSE(objects[i]->IsKindOf(H_RUNTIME_CLASS(CDecFFmpeg)) && i != 0);
    }
}

// Captures the logger's debugger output in a temporary file while alive.
class LogCapture {
public:
    LogCapture() {
        char path[] = "/tmp/codec_log_XXXXXX";
        m_fd = mkstemp(path);
        unlink(path);
        BRIXEL::CHLog::Instance().SetDebugFd(m_fd);
        BRIXEL::CHLog::Instance().Configure(1, 0, nullptr, nullptr);
    }
    ~LogCapture() {
        BRIXEL::CHLog::Instance().Configure(0, 0, nullptr, nullptr);
        BRIXEL::CHLog::Instance().SetDebugFd(2);
        close(m_fd);
    }
    std::string Text() const {
        std::string text;
        char buffer[4096];
        ssize_t n;
        off_t offset = 0;
        while ((n = pread(m_fd, buffer, sizeof buffer, offset)) > 0) {
            text.append(buffer, static_cast<size_t>(n));
            offset += n;
        }
        return text;
    }

private:
    int m_fd = -1;
};

TEST(DecoderFactory, LogsTheDefaultModuleOnlyWhenItChoosesOne) {
    LogCapture capture;
    HDECODER handle = nullptr;
    ASSERT_EQ(CreateDecoder(CODEC_H264, MODULE_AUTO, &handle), QUORIX_OK);
    EXPECT_EQ(DestroyDecoder(handle), QUORIX_OK);
    EXPECT_EQ(CreateDecoder(9, MODULE_AUTO, &handle), QUORIX_E_PARAM);
    EXPECT_EQ(CreateDecoder(CODEC_H264, MODULE_HISI, &handle), QUORIX_OK);
    EXPECT_EQ(DestroyDecoder(handle), QUORIX_OK);

    const std::string text = capture.Text();
    EXPECT_NE(text.find("Find default module 'ffmpeg' for decode 'h264'."), std::string::npos)
        << text;
    EXPECT_NE(text.find("Find default module 'home' for decode 'unknow(9)'."), std::string::npos)
        << text;
    EXPECT_NE(text.find("hcodec"), std::string::npos) << text;
    EXPECT_NE(text.find("HCC::CDecoder::CreateDecoder"), std::string::npos) << text;
    EXPECT_EQ(text.find("'hisi'"), std::string::npos) << "an explicit module is not logged";
}

TEST(DecoderFactory, NamesFollowTheNumberTables) {
    char scratch[32];
    EXPECT_STREQ(CodecName(CODEC_G711U, scratch), "g711u");
    EXPECT_STREQ(CodecName(CODEC_AAC, scratch), "aac");
    EXPECT_STREQ(CodecName(123, scratch), "unknow(123)");
    EXPECT_STREQ(ModuleName(MODULE_HOME, scratch), "home");
    EXPECT_STREQ(ModuleName(MODULE_NVIDIA, scratch), "nvidia");
    EXPECT_STREQ(ModuleName(7, scratch), "unknow(7)");
}

// A decoder whose calls throw, to see the entry points turn exceptions into results.
class CThrowingDecoder : public CDecoder {
    H_DECLARE_RUNTIME_CLASS(CThrowingDecoder)
public:
    explicit CThrowingDecoder(bool* destroyed) : m_destroyed(destroyed) {}
    ~CThrowingDecoder() override { *m_destroyed = true; }
    bool IsSupport(uint32_t) const override { return true; }
    void Close() override {
        if (throwOnClose)
            throw std::runtime_error("close");
    }
    uint32_t DecodeVideo(const uint8_t*, uint32_t, uint32_t&, uint32_t&, uint32_t&, uint8_t* [3],
                         uint32_t[3], uint32_t[3]) override {
        throw std::bad_alloc();
    }
    uint32_t DecodeAudio(const uint8_t*, uint32_t, uint8_t*&, uint32_t&) override { throw 42; }
    bool throwOnClose = true;

private:
    bool* m_destroyed;
};
H_IMPLEMENT_RUNTIME_CLASS(CThrowingDecoder, CDecoder)

struct VideoOut {
    uint32_t width = 0, height = 0, format = 0;
    uint8_t* planes[3] = {};
    uint32_t sizes[3] = {};
    uint32_t strides[3] = {};
};

TEST(DecoderEntryPoints, RefuseWhatIsNotADecoderAndLeaveItAlone) {
    BRIXEL::CHObject notADecoder;
    const uint8_t data[4] = {0, 0, 0, 1};
    VideoOut v;
    uint8_t* pcm = nullptr;
    uint32_t pcmSize = 0;
    EXPECT_EQ(DecodeVideo(&notADecoder, data, 4, &v.width, &v.height, &v.format, v.planes, v.sizes,
                          v.strides),
              QUORIX_E_PARAM);
    EXPECT_EQ(DecodeAudio(&notADecoder, data, 4, &pcm, &pcmSize), QUORIX_E_PARAM);
    EXPECT_EQ(DestroyDecoder(&notADecoder), QUORIX_E_PARAM);
    EXPECT_STREQ(notADecoder.GetRuntimeClass()->className, "CHObject");
    EXPECT_EQ(DestroyDecoder(nullptr), QUORIX_E_PARAM);
    EXPECT_EQ(
        DecodeVideo(nullptr, data, 4, &v.width, &v.height, &v.format, v.planes, v.sizes, v.strides),
        QUORIX_E_PARAM);
    EXPECT_EQ(DecodeAudio(nullptr, data, 4, &pcm, &pcmSize), QUORIX_E_PARAM);
}

TEST(DecoderEntryPoints, CheckPointersAndKindsBeforeDecoding) {
    HDECODER video = nullptr;
    HDECODER audio = nullptr;
    ASSERT_EQ(CreateDecoder(CODEC_H264, MODULE_FFMPEG, &video), QUORIX_OK);
    ASSERT_EQ(CreateDecoder(CODEC_G711A, MODULE_AUTO, &audio), QUORIX_OK);
    const uint8_t data[4] = {0xD5, 0xD5, 0xD5, 0xD5};
    VideoOut v;
    uint8_t* pcm = nullptr;
    uint32_t pcmSize = 0;

    EXPECT_EQ(
        DecodeVideo(video, data, 4, nullptr, &v.height, &v.format, v.planes, v.sizes, v.strides),
        QUORIX_E_PARAM);
    EXPECT_EQ(
        DecodeVideo(video, data, 4, &v.width, &v.height, &v.format, nullptr, v.sizes, v.strides),
        QUORIX_E_PARAM);
    EXPECT_EQ(
        DecodeVideo(video, data, 4, &v.width, &v.height, &v.format, v.planes, v.sizes, nullptr),
        QUORIX_E_PARAM);
    // The decoder itself checks data and size for video.
    EXPECT_EQ(DecodeVideo(video, nullptr, 4, &v.width, &v.height, &v.format, v.planes, v.sizes,
                          v.strides),
              QUORIX_E_PARAM);
    EXPECT_EQ(
        DecodeVideo(video, data, 0, &v.width, &v.height, &v.format, v.planes, v.sizes, v.strides),
        QUORIX_E_PARAM);
    EXPECT_EQ(DecodeAudio(audio, nullptr, 4, &pcm, &pcmSize), QUORIX_E_PARAM);
    EXPECT_EQ(DecodeAudio(audio, data, 4, nullptr, &pcmSize), QUORIX_E_PARAM);
    EXPECT_EQ(DecodeAudio(audio, data, 0, &pcm, &pcmSize), QUORIX_E_PARAM);

    // A call of the wrong kind reaches the base operation.
    EXPECT_EQ(DecodeAudio(video, data, 4, &pcm, &pcmSize), QUORIX_E_NOT_IMPL);
    EXPECT_EQ(
        DecodeVideo(audio, data, 4, &v.width, &v.height, &v.format, v.planes, v.sizes, v.strides),
        QUORIX_E_NOT_IMPL);
    EXPECT_EQ(DecodeAudio(audio, data, 4, &pcm, &pcmSize), QUORIX_OK);
    EXPECT_EQ(pcmSize, 8u);
    EXPECT_EQ(DestroyDecoder(video), QUORIX_OK);
    EXPECT_EQ(DestroyDecoder(audio), QUORIX_OK);
}

TEST(DecoderEntryPoints, TurnExceptionsIntoResults) {
    bool destroyed = false;
    auto decoder = std::make_unique<CThrowingDecoder>(&destroyed);
    ASSERT_EQ(decoder->Open(CODEC_H264), QUORIX_OK);
    const uint8_t data[1] = {0};
    VideoOut v;
    uint8_t* pcm = nullptr;
    uint32_t pcmSize = 0;
    EXPECT_EQ(DecodeVideo(decoder.get(), data, 1, &v.width, &v.height, &v.format, v.planes, v.sizes,
                          v.strides),
              QUORIX_E_EXCEPTION);
    EXPECT_EQ(DecodeAudio(decoder.get(), data, 1, &pcm, &pcmSize), QUORIX_E_EXCEPTION);
    // A decoder that cannot close stays alive.
    EXPECT_EQ(DestroyDecoder(decoder.get()), QUORIX_E_EXCEPTION);
    EXPECT_FALSE(destroyed);
    decoder->throwOnClose = false;
    EXPECT_EQ(DestroyDecoder(decoder.release()), QUORIX_OK);
    EXPECT_TRUE(destroyed);
}

TEST(DecoderLifecycle, OpenIsIdempotentAndClosedDecodersRefuse) {
    const uint8_t data[8] = {0, 0, 0, 1, 0x09, 0xF0, 0, 0};
    CDecFFmpeg ffmpeg;
    CDecHisi hisi;
    CDecXImage ximage;
    CDecG711 g711;
    CDecAAC aac;
    VideoOut v;
    v.width = 320;
    v.height = 240;
    uint8_t* pcm = nullptr;
    uint32_t pcmSize = 0;
    for (CDecoder* d : {static_cast<CDecoder*>(&ffmpeg), static_cast<CDecoder*>(&hisi),
                        static_cast<CDecoder*>(&ximage)}) {
        SCOPED_TRACE(d->GetRuntimeClass()->className);
        EXPECT_EQ(
            d->DecodeVideo(data, 8, v.width, v.height, v.format, v.planes, v.sizes, v.strides),
            QUORIX_E_NOT_INIT);
        EXPECT_EQ(d->Open(CODEC_G711A), QUORIX_E_NOT_IMPL);
        EXPECT_FALSE(d->IsOpened());
    }
    EXPECT_EQ(g711.DecodeAudio(data, 8, pcm, pcmSize), QUORIX_E_NOT_INIT);
    EXPECT_EQ(aac.DecodeAudio(data, 8, pcm, pcmSize), QUORIX_E_NOT_INIT);
    EXPECT_EQ(aac.Open(CODEC_AAC), QUORIX_E_NOT_IMPL);

    ASSERT_EQ(ffmpeg.Open(CODEC_H265), QUORIX_OK);
    EXPECT_EQ(ffmpeg.Open(CODEC_H264), QUORIX_OK);  // already open: nothing changes
    EXPECT_EQ(ffmpeg.GetCodec(), static_cast<uint32_t>(CODEC_H265));
    ffmpeg.Close();
    ffmpeg.Close();
    EXPECT_EQ(
        ffmpeg.DecodeVideo(data, 8, v.width, v.height, v.format, v.planes, v.sizes, v.strides),
        QUORIX_E_NOT_INIT);
    ASSERT_EQ(g711.Open(CODEC_G711U), QUORIX_OK);
    g711.Close();
    EXPECT_EQ(g711.DecodeAudio(data, 8, pcm, pcmSize), QUORIX_E_NOT_INIT);
}

// A decoder that hangs inside the call a worker makes, at a point where a cancellation can take
// effect (an event wait), until the worker is cancelled.
class CHangingDecoder : public CDecoder {
    H_DECLARE_RUNTIME_CLASS(CHangingDecoder)
public:
    bool IsSupport(uint32_t) const override { return true; }
    void Close() override {
        if (hangInClose)
            Hang();
    }
    uint32_t DecodeVideo(const uint8_t*, uint32_t, uint32_t&, uint32_t&, uint32_t&, uint8_t* [3],
                         uint32_t[3], uint32_t[3]) override {
        return Hang();
    }
    uint32_t DecodeAudio(const uint8_t*, uint32_t, uint8_t*&, uint32_t&) override { return Hang(); }

    bool hangInClose = false;
    BRIXEL::CHEvent entered{true, true, false};

private:
    uint32_t Hang() {
        entered.Set();
        BRIXEL::CHEvent never{true, true, false};
        never.Wait(BRIXEL::HINFINITE);
        return QUORIX_OK;
    }
};
H_IMPLEMENT_RUNTIME_CLASS(CHangingDecoder, CDecoder)

enum class EntryPoint { Video, Audio, Destroy };

// A stream's decoding worker: one call into the decoder layer, which hangs.
class CDecodingWorker : public BRIXEL::CHThread {
public:
    CDecodingWorker(CHangingDecoder* decoder, EntryPoint entry)
        : m_decoder(decoder), m_entry(entry) {}
    ~CDecodingWorker() override { Stop(); }
    uint32_t OnThreadLoop(uint64_t) override {
        const uint8_t data[8] = {0, 0, 0, 1, 0x65, 0, 0, 0};
        VideoOut v;
        uint8_t* pcm = nullptr;
        uint32_t pcmSize = 0;
        switch (m_entry) {
            case EntryPoint::Video:
                DecodeVideo(m_decoder, data, 8, &v.width, &v.height, &v.format, v.planes, v.sizes,
                            v.strides);
                break;
            case EntryPoint::Audio:
                DecodeAudio(m_decoder, data, 8, &pcm, &pcmSize);
                break;
            case EntryPoint::Destroy:
                DestroyDecoder(m_decoder);
                break;
        }
        returned.store(true);
        return 1;
    }
    void OnThreadEnd(uint64_t, uint32_t exitCode) override { endCode.store(exitCode); }

    std::atomic<bool> returned{false};
    std::atomic<uint32_t> endCode{0};

private:
    CHangingDecoder* m_decoder;
    EntryPoint m_entry;
};

// The stop of a stream cancels a decoding worker that outlived its stop time-out. Its unwind passes
// the catch-alls of the decoder entry points; one that swallowed it would abort the whole process,
// so each case runs in a child process that must exit normally.
TEST(DecoderCancellation, AWorkerCancelledInsideAnEntryPointUnwindsAndEnds) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const std::pair<EntryPoint, const char*> cases[] = {{EntryPoint::Video, "video"},
                                                        {EntryPoint::Audio, "audio"},
                                                        {EntryPoint::Destroy, "destroy"}};
    for (const auto& [entry, name] : cases) {
        SCOPED_TRACE(name);
        EXPECT_EXIT(
            {
                auto* decoder = new CHangingDecoder();  // a cancelled Destroy leaves it alive
                decoder->hangInClose = entry == EntryPoint::Destroy;
                CDecodingWorker worker(decoder, entry);
                worker.SetStopTimeout(20);  // the hang never ends by itself: cancel soon
                if (worker.Start() != QUORIX_OK)
                    std::_Exit(2);
                if (decoder->entered.Wait(60000) != QUORIX_OK)
                    std::_Exit(3);
                if (worker.Stop() != QUORIX_OK)
                    std::_Exit(4);
                if (worker.returned.load())
                    std::_Exit(5);
                if (worker.endCode.load() != QUORIX_E_THREAD_KILLED)
                    std::_Exit(6);
                std::_Exit(0);
            },
            ::testing::ExitedWithCode(0), "");
    }
}

// FFmpeg writes to standard error by default; a write is where a pending cancellation takes effect.
// A decoding worker whose cancellation is already pending when it decodes a damaged picture must
// come back out of FFmpeg with its result and unwind only afterwards, outside the decoder.
TEST(DecoderCancellation, APendingCancellationWaitsUntilFFmpegHasReturned) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            // Other cases of this suite quiet FFmpeg; here it is to speak as it does by default.
            av_log_set_level(AV_LOG_INFO);
            struct Outcome {
                std::atomic<int> decoded{0};
            } outcome;
            pthread_t thread{};
            auto body = [](void* arg) -> void* {
                auto* out = static_cast<Outcome*>(arg);
                CDecFFmpeg decoder;
                if (decoder.Open(CODEC_H264) != QUORIX_OK)
                    return nullptr;
                // An IDR slice header in front of noise: FFmpeg complains about it on its log.
                std::vector<uint8_t> damaged(4096);
                for (size_t i = 0; i < damaged.size(); ++i)
                    damaged[i] = static_cast<uint8_t>(i * 131 + 7);
                damaged[0] = 0;
                damaged[1] = 0;
                damaged[2] = 1;
                damaged[3] = 0x65;
                pthread_cancel(pthread_self());  // deferred: pending until a cancellation point
                for (int i = 0; i < 8; ++i) {
                    VideoOut v;
                    v.width = 160;
                    v.height = 120;
                    decoder.DecodeVideo(damaged.data(), static_cast<uint32_t>(damaged.size()),
                                        v.width, v.height, v.format, v.planes, v.sizes, v.strides);
                    out->decoded.fetch_add(1);
                }
                pthread_testcancel();
                return nullptr;
            };
            if (pthread_create(&thread, nullptr, body, &outcome) != 0)
                std::_Exit(2);
            void* result = nullptr;
            pthread_join(thread, &result);
            if (result != PTHREAD_CANCELED)
                std::_Exit(3);
            if (outcome.decoded.load() != 8)
                std::_Exit(4);
            std::_Exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace HCC
