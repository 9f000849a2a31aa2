// The ALSA wave-out device on its own: block flags, the ring limit, per-channel levels and
// partial frames, as the card receives them.

#include <gtest/gtest.h>

#include <vector>

#include "audio_support.h"
#include "platform/alsa_waveout.h"
#include "platform/audio_device.h"

namespace {

using audio_test::kDrainMs;
using QXPLAT::WaveBlock;

void Fill(WaveBlock& block, const std::vector<uint8_t>& bytes) {
    block.data = std::make_unique<uint8_t[]>(bytes.size());
    block.capacity = static_cast<uint32_t>(bytes.size());
    block.length = block.capacity;
    std::copy(bytes.begin(), bytes.end(), block.data.get());
}

std::vector<uint8_t> Samples16(const std::vector<int16_t>& samples) {
    std::vector<uint8_t> out;
    for (const int16_t s : samples) {
        out.push_back(static_cast<uint8_t>(s));
        out.push_back(static_cast<uint8_t>(static_cast<uint16_t>(s) >> 8));
    }
    return out;
}

// The formats the device interface promises: 1..32 channels of 8, 16, 24 or 32-bit samples at
// 1..768000 Hz. The platform's backend refuses the others at Open and stays closed.
TEST(WaveDevice, PlayableFormatsAndThePlatformBackendRefusingTheOthers) {
    struct Case {
        QXPLAT::WaveFormat format;
        bool playable;
    };
    const Case cases[] = {
        {{1, 16, 8000}, true},  {{2, 8, 44100}, true},    {{32, 24, 768000}, true},
        {{1, 32, 1}, true},     {{0, 16, 8000}, false},   {{33, 16, 8000}, false},
        {{1, 12, 8000}, false}, {{1, 0, 8000}, false},    {{1, 64, 8000}, false},
        {{1, 16, 0}, false},    {{1, 16, 768001}, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.format.IsPlayable(), c.playable)
            << c.format.channels << " ch " << c.format.bitsPerSample << " bit "
            << c.format.sampleRate << " Hz";
    }
    audio_test::UseDevice("null");
    auto device = QXPLAT::CreatePlatformWaveOut();
    ASSERT_NE(device, nullptr);
    for (const Case& c : cases) {
        if (c.playable)
            continue;
        EXPECT_FALSE(device->Open(c.format))
            << c.format.channels << " ch " << c.format.bitsPerSample << " bit";
        EXPECT_FALSE(device->IsOpen());
    }
    ASSERT_TRUE(device->Open(QXPLAT::WaveFormat{1, 16, 8000}));
    EXPECT_TRUE(device->IsOpen());
    device->Close();
}

TEST(WaveDevice, QueueFlagsRingLimitResetAndClose) {
    audio_test::UseDevice("null");
    auto device = QXPLAT::CreateAlsaWaveOut();
    WaveBlock blocks[QXPLAT::IPlatformWaveOut::kRingSize + 1];
    for (WaveBlock& b : blocks)
        Fill(b, std::vector<uint8_t>(64, 1));
    EXPECT_FALSE(device->WriteBlock(blocks[0]));  // closed

    ASSERT_TRUE(device->Open(QXPLAT::WaveFormat{1, 16, 8000}));
    WaveBlock overlong;
    overlong.length = 64;  // no data behind it
    EXPECT_FALSE(device->WriteBlock(overlong));
    EXPECT_FALSE(overlong.IsQueued());
    // Opened paused: everything stays queued.
    for (uint32_t i = 0; i < QXPLAT::IPlatformWaveOut::kRingSize; ++i)
        ASSERT_TRUE(device->WriteBlock(blocks[i]));
    EXPECT_FALSE(device->WriteBlock(blocks[0]));   // already queued
    EXPECT_FALSE(device->WriteBlock(blocks[10]));  // the ring is full
    for (uint32_t i = 0; i < QXPLAT::IPlatformWaveOut::kRingSize; ++i)
        EXPECT_TRUE(blocks[i].IsQueued());
    EXPECT_FALSE(device->WaitIdle(0));

    device->Reset();
    for (uint32_t i = 0; i < QXPLAT::IPlatformWaveOut::kRingSize; ++i) {
        EXPECT_EQ(blocks[i].flags.load(), QXPLAT::kWaveBlockDone) << i;
    }
    EXPECT_TRUE(device->WaitIdle(0));

    // Reset kept the pause; Restart plays what is queued.
    ASSERT_TRUE(device->WriteBlock(blocks[10]));
    EXPECT_TRUE(blocks[10].IsQueued());
    ASSERT_TRUE(device->Restart());
    ASSERT_TRUE(device->WaitIdle(kDrainMs));
    EXPECT_EQ(blocks[10].flags.load(), QXPLAT::kWaveBlockDone);

    // Close hands back whatever is still queued.
    ASSERT_TRUE(device->Pause());
    ASSERT_TRUE(device->WriteBlock(blocks[0]));
    device->Close();
    EXPECT_FALSE(device->IsOpen());
    EXPECT_EQ(blocks[0].flags.load(), QXPLAT::kWaveBlockDone);
    EXPECT_FALSE(device->Restart());
}

// Left level on channel 0, right level on channel 1; a trailing partial frame is not played.
TEST(WaveDevice, ChannelLevelsAndPartialFrames) {
    std::string path;
    audio_test::UseDevice(audio_test::WavDevice("levels", &path));
    auto device = QXPLAT::CreateAlsaWaveOut();
    ASSERT_TRUE(device->Open(QXPLAT::WaveFormat{2, 16, 8000}));
    device->SetVolume(0x0000FFFFu);  // left full, right silent
    EXPECT_EQ(device->GetVolume(), 0x0000FFFFu);

    const std::vector<int16_t> frames = {1000, 1000, -32768, -32768, 32767, 32767, -1, 7};
    std::vector<uint8_t> bytes = Samples16(frames);
    bytes.push_back(0x55);  // three bytes that are no whole frame
    bytes.push_back(0x66);
    bytes.push_back(0x77);
    WaveBlock block;
    Fill(block, bytes);
    ASSERT_TRUE(device->WriteBlock(block));
    ASSERT_TRUE(device->Restart());
    ASSERT_TRUE(device->WaitIdle(kDrainMs));
    device->Close();

    const audio_test::WavFile wav = audio_test::ReadWav(path);
    ASSERT_TRUE(wav.ok);
    EXPECT_EQ(wav.data, Samples16({1000, 0, -32768, 0, 32767, 0, -1, 0}));
}

// A block longer than the writer's piece size is split without losing or repeating bytes, and
// the device volume survives a reopen.
TEST(WaveDevice, LongBlocksArriveWholeAndVolumeOutlivesReopen) {
    std::string path;
    audio_test::UseDevice(audio_test::WavDevice("long", &path));
    auto device = QXPLAT::CreateAlsaWaveOut();
    ASSERT_TRUE(device->Open(QXPLAT::WaveFormat{1, 16, 8000}));
    device->SetVolume(0x80008000u);
    ASSERT_TRUE(device->Open(QXPLAT::WaveFormat{1, 8, 48000}));
    EXPECT_EQ(device->GetVolume(), 0x80008000u);
    device->SetVolume(QXPLAT::kWaveVolumeFull);

    std::vector<uint8_t> bytes(50001);
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<uint8_t>(i * 31 + i / 251);
    WaveBlock block;
    Fill(block, bytes);
    ASSERT_TRUE(device->WriteBlock(block));
    ASSERT_TRUE(device->Restart());
    ASSERT_TRUE(device->WaitIdle(kDrainMs));
    device->Close();

    const audio_test::WavFile wav = audio_test::ReadWav(path);
    ASSERT_TRUE(wav.ok);
    EXPECT_EQ(wav.sampleRate, 48000u);
    EXPECT_EQ(wav.data, bytes);
}

}  // namespace
