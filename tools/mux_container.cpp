#include "mux_container.h"

#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>

#include "media/hmfformat.h"

namespace quorix_tools {

using namespace BRIXEL;

namespace {
// Offsets of a file beyond 4 GiB do not fit the 32-bit index: the converter stops there.
constexpr uint64_t kMaxFileOffset = 0xFFFFFFFFull;
}  // namespace

ContainerWriter::~ContainerWriter() {
    if (m_file != nullptr) std::fclose(m_file);
}

bool ContainerWriter::Put(const void* data, size_t size) {
    if (m_offset + size > kMaxFileOffset) {
        m_error = "the file would pass 4 GiB";
        return false;
    }
    if (size != 0 && std::fwrite(data, 1, size, m_file) != size) {
        m_error = std::string("write failed: ") + std::strerror(errno);
        return false;
    }
    m_offset += size;
    return true;
}

bool ContainerWriter::Open(const std::string& path, int8_t model, const std::vector<uint8_t>& info,
                           const std::vector<uint8_t>& params, double startTime) {
    m_file = std::fopen(path.c_str(), "wb");
    if (m_file == nullptr) {
        m_error = "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    m_model = model;
    m_startTime = startTime;
    uint8_t header[kHMFHeaderSize] = {};
    if (!Put(header, sizeof header)) return false;  // rewritten by Finish
    const std::vector<uint8_t>* blocks[2] = {&info, &params};
    const uint8_t types[2] = {HMF_EXT_OPEN_INFO, HMF_EXT_RENDER_PARAM};
    for (int i = 0; i < 2; ++i) {
        if (blocks[i]->empty()) continue;
        uint8_t ext[kHMFExtHeaderSize];
        HMFSerializeExtHeader(HMFMakeExtHeader(types[i], static_cast<uint32_t>(blocks[i]->size())), ext);
        if (!Put(ext, sizeof ext) || !Put(blocks[i]->data(), blocks[i]->size())) return false;
    }
    m_dataOffset = static_cast<uint32_t>(m_offset);
    return true;
}

bool ContainerWriter::WriteRecord(uint8_t kind, uint32_t sequence, uint32_t timestamp, uint32_t clock,
                                  uint8_t codec, const uint8_t media[6], const uint8_t* data,
                                  uint32_t size) {
    if (m_file == nullptr) return false;
    if (size > kHMFMaxPayload) {
        m_error = "a frame is larger than a record may be";
        return false;
    }
    HMFFrameHeader h = HMFNewFrameHeader();
    h.type = kind;
    h.streamId = 0;
    h.sequence = sequence;
    h.timestamp = timestamp;
    h.clock = clock;
    h.codec = codec;
    std::memcpy(h.media, media, 6);
    h.payloadLength = size;
    uint8_t bytes[kHMFFrameHeaderSize];
    HMFSerializeFrameHeader(h, bytes);
    return Put(bytes, sizeof bytes) && Put(data, size);
}

bool ContainerWriter::WriteVideo(const VideoFrame& frame) {
    const uint64_t offset = m_offset;
    uint8_t media[6] = {};
    HStoreLE16(media, frame.width);
    HStoreLE16(media + 2, frame.height);
    const uint8_t kind = frame.key ? HMF_KIND_KEY : HMF_KIND_DELTA;
    if (!WriteRecord(kind, m_videoFrames, frame.timestampMs, frame.clock, frame.codec, media, frame.data,
                     frame.size)) {
        return false;
    }
    if (m_videoFrames == 0) m_firstStamp = frame.timestampMs;
    m_lastStamp = frame.timestampMs;
    ++m_videoFrames;
    if (frame.key) {
        m_index.push_back(frame.timestampMs);
        m_index.push_back(static_cast<uint32_t>(offset));
        m_index.push_back(m_videoFrames);
    }
    return true;
}

bool ContainerWriter::WriteAudio(const AudioFrame& frame) {
    uint8_t media[6] = {};
    media[0] = frame.channels;
    media[1] = 16;  // the decoded PCM's sample width, which the wave output is set to
    HStoreLE32(media + 2, frame.sampleRate);
    if (!WriteRecord(HMF_KIND_AUDIO, m_audioFrames, frame.timestampMs, frame.clock, frame.codec, media,
                     frame.data, frame.size)) {
        return false;
    }
    ++m_audioFrames;
    return true;
}

bool ContainerWriter::Finish() {
    if (m_file == nullptr) return false;
    const uint64_t indexOffset = m_offset;
    for (size_t i = 0; i + 2 < m_index.size(); i += 3) {
        uint8_t entry[kHMFIndexEntrySize];
        HMFSerializeIndexEntry({m_index[i], m_index[i + 1], m_index[i + 2]}, entry);
        if (!Put(entry, sizeof entry)) return false;
    }
    HMFFileHeader h = HMFNewHeader();
    h.createTick = 0;
    h.startTime = m_startTime;
    h.dataOffset = m_dataOffset;
    h.indexOffset = m_index.empty() ? 0 : static_cast<uint32_t>(indexOffset);
    h.firstTimestamp = m_firstStamp;
    h.lastTimestamp = m_lastStamp;
    h.firstSequence = 0;
    h.frameCount = m_videoFrames;
    h.indexCount = KeyFrames();
    h.formatTag = kHMFFormatTag;
    h.renderModel = m_model;
    uint8_t bytes[kHMFHeaderSize];
    HMFSerializeFileHeader(h, bytes);
    bool ok = std::fseek(m_file, 0, SEEK_SET) == 0 && std::fwrite(bytes, 1, sizeof bytes, m_file) == sizeof bytes;
    ok = (std::fclose(m_file) == 0) && ok;
    m_file = nullptr;
    if (!ok) m_error = "cannot finish the file";
    return ok;
}

double LocalOleDate(int64_t unixSeconds, uint32_t millis) {
    const time_t t = static_cast<time_t>(unixSeconds);
    struct tm local {};
    localtime_r(&t, &local);
    // Days from 1899-12-30 to the local civil date, by the proleptic Gregorian day count.
    auto daysFromCivil = [](int y, unsigned m, unsigned d) {
        y -= m <= 2;
        const int era = (y >= 0 ? y : y - 399) / 400;
        const unsigned yoe = static_cast<unsigned>(y - era * 400);
        const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
        const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
        return era * 146097 + static_cast<int>(doe) - 719468;
    };
    const int days = daysFromCivil(local.tm_year + 1900, static_cast<unsigned>(local.tm_mon + 1),
                                   static_cast<unsigned>(local.tm_mday)) -
                     daysFromCivil(1899, 12, 30);
    const double seconds = local.tm_hour * 3600.0 + local.tm_min * 60.0 + local.tm_sec + millis / 1000.0;
    return days + seconds / 86400.0;
}

std::vector<uint8_t> FisheyeModelData(uint32_t width, uint32_t height, double cx, double cy, double r) {
    constexpr uint32_t kHeader = 88;
    constexpr uint32_t kCamera = 200;
    std::vector<uint8_t> block(kHeader + kCamera, 0);
    uint8_t* p = block.data();
    std::memcpy(p, "SPH", 4);
    HStoreLE32(p + 4, static_cast<uint32_t>(block.size()));
    HStoreLE32(p + 8, 2);  // fisheye model
    HStoreLE32(p + 12, 1);
    HStoreLE16(p + 48, 0);
    auto putF = [](uint8_t* at, double v) {
        const float f = static_cast<float>(v);
        uint32_t bits;
        std::memcpy(&bits, &f, 4);
        HStoreLE32(at, bits);
    };
    putF(p + 52, height != 0 ? static_cast<double>(width) / height : 1.0);
    // The shader samples (1 - s', 1 - t') with (s', t') = K·(s, t) and (s, t) on a circle of
    // radius 0.5, so the default K (1, 0, 0.5, 0, 1, 0.5, 0, 0, 1) is a centred circle touching the
    // picture's edges. A circle (cx, cy, r) in pixels scales by 2r / size and moves the centre.
    uint8_t* cam = p + kHeader;
    const double w = width != 0 ? width : 1.0;
    const double h = height != 0 ? height : 1.0;
    const double k[9] = {2.0 * r / w, 0, 1.0 - cx / w, 0, 2.0 * r / h, 1.0 - cy / h, 0, 0, 1};
    for (int i = 0; i < 9; ++i) putF(cam + 4 * i, k[i]);
    const double identity[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
    for (int i = 0; i < 9; ++i) putF(cam + 56 + 4 * i, identity[i]);
    for (int i = 0; i < 9; ++i) putF(cam + 92 + 4 * i, identity[i]);
    return block;
}

}  // namespace quorix_tools
