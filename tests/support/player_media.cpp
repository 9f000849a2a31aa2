#include "support/player_media.h"

#include "media/hmfformat.h"
#include "support/container_builder.h"

namespace playertest {

Clip EncodeClip(const std::string& encoder, uint32_t width, uint32_t height, uint32_t frames, int gop) {
    Clip clip;
    clip.width = width;
    clip.height = height;
    clip.codec = encoder == "libx265" ? 6 : 1;
    quorix_test::VideoEncodeOptions options;
    options.encoder = encoder;
    options.width = width;
    options.height = height;
    options.frames = frames;
    options.gop = gop;
    options.quality = 18;
    clip.packets = quorix_test::EncodeVideo(options, &clip.sources);
    return clip;
}

std::vector<uint8_t> MakeRecord(uint8_t type, uint32_t sequence, uint32_t timestamp, uint8_t codec, uint16_t width,
                                uint16_t height, const std::vector<uint8_t>& payload) {
    BRIXEL::HMFFrameHeader header = BRIXEL::HMFNewFrameHeader();
    header.type = type;
    header.sequence = sequence;
    header.timestamp = timestamp;
    header.clock = 1700000000u + timestamp / 1000u;
    header.codec = codec;
    header.SetVideoSize(width, height);
    header.payloadLength = static_cast<uint32_t>(payload.size());
    std::vector<uint8_t> record(BRIXEL::kHMFFrameHeaderSize + payload.size());
    BRIXEL::HMFSerializeFrameHeader(header, record.data());
    std::copy(payload.begin(), payload.end(), record.begin() + BRIXEL::kHMFFrameHeaderSize);
    return record;
}

std::vector<std::vector<uint8_t>> ClipRecords(const Clip& clip, uint32_t intervalMs) {
    std::vector<std::vector<uint8_t>> records;
    for (size_t i = 0; i < clip.packets.size(); ++i) {
        const auto& packet = clip.packets[i];
        records.push_back(MakeRecord(packet.key ? BRIXEL::HMF_KIND_KEY : BRIXEL::HMF_KIND_DELTA,
                                     static_cast<uint32_t>(i), static_cast<uint32_t>(i) * intervalMs, clip.codec,
                                     static_cast<uint16_t>(clip.width), static_cast<uint16_t>(clip.height),
                                     packet.data));
    }
    return records;
}

std::vector<uint8_t> ClipFile(const Clip& clip, uint32_t intervalMs, int8_t model) {
    quorixtest::ContainerBuilder builder;
    for (size_t i = 0; i < clip.packets.size(); ++i) {
        builder.AddFrame(clip.packets[i].key ? BRIXEL::HMF_KIND_KEY : BRIXEL::HMF_KIND_DELTA,
                         static_cast<uint32_t>(i) * intervalMs, static_cast<uint32_t>(i),
                         static_cast<uint32_t>(clip.packets[i].data.size()));
    }
    std::vector<uint8_t> bytes = builder.Build();
    // The builder writes placeholder payloads and sizes: the clip's own go in their place.
    for (size_t i = 0; i < clip.packets.size(); ++i) {
        const size_t offset = builder.FrameOffset(i);
        bytes[offset + 16] = clip.codec;
        BRIXEL::HStoreLE16(&bytes[offset + 18], static_cast<uint16_t>(clip.width));
        BRIXEL::HStoreLE16(&bytes[offset + 20], static_cast<uint16_t>(clip.height));
        quorixtest::PatchBytes(bytes, offset + BRIXEL::kHMFFrameHeaderSize, clip.packets[i].data.data(),
                               clip.packets[i].data.size());
    }
    bytes[61] = static_cast<uint8_t>(model);
    return bytes;
}

double LumaPsnr(const uint8_t* yuv, const quorix_test::Picture& source) {
    return quorix_test::Psnr(yuv, source.width, source.planes[0].data(), source.width, source.width, source.height);
}

}  // namespace playertest
