// The one port whose sound is heard, and the device volume, through the exported functions. The
// device is an ALSA PCM that writes what it plays into a WAV file; the application object's wave
// output tells when the chosen port's blocks have been queued.

#include <gtest/gtest.h>
#include <quorixsdk.h>
#include <stdlib.h>

#include <chrono>
#include <cmath>
#include <thread>
#include <vector>

#include "audio_support.h"
#include "media/hmfformat.h"
#include "sdk/quorixapp.h"
#include "support/capture_support.h"
#include "support/media_encoder.h"

namespace {

const bool g_headless = [] {
    unsetenv("DISPLAY");
    return true;
}();

constexpr uint32_t kSamples = 320;  // 40 ms at 8 kHz

std::vector<uint8_t> AudioRecord(uint32_t sequence, int16_t level) {
    const std::vector<int16_t> pcm(kSamples, level);
    const std::vector<uint8_t> payload = quorix_test::EncodeG711(true, pcm);
    BRIXEL::HMFFrameHeader header = BRIXEL::HMFNewFrameHeader();
    header.type = BRIXEL::HMF_KIND_AUDIO;
    header.sequence = sequence;
    header.timestamp = sequence * 40;
    header.codec = 3;  // G.711 A-law
    header.SetAudioFormat(1, 16, 8000);
    header.payloadLength = static_cast<uint32_t>(payload.size());
    std::vector<uint8_t> record(BRIXEL::kHMFFrameHeaderSize + payload.size());
    BRIXEL::HMFSerializeFrameHeader(header, record.data());
    std::copy(payload.begin(), payload.end(), record.begin() + BRIXEL::kHMFFrameHeaderSize);
    return record;
}

// Waits until the wave output has queued `count` blocks in all and handed them to the device.
// The blocks come from a port's audio thread, which says nothing when it is done: the count is
// watched without sleeping, up to a generous bound.
bool WaitForBlocks(uint32_t count) {
    BRIXEL::CWaveOut* wave = GetApp().GetWaveOut();
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(capturetest::kWaitMs);
    while (wave->GetWriteCount() < count) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::yield();
    }
    return wave->Drain(audio_test::kDrainMs);
}

// Every sample of a WAV file is near `level` (A-law keeps about 3 % at these levels).
void ExpectOnlyLevel(const audio_test::WavFile& wav, int16_t level, size_t samples) {
    ASSERT_TRUE(wav.ok);
    ASSERT_EQ(samples * 2, wav.data.size());
    for (size_t i = 0; i + 1 < wav.data.size(); i += 2) {
        const int16_t s = static_cast<int16_t>(wav.data[i] | wav.data[i + 1] << 8);
        ASSERT_NEAR(level, s, std::abs(level) / 16 + 16) << "sample " << i / 2;
    }
}

class CaptureAudio : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(g_headless);
        ASSERT_FALSE(quorix_test::EncodeG711(true, {0, 0}).empty()) << "G.711 encoder missing";
        audio_test::UseDevice("null");
        ASSERT_EQ(QUORIX_OK, QUORIX_InitSDK());
        // Ports 0 to 5, each on a live stream.
        for (uint16_t i = 0; i < 6; ++i) {
            uint16_t port = 0;
            ASSERT_EQ(QUORIX_OK, QUORIX_GetPort(&port));
            ASSERT_EQ(i, port);
            ASSERT_EQ(QUORIX_OK, QUORIX_OpenStream(port, 1, nullptr, 0, nullptr, 0));
            ASSERT_EQ(QUORIX_OK, QUORIX_Play(port, 0, nullptr, 0));
        }
    }
    void TearDown() override {
        QUORIX_StopAudio();
        for (uint16_t i = 0; i < 6; ++i)
            QUORIX_FreePort(i);
        QUORIX_ReleaseSDK();
    }
    static void Push(uint16_t port, const std::vector<uint8_t>& record) {
        ASSERT_EQ(QUORIX_OK, QUORIX_InputStreamData(port, record.data(),
                                                    static_cast<uint32_t>(record.size())));
    }
};

TEST_F(CaptureAudio, OnlyTheLastChosenPortIsHeard) {
    std::string firstWav, secondWav;
    audio_test::UseDevice(audio_test::WavDevice("chosen", &firstWav));
    ASSERT_EQ(QUORIX_OK, QUORIX_PlayAudio(3));
    ASSERT_EQ(QUORIX_OK, QUORIX_PlayAudio(5));
    ASSERT_EQ(QUORIX_OK, QUORIX_SetVolume(5, 100));  // the gain applies to what is written
    const uint32_t before = GetApp().GetWaveOut()->GetWriteCount();
    constexpr uint32_t kRecords = 6;  // fewer than the ring's blocks, so none waits for the device
    for (uint32_t i = 0; i < kRecords; ++i) {
        Push(3, AudioRecord(i, 8000));
        Push(5, AudioRecord(i, -3000));
    }
    ASSERT_TRUE(WaitForBlocks(before + kRecords));
    ASSERT_EQ(QUORIX_OK, QUORIX_StopAudio());  // closes the device: the WAV file is complete
    ExpectOnlyLevel(audio_test::ReadWav(firstWav), -3000, kRecords * kSamples);

    // Stopped: neither port is heard. Port 0 takes the sound next, so whatever the two ports'
    // threads still do with their records, only port 0's level may reach the new file.
    for (uint32_t i = 0; i < kRecords; ++i) {
        Push(3, AudioRecord(100 + i, 8000));
        Push(5, AudioRecord(100 + i, -3000));
    }
    audio_test::UseDevice(audio_test::WavDevice("after_stop", &secondWav));
    ASSERT_EQ(QUORIX_OK, QUORIX_PlayAudio(0));
    const uint32_t marker = GetApp().GetWaveOut()->GetWriteCount();
    for (uint32_t i = 0; i < 3; ++i)
        Push(0, AudioRecord(200 + i, 1000));
    ASSERT_TRUE(WaitForBlocks(marker + 3));
    ASSERT_EQ(QUORIX_OK, QUORIX_StopAudio());
    ExpectOnlyLevel(audio_test::ReadWav(secondWav), 1000, 3 * kSamples);
}

TEST_F(CaptureAudio, VolumeAndDevicesThatCannotOpen) {
    // The port holds the sound even when there is no device to play it on.
    audio_test::UseDevice("no_such_quorix_device");
    EXPECT_EQ(QUORIX_OK, QUORIX_PlayAudio(2));
    EXPECT_EQ(2u, GetApp().GetAudioPort());
    EXPECT_EQ(0u, QUORIX_GetVolume(2));

    audio_test::UseDevice("null");
    ASSERT_EQ(QUORIX_OK, QUORIX_PlayAudio(1));
    for (uint32_t volume : {50u, 40u, 100u, 0u}) {
        EXPECT_EQ(QUORIX_OK, QUORIX_SetVolume(1, volume));
        EXPECT_NEAR(volume, QUORIX_GetVolume(1), 1u) << volume;
        EXPECT_NEAR(volume, QUORIX_GetVolume(4), 1u) << "the volume is the device's";
    }
    EXPECT_EQ(QUORIX_OK, QUORIX_SetVolume(1, 250));
    EXPECT_EQ(100u, QUORIX_GetVolume(1));

    // Checks: a port not in use, out of range; a getter answers 0.
    EXPECT_EQ(QUORIX_E_PARAM, QUORIX_PlayAudio(7));
    EXPECT_EQ(QUORIX_E_PARAM, QUORIX_PlayAudio(128));
    EXPECT_EQ(QUORIX_E_PARAM, QUORIX_SetVolume(7, 10));
    EXPECT_EQ(0u, QUORIX_GetVolume(7));
    EXPECT_EQ(1u, GetApp().GetAudioPort());
    EXPECT_EQ(QUORIX_OK, QUORIX_StopAudio());
    EXPECT_EQ(QUORIX_NO_AUDIO_PORT, GetApp().GetAudioPort());
}

}  // namespace
