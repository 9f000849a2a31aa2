// The shared wave output over the ALSA backend: what reaches the card, format changes, the
// ring's drop rule, reset, volume, a device that cannot be opened, and steady-state writes.

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <thread>
#include <vector>

#include <quorixsdk.h>

#include "audio_support.h"
#include "codec/dec_audio.h"
#include "codec/decoder.h"
#include "media/waveout.h"
#include "support/media_encoder.h"

namespace {

using audio_test::CDeviceProbe;
using audio_test::kDrainMs;
using BRIXEL::CWaveOut;

std::vector<uint8_t> Pattern(size_t bytes, uint8_t seed) {
    std::vector<uint8_t> out(bytes);
    for (size_t i = 0; i < bytes; ++i)
        out[i] = static_cast<uint8_t>(seed + i * 7);
    return out;
}

std::vector<int16_t> Tone(size_t samples, double hz, double rate) {
    std::vector<int16_t> pcm(samples);
    for (size_t i = 0; i < samples; ++i)
        pcm[i] = static_cast<int16_t>(12000.0 *
                                      std::sin(2.0 * M_PI * hz * static_cast<double>(i) / rate));
    return pcm;
}

// The audio port's path: packets of G.711 decoded by the codec layer and written as they come,
// 20 ms at a time. What the card receives must be the decoder's PCM, byte for byte.
TEST(WaveOut, DecodedG711ReachesTheCardUnchanged) {
    for (const bool aLaw : {true, false}) {
        SCOPED_TRACE(aLaw ? "A-law" : "mu-law");
        std::string path;
        audio_test::UseDevice(audio_test::WavDevice(aLaw ? "g711a" : "g711u", &path));
        const std::vector<uint8_t> codes = quorix_test::EncodeG711(aLaw, Tone(8000, 440.0, 8000.0));
        ASSERT_EQ(codes.size(), 8000u);

        HCC::CDecG711 decoder;
        ASSERT_EQ(decoder.Open(aLaw ? HCC::CODEC_G711A : HCC::CODEC_G711U), QUORIX_OK);
        std::vector<uint8_t> expected;
        {
            CWaveOut wave;
            ASSERT_EQ(wave.Open(), 0);
            for (size_t at = 0; at < codes.size(); at += 160) {
                uint8_t* pcm = nullptr;
                uint32_t pcmBytes = 0;
                ASSERT_EQ(decoder.DecodeAudio(codes.data() + at, 160, pcm, pcmBytes), QUORIX_OK);
                expected.insert(expected.end(), pcm, pcm + pcmBytes);
                ASSERT_EQ(wave.SetFormat(1, 16, 8000), 0);
                ASSERT_EQ(wave.Write(pcm, pcmBytes), 0);
                // Ten blocks at most are in flight: let the card catch up before the ring wraps.
                if (wave.GetWriteCount() % CWaveOut::kBufferCount == 0) {
                    ASSERT_TRUE(wave.Drain(kDrainMs));
                }
            }
            ASSERT_TRUE(wave.Drain(kDrainMs));
            EXPECT_EQ(wave.Close(), 0);
        }
        const audio_test::WavFile wav = audio_test::ReadWav(path);
        ASSERT_TRUE(wav.ok);
        EXPECT_EQ(wav.channels, 1);
        EXPECT_EQ(wav.bitsPerSample, 16);
        EXPECT_EQ(wav.sampleRate, 8000u);
        EXPECT_EQ(wav.data, expected);
    }
}

TEST(WaveOut, FormatChangeReopensPausedAndTheNextWriteRestarts) {
    std::string path;
    audio_test::UseDevice(audio_test::WavDevice("reopen", &path));
    CDeviceProbe::Record record;
    CWaveOut wave(std::make_unique<CDeviceProbe>(&record));

    ASSERT_EQ(wave.Open(), 0);
    EXPECT_EQ(wave.Open(), 0);  // an open device is kept
    EXPECT_EQ(record.opens, 1);
    EXPECT_TRUE(wave.IsPaused());

    const std::vector<uint8_t> first = Pattern(640, 1);
    EXPECT_EQ(wave.SetFormat(1, 16, 8000), 0);  // the format it was opened with
    EXPECT_EQ(record.opens, 1);
    ASSERT_EQ(wave.Write(first.data(), 640), 0);
    EXPECT_FALSE(wave.IsPaused());
    ASSERT_TRUE(wave.Drain(kDrainMs));

    EXPECT_EQ(wave.SetFormat(2, 16, 16000), 0);
    EXPECT_EQ(record.opens, 2);
    EXPECT_EQ(record.lastFormat, (QXPLAT::WaveFormat{2, 16, 16000}));
    EXPECT_TRUE(wave.IsOpen());
    EXPECT_TRUE(wave.IsPaused());

    const std::vector<uint8_t> second = Pattern(1000, 2);
    ASSERT_EQ(wave.Write(second.data(), 1000), 0);
    EXPECT_FALSE(wave.IsPaused());
    EXPECT_EQ(wave.SetFormat(2, 16, 16000), 0);
    EXPECT_EQ(record.opens, 2);
    ASSERT_TRUE(wave.Drain(kDrainMs));
    wave.Close();

    // The reopened card took the new format and only what was written after it.
    const audio_test::WavFile wav = audio_test::ReadWav(path);
    ASSERT_TRUE(wav.ok);
    EXPECT_EQ(wav.channels, 2);
    EXPECT_EQ(wav.sampleRate, 16000u);
    EXPECT_EQ(wav.data, second);
}

// A card that does not restart keeps all ten blocks queued: the eleventh is dropped, Reset
// hands the ring back, and once the card runs only what followed the reset is heard.
TEST(WaveOut, EleventhBlockIsDroppedUntilResetWhileTheCardStaysPaused) {
    std::string path;
    audio_test::UseDevice(audio_test::WavDevice("held", &path));
    CDeviceProbe::Record record;
    record.holdRestart = true;
    CWaveOut wave(std::make_unique<CDeviceProbe>(&record));
    ASSERT_EQ(wave.Open(), 0);

    for (uint8_t i = 0; i < CWaveOut::kBufferCount; ++i) {
        const std::vector<uint8_t> block = Pattern(320, i);
        ASSERT_EQ(wave.Write(block.data(), 320), 0) << "block " << int(i);
    }
    EXPECT_TRUE(wave.IsPaused());
    EXPECT_EQ(wave.Resume(), -1);
    const std::vector<uint8_t> late = Pattern(320, 99);
    EXPECT_EQ(wave.Write(late.data(), 320), CWaveOut::kBlockDropped);
    EXPECT_EQ(wave.GetWriteCount(), CWaveOut::kBufferCount);
    EXPECT_FALSE(wave.Drain(0));

    EXPECT_EQ(wave.Reset(), 0);
    EXPECT_TRUE(wave.IsOpen());
    const std::vector<uint8_t> afterReset = Pattern(320, 50);
    ASSERT_EQ(wave.Write(afterReset.data(), 320), 0);
    EXPECT_TRUE(wave.IsPaused());

    record.holdRestart = false;
    const std::vector<uint8_t> last = Pattern(480, 60);
    ASSERT_EQ(wave.Write(last.data(), 480), 0);
    EXPECT_FALSE(wave.IsPaused());
    ASSERT_TRUE(wave.Drain(kDrainMs));
    wave.Close();

    std::vector<uint8_t> expected = afterReset;
    expected.insert(expected.end(), last.begin(), last.end());
    const audio_test::WavFile wav = audio_test::ReadWav(path);
    ASSERT_TRUE(wav.ok);
    EXPECT_EQ(wav.data, expected);
}

// Volume 50 is 32750 on both channels of the device word and scales every sample width the
// card can take; it belongs to the device, so it survives a format change.
TEST(WaveOut, VolumeIsADeviceWideGainOnEverySampleWidth) {
    struct Case {
        uint32_t channels;
        uint32_t bits;
    };
    for (const Case c : {Case{1, 8}, Case{2, 16}, Case{2, 24}, Case{1, 32}}) {
        SCOPED_TRACE(testing::Message() << c.channels << " x " << c.bits << " bits");
        std::string path;
        audio_test::UseDevice(audio_test::WavDevice("volume", &path));
        CDeviceProbe::Record record;
        auto probe = std::make_unique<CDeviceProbe>(&record);
        CDeviceProbe* device = probe.get();
        CWaveOut wave(std::move(probe));

        EXPECT_EQ(wave.GetVolume(), 0u);  // no device yet
        wave.SetVolume(50);
        ASSERT_EQ(wave.Open(), 0);
        EXPECT_EQ(wave.GetVolume(), 100u);  // the ignored call left the device at full level
        wave.SetVolume(50);
        EXPECT_EQ(device->GetVolume(), 32750u | (32750u << 16));
        EXPECT_EQ(wave.GetVolume(), 50u);
        ASSERT_EQ(wave.SetFormat(c.channels, c.bits, 11025), 0);
        EXPECT_EQ(wave.GetVolume(), 50u);

        const uint32_t sampleBytes = c.bits / 8;
        const std::vector<uint8_t> block = Pattern(sampleBytes * c.channels * 200, 3);
        ASSERT_EQ(wave.Write(block.data(), static_cast<uint32_t>(block.size())), 0);
        ASSERT_TRUE(wave.Drain(kDrainMs));
        wave.Close();

        const audio_test::WavFile wav = audio_test::ReadWav(path);
        ASSERT_TRUE(wav.ok);
        ASSERT_EQ(wav.data.size(), block.size());
        const double gain = 32750.0 / 65535.0;
        for (size_t i = 0; i < block.size(); i += sampleBytes) {
            int64_t in = 0;
            int64_t out = 0;
            for (uint32_t b = 0; b < sampleBytes; ++b) {
                in |= static_cast<int64_t>(block[i + b]) << (8 * b);
                out |= static_cast<int64_t>(wav.data[i + b]) << (8 * b);
            }
            const int64_t half = int64_t{1} << (c.bits - 1);
            if (c.bits == 8) {  // unsigned, centred on 128
                in -= 128;
                out -= 128;
            } else {
                in = (in ^ half) - half;
                out = (out ^ half) - half;
            }
            ASSERT_LE(std::llabs(out - std::llround(static_cast<double>(in) * gain)), 1)
                << "sample " << i / sampleBytes;
        }
    }
    // Above 100 is taken as 100 rather than wrapping into the other channel.
    audio_test::UseDevice("null");
    CWaveOut wave;
    ASSERT_EQ(wave.Open(), 0);
    wave.SetVolume(250);
    EXPECT_EQ(wave.GetVolume(), 100u);
    wave.SetVolume(0);
    EXPECT_EQ(wave.GetVolume(), 0u);
}

TEST(WaveOut, DeviceThatCannotOpenAnswersMinusOneUntilAnOpenSucceeds) {
    audio_test::UseDevice("quorix_no_such_pcm");
    CWaveOut wave;
    const std::vector<uint8_t> block = Pattern(320, 4);
    EXPECT_EQ(wave.Open(), CWaveOut::kNoDevice);
    EXPECT_FALSE(wave.IsOpen());
    EXPECT_EQ(wave.Write(block.data(), 320), CWaveOut::kNoDevice);
    EXPECT_EQ(wave.Resume(), 0);
    EXPECT_EQ(wave.Reset(), 0);
    wave.SetVolume(30);
    EXPECT_EQ(wave.GetVolume(), 0u);
    EXPECT_EQ(wave.SetFormat(2, 16, 44100), CWaveOut::kNoDevice);
    EXPECT_EQ(wave.Close(), 0);

    audio_test::UseDevice("null");
    EXPECT_EQ(wave.Write(block.data(), 320), CWaveOut::kNoDevice);  // nothing reopens by itself
    ASSERT_EQ(wave.Open(), 0);
    EXPECT_EQ(wave.Write(block.data(), 320), 0);

    // Formats no card takes fail like a missing device; a good one opens again.
    for (const QXPLAT::WaveFormat f :
         {QXPLAT::WaveFormat{1, 12, 8000}, QXPLAT::WaveFormat{0, 16, 8000},
          QXPLAT::WaveFormat{1, 16, 0}, QXPLAT::WaveFormat{65535, 16, 8000}}) {
        EXPECT_EQ(wave.SetFormat(f.channels, f.bitsPerSample, f.sampleRate), CWaveOut::kNoDevice);
        EXPECT_EQ(wave.Write(block.data(), 320), CWaveOut::kNoDevice);
    }
    EXPECT_EQ(wave.SetFormat(1, 8, 8000), 0);
    EXPECT_EQ(wave.Write(block.data(), 320), 0);

    CWaveOut without(nullptr);
    EXPECT_EQ(without.Open(), CWaveOut::kNoDevice);
    EXPECT_EQ(without.Write(block.data(), 320), CWaveOut::kNoDevice);
    EXPECT_TRUE(without.Drain(0));
}

TEST(WaveOut, BadBlocksAreDroppedWithoutTouchingTheRing) {
    audio_test::UseDevice("null");
    CWaveOut wave;
    ASSERT_EQ(wave.Open(), 0);
    EXPECT_EQ(wave.Write(nullptr, 320), CWaveOut::kBlockDropped);
    std::vector<uint8_t> small(16);
    const uint64_t before = audio_test::AllocationCount();
    EXPECT_EQ(wave.Write(small.data(), CWaveOut::kMaxBlockBytes + 1), CWaveOut::kBlockDropped);
    EXPECT_EQ(audio_test::AllocationCount(), before);
    EXPECT_EQ(wave.GetWriteCount(), 0u);
    EXPECT_EQ(wave.Write(nullptr, 0), 0);  // an empty block plays nothing
    EXPECT_TRUE(wave.Drain(kDrainMs));
}

TEST(WaveOut, SteadyWritesAllocateNothing) {
    if (!audio_test::CountsAllocations())
        GTEST_SKIP() << "allocations are not counted in this build";
    audio_test::UseDevice("null");
    CWaveOut wave;
    ASSERT_EQ(wave.Open(), 0);
    const std::vector<uint8_t> block = Pattern(640, 5);
    // Warm-up: every ring block reaches its size once.
    for (uint32_t i = 0; i < CWaveOut::kBufferCount; ++i)
        ASSERT_EQ(wave.Write(block.data(), 640), 0);
    ASSERT_TRUE(wave.Drain(kDrainMs));

    int failures = 0;
    const uint64_t before = audio_test::AllocationCount();
    for (uint32_t i = 0; i < 20 * CWaveOut::kBufferCount; ++i) {
        // Shorter blocks fit the grown ones too.
        failures += wave.Write(block.data(), i % 2 == 0 ? 640 : 320) != 0;
        if ((i + 1) % CWaveOut::kBufferCount == 0)
            failures += !wave.Drain(kDrainMs);
    }
    const uint64_t made = audio_test::AllocationCount() - before;
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(made, 0u);
}

// Several ports' stream threads and a host thread on the one output: every write is queued or
// dropped, nothing else, and the card drains afterwards.
TEST(WaveOut, PortsShareTheOutputFromManyThreads) {
    audio_test::UseDevice("null");
    CWaveOut wave;
    ASSERT_EQ(wave.Open(), 0);
    std::atomic<int> unexpected{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&wave, &unexpected, t] {
            const std::vector<uint8_t> block = Pattern(320, static_cast<uint8_t>(t));
            for (int i = 0; i < 300; ++i) {
                const int32_t r = wave.Write(block.data(), 320);
                if (r != 0 && r != CWaveOut::kBlockDropped)
                    ++unexpected;
            }
        });
    }
    threads.emplace_back([&wave] {
        for (uint32_t i = 0; i < 100; ++i) {
            wave.SetVolume(i % 101);
            wave.GetVolume();
            if (i % 10 == 0)
                wave.Reset();
        }
    });
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(unexpected.load(), 0);
    EXPECT_TRUE(wave.Drain(kDrainMs));
    EXPECT_TRUE(wave.IsOpen());
}

}  // namespace
