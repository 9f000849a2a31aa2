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
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

void PutU16(std::vector<uint8_t>& v, uint32_t x) {
    v.push_back(static_cast<uint8_t>(x));
    v.push_back(static_cast<uint8_t>(x >> 8));
}

void Append(std::vector<uint8_t>& v, const std::vector<uint8_t>& bytes) {
    v.insert(v.end(), bytes.begin(), bytes.end());
}

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
    for (auto& [name, bytes] : Containers(2))
        Save("header", name, bytes);
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
        std::vector<uint8_t> block(
            kModelDataHeaderSize + cameras * kCameraRecordSize + (cameras == 2 ? 12 : 0), 0);
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
            std::memcpy(block.data() + kModelDataHeaderSize + kCameraRecordSize, &c,
                        kCameraRecordSize);
            const uint32_t extra[2] = {1, 4};
            std::memcpy(block.data() + kModelDataHeaderSize + 2 * kCameraRecordSize, extra, 8);
        }
        Save("modeldata", "cameras" + std::to_string(cameras), block);
    }
}

// choice index into the decoder target's table, expected size, packets.
void DecoderSeed(const std::string& name, uint8_t choice,
                 const std::vector<std::vector<uint8_t>>& packets) {
    std::vector<uint8_t> in{choice};
    PutU16(in, 64);
    PutU16(in, 48);
    for (const auto& p : packets) {
        if (p.size() > 0xFFFF)
            continue;
        PutU16(in, static_cast<uint32_t>(p.size()));
        Append(in, p);
    }
    Save("decoder", name, in);
}

void DecoderSeeds() {
    using namespace quorix_test;
    for (const auto& [encoder, choice, nativeChoice] :
         {std::tuple<const char*, uint8_t, uint8_t>{"libx264", 0, 6}, {"libx265", 1, 7}}) {
        if (!HasEncoder(encoder))
            continue;
        VideoEncodeOptions o;
        o.encoder = encoder;
        o.width = 64;
        o.height = 48;
        o.frames = 3;
        o.gop = 2;
        std::vector<std::vector<uint8_t>> packets;
        for (const Packet& p : EncodeVideo(o))
            packets.push_back(p.data);
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
    for (size_t i = 0; i < pcm.size(); ++i)
        pcm[i] = static_cast<int16_t>((i * 997) % 20000 - 10000);
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

// The api target's calls as bytes, in the order that target reads them (ports by slot 0..2).
class ApiProgram {
public:
    ApiProgram& Op(uint8_t op, uint8_t slot) {
        m_bytes.push_back(op);
        m_bytes.push_back(slot);
        return *this;
    }
    ApiProgram& Bytes(std::initializer_list<uint8_t> bytes) {
        m_bytes.insert(m_bytes.end(), bytes);
        return *this;
    }
    ApiProgram& U16(uint32_t x) {
        PutU16(m_bytes, x);
        return *this;
    }
    ApiProgram& Block(const std::vector<uint8_t>& bytes) {
        Append(m_bytes, bytes);
        return *this;
    }
    // Steps that read more than a port.
    ApiProgram& OpenFile(uint8_t slot, uint8_t kind) { return Op(0, slot).Bytes({kind}); }
    ApiProgram& OpenStream(uint8_t slot, uint8_t modelIndex, const std::vector<uint8_t>& params) {
        Op(1, slot)
            .Bytes({modelIndex, 4, 1, 2, 3, 4})
            .U16(static_cast<uint32_t>(params.size()))
            .Block(params);
        return Bytes({0});
    }
    ApiProgram& Close(uint8_t slot, bool file) {
        return Op(2, slot).Bytes({static_cast<uint8_t>(file ? 1 : 0)});
    }
    ApiProgram& Mode(uint8_t slot, uint8_t mode) { return Op(3, slot).Bytes({mode}); }
    ApiProgram& Play(uint8_t slot) { return Op(4, slot).Bytes({0x40}); }
    ApiProgram& Pause(uint8_t slot, bool pause) {
        return Op(6, slot).Bytes({static_cast<uint8_t>(pause ? 1 : 0)});
    }
    ApiProgram& Speed(uint8_t slot, int speed) {
        return Op(7, slot).Bytes({2, static_cast<uint8_t>(speed + 5)});
    }
    ApiProgram& SeekTime(uint8_t slot, uint32_t ms) { return Op(8, slot).Bytes({0, 0}).U16(ms); }
    ApiProgram& SeekPos(uint8_t slot, int8_t sixtyFourths) {
        return Op(8, slot).Bytes({1, 0, static_cast<uint8_t>(sixtyFourths)});
    }
    ApiProgram& Step(uint8_t slot, bool back) {
        return Op(8, slot).Bytes({static_cast<uint8_t>(back ? 3 : 2)});
    }
    ApiProgram& Getters(uint8_t slot) { return Op(9, slot).Bytes({4}); }
    // kind 0 a good record, 2 a composite packet of it (extra: stream id), 5 a good record cut
    // in two calls (extra: where), 7 a G.711 record.
    ApiProgram& Push(uint8_t slot, uint8_t kind, uint8_t extra = 0) {
        Op(10, slot).Bytes({slot, kind});
        if (kind == 2)
            Bytes({extra});
        if (kind == 5)
            U16(extra);
        if (kind == 7) {
            Bytes({40});
            for (int i = 0; i < 80; ++i)
                m_bytes.push_back(static_cast<uint8_t>(i * 37));
            Bytes({1});
        }
        return *this;
    }
    // The chunks as consecutive calls (kind 3).
    ApiProgram& Burst(uint8_t slot, const std::vector<std::vector<uint8_t>>& chunks) {
        Op(10, slot).Bytes({slot, 3, static_cast<uint8_t>(chunks.size() - 1)});
        for (const auto& c : chunks)
            U16(static_cast<uint32_t>(c.size())).Block(c);
        return *this;
    }
    ApiProgram& Region(uint8_t slot, uint8_t region, uint16_t w, uint16_t h) {
        return Op(12, slot).Bytes({region, 0, 0}).U16(0).U16(0).U16(w).U16(h).Bytes({200, 1});
    }
    ApiProgram& DisplayType(uint8_t slot, uint8_t region, uint8_t typeIndex) {
        return Op(12, slot).Bytes({region, 1, typeIndex});
    }
    ApiProgram& Ptz(uint8_t slot, uint8_t region, int8_t pan, int8_t tilt, int8_t zoom) {
        return Op(12, slot).Bytes({region, 4, 0, static_cast<uint8_t>(pan), 0,
                                   static_cast<uint8_t>(tilt), 0, static_cast<uint8_t>(zoom)});
    }
    ApiProgram& GetPtz(uint8_t slot, uint8_t region) { return Op(12, slot).Bytes({region, 5, 0}); }
    ApiProgram& Project(uint8_t slot, uint8_t region) {
        return Op(13, slot).Bytes({region, 7, 2, 0, 16, 0, 240, 0, 32, 0, 8, 0});
    }
    ApiProgram& Capture(uint8_t slot, uint8_t region, uint8_t how) {
        return Op(14, slot).Bytes({region, how, 2});
    }
    ApiProgram& SnapCallback(uint8_t slot, uint8_t region) {
        return Op(14, slot).Bytes({region, 4, 4, 4, 0});
    }
    ApiProgram& StartRecord(uint8_t slot) { return Op(15, slot).Bytes({slot, 0, 2}); }
    ApiProgram& StopRecord(uint8_t slot) { return Op(15, slot).Bytes({slot, 1}); }
    ApiProgram& Clip(uint8_t slot, uint16_t begin, uint16_t end) {
        return Op(15, slot).Bytes({slot, 2, 0}).U16(begin).Bytes({0}).U16(end).Bytes({3, 2});
    }
    ApiProgram& Attach(uint8_t slot, uint8_t to) { return Op(16, slot).Bytes({0, 5, to}); }
    ApiProgram& AttachCallback(uint8_t slot) { return Op(16, slot).Bytes({0, 4}); }
    ApiProgram& DrawCallback(uint8_t slot, uint8_t region) {
        return Op(16, slot).Bytes({0, 2, region});
    }
    ApiProgram& InitRelease(bool init) { return Bytes({18, static_cast<uint8_t>(init ? 0 : 1)}); }
    ApiProgram& Wait(uint8_t ms) { return Bytes({19, ms}); }
    const std::vector<uint8_t>& Get() const { return m_bytes; }

private:
    std::vector<uint8_t> m_bytes;
};

void ApiSeeds() {
    ApiProgram file;
    file.Region(0, 0, 320, 240)
        .OpenFile(0, 0)
        .Play(0)
        .Wait(40)
        .Pause(0, true)
        .Pause(0, false)
        .Speed(0, 1);
    file.SeekTime(0, 120)
        .SeekPos(0, 32)
        .Step(0, false)
        .Step(0, true)
        .Getters(0)
        .Ptz(0, 0, 10, -5, 20)
        .GetPtz(0, 0);
    file.DisplayType(0, 0, 0).Capture(0, 0, 0).StartRecord(0).Wait(40).StopRecord(0).Clip(0, 40,
                                                                                          200);
    file.OpenFile(1, 4).Bytes({1}).Play(1).Wait(20).Close(1, true).Close(0, true);
    Save("api", "file", file.Get());

    std::vector<uint8_t> model;
    {
        using namespace SPHERA;
        model.assign(kModelDataHeaderSize + kCameraRecordSize, 0);
        ModelDataHeader h = DefaultModelDataHeader();
        std::memcpy(h.magic, "SPH", 4);
        h.size = static_cast<uint32_t>(model.size());
        h.cameraCount = 1;
        std::memcpy(model.data(), &h, sizeof h);
    }
    for (uint8_t mode = 0; mode < 3; ++mode) {
        ApiProgram live;
        live.Region(0, 0, 320, 240)
            .OpenStream(0, mode == 0 ? 0 : (mode == 1 ? 6 : 1),
                        mode == 0 ? std::vector<uint8_t>{} : model)
            .Mode(0, mode);
        live.OpenStream(1, 1, {}).Attach(0, 1).AttachCallback(0).Play(0).Play(1).SnapCallback(0, 0);
        for (int i = 0; i < 4; ++i)
            live.Push(0, 0);
        live.Push(0, 2, 1).Push(0, 7).Push(0, 5, 30).Wait(49).Wait(49).Project(0, 0).DisplayType(
            0, 0, 3);
        live.StartRecord(0).Push(0, 0).Push(0, 0).StopRecord(0).Close(1, false).Close(0, false);
        Save("api", "live" + std::to_string(mode), live.Get());
    }

    {
        // Records and composite packets of the engine's own test kind, whole and in pieces.
        using namespace enginetest;
        std::vector<std::vector<uint8_t>> chunks;
        for (uint32_t i = 0; i < 4; ++i) {
            RecordSpec desc;
            desc.kind = i == 0 ? HMF_KIND_KEY : HMF_KIND_DELTA;
            desc.sequence = i + 1;
            desc.timestamp = i * 40;
            desc.width = 32;
            desc.height = 16;
            desc.payloadLength = 8;
            chunks.push_back(MakeRecord(desc));
        }
        RecordSpec a;
        a.streamId = 1;
        a.sequence = 9;
        RecordSpec b = a;
        b.streamId = 2;
        const std::vector<uint8_t> composite = MakeComposite({MakeSubFrame(a), MakeSubFrame(b)});
        chunks.push_back(composite);
        chunks.push_back(std::vector<uint8_t>(composite.begin(), composite.begin() + 20));
        chunks.push_back(std::vector<uint8_t>(composite.begin() + 20, composite.end()));
        for (uint8_t mode = 0; mode < 3; ++mode) {
            ApiProgram burst;
            burst.OpenStream(0, 0, {}).Mode(0, mode).Play(0).Burst(0, chunks).Wait(30).Close(0,
                                                                                             false);
            Save("api", "burst" + std::to_string(mode), burst.Get());
        }
    }

    ApiProgram library;
    library.OpenFile(2, 1).Play(2).DrawCallback(2, 0).InitRelease(false).Getters(2).Op(5, 225);
    library.InitRelease(true)
        .InitRelease(true)
        .Bytes({18, 3, 0, 18, 2, 50})
        .OpenFile(2, 0)
        .Capture(2, 0, 3)
        .Wait(30);
    Save("api", "library", library.Get());
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
    ApiSeeds();
    return 0;
}
