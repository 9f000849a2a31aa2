#include "support/player_media.h"

#include "media/hmfformat.h"
#include "support/container_builder.h"

namespace playertest {

Clip EncodeClip(const std::string& encoder, uint32_t width, uint32_t height, uint32_t frames,
                int gop) {
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

std::vector<uint8_t> MakeRecord(uint8_t type, uint32_t sequence, uint32_t timestamp, uint8_t codec,
                                uint16_t width, uint16_t height,
                                const std::vector<uint8_t>& payload) {
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
        records.push_back(MakeRecord(
            packet.key ? BRIXEL::HMF_KIND_KEY : BRIXEL::HMF_KIND_DELTA, static_cast<uint32_t>(i),
            static_cast<uint32_t>(i) * intervalMs, clip.codec, static_cast<uint16_t>(clip.width),
            static_cast<uint16_t>(clip.height), packet.data));
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
        quorixtest::PatchBytes(bytes, offset + BRIXEL::kHMFFrameHeaderSize,
                               clip.packets[i].data.data(), clip.packets[i].data.size());
    }
    bytes[61] = static_cast<uint8_t>(model);
    return bytes;
}

quorix_test::Picture EdgePicture(uint32_t width, uint32_t height, bool grey) {
    quorix_test::Picture picture;
    picture.width = width;
    picture.height = height;
    const uint32_t xs = EdgeColumn(width), ys = EdgeRow(height);
    picture.planes[0].resize(size_t{width} * height);
    for (uint32_t y = 0; y < height; ++y) {
        for (uint32_t x = 0; x < width; ++x) {
            picture.planes[0][size_t{y} * width + x] =
                (x >= xs || y >= ys ? kEdgeStripe : kEdgeBody).y;
        }
    }
    const uint32_t cw = picture.ChromaWidth(), ch = picture.ChromaHeight();
    picture.planes[1].resize(size_t{cw} * ch);
    picture.planes[2].resize(size_t{cw} * ch);
    for (uint32_t y = 0; y < ch; ++y) {
        for (uint32_t x = 0; x < cw; ++x) {
            const EdgeValues& v = 2 * x >= xs || 2 * y >= ys ? kEdgeStripe : kEdgeBody;
            picture.planes[1][size_t{y} * cw + x] = grey ? 128 : v.u;
            picture.planes[2][size_t{y} * cw + x] = grey ? 128 : v.v;
        }
    }
    return picture;
}

std::vector<std::vector<uint8_t>> EdgeRecords(const std::string& encoder, uint32_t width,
                                              uint32_t height, uint32_t frames, bool grey) {
    quorix_test::VideoEncodeOptions options;
    options.encoder = encoder;
    options.width = width;
    options.height = height;
    options.frames = frames;
    options.gop = static_cast<int>(frames);
    quorix_test::Picture picture = EdgePicture(width, height, grey);
    if (encoder == "mjpeg") {
        options.pixelFormat = "yuvj420p";
        options.quality = 2;
    } else {
        options.quality = 8;
        if (((width | height) & 1) != 0) {
            // Full-resolution chroma: every sample repeats its 2 x 2 block's value.
            options.pixelFormat = "yuv444p";
            quorix_test::Picture full = picture;
            full.chromaShiftX = full.chromaShiftY = 0;
            for (int p = 1; p <= 2; ++p) {
                full.planes[p].resize(size_t{width} * height);
                for (uint32_t y = 0; y < height; ++y) {
                    for (uint32_t x = 0; x < width; ++x) {
                        full.planes[p][size_t{y} * width + x] =
                            picture.planes[p][size_t{y / 2} * picture.ChromaWidth() + x / 2];
                    }
                }
            }
            picture = std::move(full);
        }
    }
    const std::vector<quorix_test::Picture> pictures(frames, picture);
    const auto packets = quorix_test::EncodePictures(options, pictures);
    std::vector<std::vector<uint8_t>> records;
    for (size_t i = 0; i < packets.size(); ++i) {
        // MJPEG pictures stand alone: each is a key frame.
        const bool key = encoder == "mjpeg" || packets[i].key;
        records.push_back(MakeRecord(key ? BRIXEL::HMF_KIND_KEY : BRIXEL::HMF_KIND_DELTA,
                                     static_cast<uint32_t>(i), static_cast<uint32_t>(1000 + i * 40),
                                     encoder == "mjpeg" ? 2 : 1, static_cast<uint16_t>(width),
                                     static_cast<uint16_t>(height), packets[i].data));
    }
    return records;
}

double PlaneMean(const uint8_t* plane, uint32_t stride, uint32_t x0, uint32_t x1, uint32_t y0,
                 uint32_t y1) {
    double sum = 0.0;
    for (uint32_t y = y0; y < y1; ++y) {
        for (uint32_t x = x0; x < x1; ++x)
            sum += plane[size_t{y} * stride + x];
    }
    const double count = static_cast<double>(x1 - x0) * (y1 - y0);
    return count > 0 ? sum / count : 0.0;
}

double LumaPsnr(const uint8_t* yuv, const quorix_test::Picture& source) {
    return quorix_test::Psnr(yuv, source.width, source.planes[0].data(), source.width, source.width,
                             source.height);
}

}  // namespace playertest
