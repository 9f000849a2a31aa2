// Writes the seed corpus of every fuzz target: small well-formed inputs (containers, live
// records and composite packets, model-data blocks, encoded pictures and sound, writer
// programs) that the fuzzer mutates from. Usage: fuzz_seedgen <corpus directory>.

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

#include "codec/decoder.h"
#include "engine_fake.h"
#include "media/hmfformat.h"
#include "panorama/modeldata.h"
#include "support/container_builder.h"
#include "support/media_encoder.h"

using namespace BRIXEL;
using quorixtest::ContainerBuilder;

namespace {

std::filesystem::path g_root;

void Save(const std::string& target, const std::string& name, const std::vector<uint8_t>& bytes) {
    const std::filesystem::path dir = g_root / target;
    std::filesystem::create_directories(dir);
    std::ofstream out(dir / ("seed-" + name), std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

void PutU16(std::vector<uint8_t>& v, uint32_t x) {
    v.push_back(static_cast<uint8_t>(x));
    v.push_back(static_cast<uint8_t>(x >> 8));
}

void Append(std::vector<uint8_t>& v, const std::vector<uint8_t>& bytes) { v.insert(v.end(), bytes.begin(), bytes.end()); }

std::vector<std::pair<std::string, std::vector<uint8_t>>> Containers(uint32_t payload) {
    std::vector<std::pair<std::string, std::vector<uint8_t>>> files;
    {
        ContainerBuilder b;
        b.AddExtension(HMF_EXT_OPEN_INFO, {1, 2, 3, 4});
        b.AddExtension(HMF_EXT_RENDER_PARAM, std::vector<uint8_t>(16, 7));
        b.AddAudio(0, payload);
        b.AddGroups(3, 4, 40, 1000, 10, payload);
        files.push_back({"indexed", b.Build()});
    }
    {
        ContainerBuilder b;
        b.WithIndex(false);
        b.AddGroups(2, 3, 33, 5000, 1, payload);
        b.AddFrame(HMF_KIND_UNTIMED, 0, 7, payload);
        files.push_back({"scanned", b.Build()});
    }
    {
        ContainerBuilder b;
        b.WithHeader(false);
        b.AddGroups(2, 3, 40, 0, 0, payload);
        files.push_back({"bare", b.Build()});
    }
    {
        ContainerBuilder b;
        b.AddGroups(1, 3, 40, 0, 0, payload);
        b.AddRaw({'h', 't', 1, 0, 9, 9, 9});
        b.AddGroups(1, 3, 40, 120, 3, payload);
        files.push_back({"damaged", b.Build()});
    }
    {
        ContainerBuilder b;
        b.AddFrame(HMF_KIND_KEY | kHMFCompositeBit, 0, 0, payload, 1);
        b.AddFrame(HMF_KIND_DELTA, 40, 1, payload, 2);
        files.push_back({"composite", b.Build()});
    }
    return files;
}

void ReaderSeeds() {
    for (auto& [name, bytes] : Containers(24)) {
        std::vector<uint8_t> withSteering = bytes;
        withSteering.push_back(5);  // queued frames
        withSteering.push_back(4);  // speed 0
        Save("reader", name, withSteering);
    }
    for (auto& [name, bytes] : Containers(2)) Save("header", name, bytes);
}

void LiveSeeds() {
    using namespace enginetest;
    for (uint8_t mode = 0; mode < 3; ++mode) {
        std::vector<uint8_t> in{mode, 3};
        for (uint32_t i = 0; i < 6; ++i) {
            RecordSpec desc;
            desc.kind = i % 3 == 0 ? HMF_KIND_KEY : HMF_KIND_DELTA;
            desc.sequence = i + 1;
            desc.timestamp = i * 40;
            desc.width = 32;
            desc.height = 16;
            desc.payloadLength = 8;
            const std::vector<uint8_t> record = MakeRecord(desc);
            PutU16(in, static_cast<uint32_t>(record.size()));
            Append(in, record);
        }
        const std::vector<uint8_t> audio = MakeAudioRecord(1);
        PutU16(in, static_cast<uint32_t>(audio.size()));
        Append(in, audio);
        RecordSpec a;
        a.streamId = 1;
        a.sequence = 9;
        RecordSpec b = a;
        b.streamId = 2;
        const std::vector<uint8_t> composite = MakeComposite({MakeSubFrame(a), MakeSubFrame(b)});
        PutU16(in, static_cast<uint32_t>(composite.size()));
        Append(in, composite);
        PutU16(in, 0x8000u | (2u << 6) | mode);  // time passes
        Save("live_input", "mode" + std::to_string(mode), in);
    }
}

void ModelDataSeeds() {
    using namespace SPHERA;
    for (int cameras = 1; cameras <= 2; ++cameras) {
        std::vector<uint8_t> block(kModelDataHeaderSize + cameras * kCameraRecordSize + (cameras == 2 ? 12 : 0), 0);
        ModelDataHeader h = DefaultModelDataHeader();
        std::memcpy(h.magic, "SPH", 4);
        h.size = static_cast<uint32_t>(block.size());
        h.cameraCount = cameras;
        std::memcpy(block.data(), &h, sizeof h);
        if (cameras == 2) {
            // The second camera carries an extra block of 4 bytes.
            CameraCalibration c;
            std::memset(&c, 0, sizeof c);
            c.extraFlag = 1;
            std::memcpy(block.data() + kModelDataHeaderSize + kCameraRecordSize, &c, kCameraRecordSize);
            const uint32_t extra[2] = {1, 4};
            std::memcpy(block.data() + kModelDataHeaderSize + 2 * kCameraRecordSize, extra, 8);
        }
        Save("modeldata", "cameras" + std::to_string(cameras), block);
    }
}

// choice index into the decoder target's table, expected size, packets.
void DecoderSeed(const std::string& name, uint8_t choice, const std::vector<std::vector<uint8_t>>& packets) {
    std::vector<uint8_t> in{choice};
    PutU16(in, 64);
    PutU16(in, 48);
    for (const auto& p : packets) {
        if (p.size() > 0xFFFF) continue;
        PutU16(in, static_cast<uint32_t>(p.size()));
        Append(in, p);
    }
    Save("decoder", name, in);
}

void DecoderSeeds() {
    using namespace quorix_test;
    for (const auto& [encoder, choice, nativeChoice] :
         {std::tuple<const char*, uint8_t, uint8_t>{"libx264", 0, 6}, {"libx265", 1, 7}}) {
        if (!HasEncoder(encoder)) continue;
        VideoEncodeOptions o;
        o.encoder = encoder;
        o.width = 64;
        o.height = 48;
        o.frames = 3;
        o.gop = 2;
        std::vector<std::vector<uint8_t>> packets;
        for (const Packet& p : EncodeVideo(o)) packets.push_back(p.data);
        DecoderSeed(std::string(encoder), choice, packets);
        DecoderSeed(std::string(encoder) + "-native", nativeChoice, packets);
    }
    if (HasEncoder("mjpeg")) {
        for (const char* format : {"yuvj420p", "yuvj422p", "gray"}) {
            const std::vector<uint8_t> jpeg = EncodeJpeg(MakePicture(48, 32, 1, format), 8);
            DecoderSeed(std::string("mjpeg-") + format, 2, {jpeg});
            DecoderSeed(std::string("mjpeg-image-") + format, 12, {jpeg});
        }
    }
    std::vector<int16_t> pcm(160);
    for (size_t i = 0; i < pcm.size(); ++i) pcm[i] = static_cast<int16_t>((i * 997) % 20000 - 10000);
    DecoderSeed("g711a", 8, {EncodeG711(true, pcm)});
    DecoderSeed("g711u", 9, {EncodeG711(false, pcm)});
    std::vector<uint8_t> raw(pcm.size() * 2);
    std::memcpy(raw.data(), pcm.data(), raw.size());
    DecoderSeed("pcm", 10, {raw});
}

void WriterSeeds() {
    std::vector<uint8_t> in{1};
    PutU16(in, 4);
    Append(in, {9, 8, 7, 6});
    PutU16(in, 8);
    Append(in, {1, 2, 3, 4, 5, 6, 7, 8});
    for (uint32_t i = 0; i < 5; ++i) {
        in.push_back(1);  // made well formed
        HMFFrameHeader h = HMFNewFrameHeader();
        h.type = i == 0 || i == 3 ? HMF_KIND_KEY : (i == 2 ? HMF_KIND_AUDIO : HMF_KIND_DELTA);
        h.sequence = i;
        h.timestamp = 1000 + 40 * i;
        h.SetVideoSize(64, 48);
        h.payloadLength = 6;
        uint8_t header[kHMFFrameHeaderSize];
        HMFSerializeFrameHeader(h, header);
        in.insert(in.end(), header, header + kHMFFrameHeaderSize);
        PutU16(in, 6);
        Append(in, {static_cast<uint8_t>(i), 1, 2, 3, 4, 5});
    }
    Save("writer", "recording", in);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <corpus directory>\n", argv[0]);
        return 2;
    }
    g_root = argv[1];
    ReaderSeeds();
    LiveSeeds();
    ModelDataSeeds();
    DecoderSeeds();
    WriterSeeds();
    return 0;
}
