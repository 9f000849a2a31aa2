#include "mux_container.h"

#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>

#include <quorixsdk_container.h>

namespace quorix_tools {

namespace {
// Offsets of a file beyond 4 GiB do not fit the 32-bit index: the converter stops there.
constexpr uint64_t kMaxFileOffset = 0xFFFFFFFFull;

// The media bytes of a record header (picture size or audio format) and where each value sits
// among them.
constexpr uint32_t kMediaBytes = QUORIX_RECORD_PAYLOAD_LENGTH - QUORIX_RECORD_MEDIA;
constexpr uint32_t kMediaWidth = QUORIX_RECORD_VIDEO_WIDTH - QUORIX_RECORD_MEDIA;
constexpr uint32_t kMediaHeight = QUORIX_RECORD_VIDEO_HEIGHT - QUORIX_RECORD_MEDIA;
constexpr uint32_t kMediaChannels = QUORIX_RECORD_AUDIO_CHANNELS - QUORIX_RECORD_MEDIA;
constexpr uint32_t kMediaBits = QUORIX_RECORD_AUDIO_BITS - QUORIX_RECORD_MEDIA;
constexpr uint32_t kMediaRate = QUORIX_RECORD_AUDIO_RATE - QUORIX_RECORD_MEDIA;
}  // namespace

ContainerWriter::~ContainerWriter() {
    if (m_file != nullptr)
        std::fclose(m_file);
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
    uint8_t header[QUORIX_FILE_HEADER_SIZE] = {};
    if (!Put(header, sizeof header))
        return false;  // rewritten by Finish
    const std::vector<uint8_t>* blocks[2] = {&info, &params};
    const uint8_t types[2] = {QUORIX_EXT_OPEN_INFO, QUORIX_EXT_RENDER_PARAM};
    for (int i = 0; i < 2; ++i) {
        if (blocks[i]->empty())
            continue;
        uint8_t ext[QUORIX_EXT_HEADER_SIZE] = {};
        std::memcpy(ext + QUORIX_EXT_HEADER_MAGIC, QUORIX_EXT_MAGIC, 4);
        ext[QUORIX_EXT_HEADER_TYPE] = types[i];
        quorix_store_le32(ext + QUORIX_EXT_HEADER_LENGTH, static_cast<uint32_t>(blocks[i]->size()));
        if (!Put(ext, sizeof ext) || !Put(blocks[i]->data(), blocks[i]->size()))
            return false;
    }
    m_dataOffset = static_cast<uint32_t>(m_offset);
    return true;
}

bool ContainerWriter::WriteRecord(uint8_t kind, uint32_t sequence, uint32_t timestamp,
                                  uint32_t clock, uint8_t codec, const uint8_t media[6],
                                  const uint8_t* data, uint32_t size) {
    if (m_file == nullptr)
        return false;
    if (size > QUORIX_MAX_INPUT_PAYLOAD) {
        m_error = "a frame is larger than a record may be";
        return false;
    }
    uint8_t bytes[QUORIX_RECORD_SIZE] = {};  // stream 0, flags 0
    quorix_store_le16(bytes + QUORIX_RECORD_MAGIC, QUORIX_RECORD_MAGIC_PLAIN);
    bytes[QUORIX_RECORD_TYPE] = kind;
    quorix_store_le32(bytes + QUORIX_RECORD_SEQUENCE, sequence);
    quorix_store_le32(bytes + QUORIX_RECORD_TIMESTAMP, timestamp);
    quorix_store_le32(bytes + QUORIX_RECORD_CLOCK, clock);
    bytes[QUORIX_RECORD_CODEC] = codec;
    std::memcpy(bytes + QUORIX_RECORD_MEDIA, media, kMediaBytes);
    quorix_store_le32(bytes + QUORIX_RECORD_PAYLOAD_LENGTH, size);
    return Put(bytes, sizeof bytes) && Put(data, size);
}

bool ContainerWriter::WriteVideo(const VideoFrame& frame) {
    const uint64_t offset = m_offset;
    uint8_t media[kMediaBytes] = {};
    quorix_store_le16(media + kMediaWidth, frame.width);
    quorix_store_le16(media + kMediaHeight, frame.height);
    const uint8_t kind = frame.key ? QUORIX_KIND_KEY : QUORIX_KIND_DELTA;
    if (!WriteRecord(kind, m_videoFrames, frame.timestampMs, frame.clock, frame.codec, media,
                     frame.data, frame.size)) {
        return false;
    }
    if (m_videoFrames == 0)
        m_firstStamp = frame.timestampMs;
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
    uint8_t media[kMediaBytes] = {};
    media[kMediaChannels] = frame.channels;
    media[kMediaBits] = 16;  // the decoded PCM's sample width, which the wave output is set to
    quorix_store_le32(media + kMediaRate, frame.sampleRate);
    if (!WriteRecord(QUORIX_KIND_AUDIO, m_audioFrames, frame.timestampMs, frame.clock, frame.codec,
                     media, frame.data, frame.size)) {
        return false;
    }
    ++m_audioFrames;
    return true;
}

bool ContainerWriter::Finish() {
    if (m_file == nullptr)
        return false;
    const uint64_t indexOffset = m_offset;
    for (size_t i = 0; i + 2 < m_index.size(); i += 3) {
        uint8_t entry[QUORIX_INDEX_ENTRY_SIZE];
        quorix_store_le32(entry + QUORIX_INDEX_ENTRY_TIMESTAMP, m_index[i]);
        quorix_store_le32(entry + QUORIX_INDEX_ENTRY_OFFSET, m_index[i + 1]);
        quorix_store_le32(entry + QUORIX_INDEX_ENTRY_FRAME_NUMBER, m_index[i + 2]);
        if (!Put(entry, sizeof entry))
            return false;
    }
    // Create tick, first sequence number, reserved bytes and tail stay zero.
    uint8_t bytes[QUORIX_FILE_HEADER_SIZE] = {};
    std::memcpy(bytes + QUORIX_FILE_HEADER_MAGIC, QUORIX_FILE_MAGIC, 4);
    quorix_store_f64(bytes + QUORIX_FILE_HEADER_START_TIME, m_startTime);
    quorix_store_le32(bytes + QUORIX_FILE_HEADER_DATA_OFFSET, m_dataOffset);
    quorix_store_le32(bytes + QUORIX_FILE_HEADER_INDEX_OFFSET,
                      m_index.empty() ? 0 : static_cast<uint32_t>(indexOffset));
    quorix_store_le32(bytes + QUORIX_FILE_HEADER_FIRST_TIMESTAMP, m_firstStamp);
    quorix_store_le32(bytes + QUORIX_FILE_HEADER_LAST_TIMESTAMP, m_lastStamp);
    quorix_store_le32(bytes + QUORIX_FILE_HEADER_FRAME_COUNT, m_videoFrames);
    quorix_store_le32(bytes + QUORIX_FILE_HEADER_INDEX_COUNT, KeyFrames());
    bytes[QUORIX_FILE_HEADER_FORMAT_TAG] = QUORIX_FILE_FORMAT_TAG;
    bytes[QUORIX_FILE_HEADER_RENDER_MODEL] = static_cast<uint8_t>(m_model);
    bool ok = std::fseek(m_file, 0, SEEK_SET) == 0 &&
              std::fwrite(bytes, 1, sizeof bytes, m_file) == sizeof bytes;
    ok = (std::fclose(m_file) == 0) && ok;
    m_file = nullptr;
    if (!ok)
        m_error = "cannot finish the file";
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
    const double seconds =
        local.tm_hour * 3600.0 + local.tm_min * 60.0 + local.tm_sec + millis / 1000.0;
    return days + seconds / 86400.0;
}

std::vector<uint8_t> FisheyeModelData(uint32_t width, uint32_t height, double cx, double cy,
                                      double r) {
    constexpr uint32_t kHeader = 88;
    constexpr uint32_t kCamera = 200;
    std::vector<uint8_t> block(kHeader + kCamera, 0);
    uint8_t* p = block.data();
    std::memcpy(p, "SPH", 4);
    quorix_store_le32(p + 4, static_cast<uint32_t>(block.size()));
    quorix_store_le32(p + 8, 2);  // fisheye model
    quorix_store_le32(p + 12, 1);
    quorix_store_le16(p + 48, 0);
    auto putF = [](uint8_t* at, double v) {
        const float f = static_cast<float>(v);
        uint32_t bits;
        std::memcpy(&bits, &f, 4);
        quorix_store_le32(at, bits);
    };
    putF(p + 52, height != 0 ? static_cast<double>(width) / height : 1.0);
    // The shader samples (1 - s', 1 - t') with (s', t') = K·(s, t) and (s, t) on a circle of
    // radius 0.5, so the default K (1, 0, 0.5, 0, 1, 0.5, 0, 0, 1) is a centred circle touching the
    // picture's edges. A circle (cx, cy, r) in pixels scales by 2r / size and moves the centre.
    uint8_t* cam = p + kHeader;
    const double w = width != 0 ? width : 1.0;
    const double h = height != 0 ? height : 1.0;
    const double k[9] = {2.0 * r / w, 0, 1.0 - cx / w, 0, 2.0 * r / h, 1.0 - cy / h, 0, 0, 1};
    for (int i = 0; i < 9; ++i)
        putF(cam + 4 * i, k[i]);
    const double identity[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
    for (int i = 0; i < 9; ++i)
        putF(cam + 56 + 4 * i, identity[i]);
    for (int i = 0; i < 9; ++i)
        putF(cam + 92 + 4 * i, identity[i]);
    return block;
}

}  // namespace quorix_tools
