// quorix-info [--frames] FILE
//
// Prints the header of a media container file, its extension records, its key-frame index and a
// summary of its frame records per kind (counts, first and last timestamps, codecs, sizes and
// gaps); --frames also lists every record. Damage (records that run past the data, broken
// magics, an index outside the file) is reported where it is found. Exit status: 0 for a
// container file, 1 when the file cannot be read, 2 when it is not a container file, 64 for a
// bad command line.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <quorixsdk_container.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <type_traits>
#include <vector>

namespace {

// ---------------------------------------------------------------------------------------------
// The container's structures as this program reads them, from the public layout.

bool MagicIs(const uint8_t* p, const char* magic) {
    return std::memcmp(p, magic, 4) == 0;
}

// Ordering of 32-bit timestamps that may wrap around 2^32: negative when a comes before b.
int32_t StampDiff(uint32_t a, uint32_t b) {
    return static_cast<int32_t>(a - b);
}

bool IsVideoKind(unsigned kind) {
    return kind == QUORIX_KIND_KEY || kind == QUORIX_KIND_DELTA || kind == QUORIX_KIND_UNTIMED;
}

struct FileHeader {
    bool magic = false;
    uint32_t createTick = 0;
    double startTime = 0;
    uint32_t dataOffset = 0;
    uint32_t indexOffset = 0;
    uint32_t firstTimestamp = 0;
    uint32_t lastTimestamp = 0;
    uint32_t firstSequence = 0;
    uint32_t frameCount = 0;
    uint32_t indexCount = 0;
    uint8_t formatTag = 0;
    int8_t renderModel = 0;

    explicit FileHeader(const uint8_t* p)
        : magic(MagicIs(p + QUORIX_FILE_HEADER_MAGIC, QUORIX_FILE_MAGIC)),
          createTick(quorix_load_le32(p + QUORIX_FILE_HEADER_CREATE_TICK)),
          startTime(quorix_load_f64(p + QUORIX_FILE_HEADER_START_TIME)),
          dataOffset(quorix_load_le32(p + QUORIX_FILE_HEADER_DATA_OFFSET)),
          indexOffset(quorix_load_le32(p + QUORIX_FILE_HEADER_INDEX_OFFSET)),
          firstTimestamp(quorix_load_le32(p + QUORIX_FILE_HEADER_FIRST_TIMESTAMP)),
          lastTimestamp(quorix_load_le32(p + QUORIX_FILE_HEADER_LAST_TIMESTAMP)),
          firstSequence(quorix_load_le32(p + QUORIX_FILE_HEADER_FIRST_SEQUENCE)),
          frameCount(quorix_load_le32(p + QUORIX_FILE_HEADER_FRAME_COUNT)),
          indexCount(quorix_load_le32(p + QUORIX_FILE_HEADER_INDEX_COUNT)),
          formatTag(p[QUORIX_FILE_HEADER_FORMAT_TAG]),
          renderModel(static_cast<int8_t>(p[QUORIX_FILE_HEADER_RENDER_MODEL])) {}

    bool HasMagic() const { return magic; }
    // Total play time in ms: last minus first video timestamp (wraps like the stamps do).
    uint32_t TotalTime() const { return lastTimestamp - firstTimestamp; }
};

struct ExtHeader {
    bool magic;
    uint8_t type;
    uint32_t length;

    explicit ExtHeader(const uint8_t* p)
        : magic(MagicIs(p + QUORIX_EXT_HEADER_MAGIC, QUORIX_EXT_MAGIC)),
          type(p[QUORIX_EXT_HEADER_TYPE]),
          length(quorix_load_le32(p + QUORIX_EXT_HEADER_LENGTH)) {}

    bool HasMagic() const { return magic; }
};

struct RecordHeader {
    uint16_t magic;
    uint8_t type;
    uint8_t streamId;
    uint32_t sequence;
    uint32_t timestamp;
    uint32_t clock;
    uint8_t codec;
    uint8_t media[QUORIX_RECORD_PAYLOAD_LENGTH - QUORIX_RECORD_MEDIA];
    uint32_t payloadLength;

    explicit RecordHeader(const uint8_t* p)
        : magic(quorix_load_le16(p + QUORIX_RECORD_MAGIC)),
          type(p[QUORIX_RECORD_TYPE]),
          streamId(p[QUORIX_RECORD_STREAM]),
          sequence(quorix_load_le32(p + QUORIX_RECORD_SEQUENCE)),
          timestamp(quorix_load_le32(p + QUORIX_RECORD_TIMESTAMP)),
          clock(quorix_load_le32(p + QUORIX_RECORD_CLOCK)),
          codec(p[QUORIX_RECORD_CODEC]),
          payloadLength(quorix_load_le32(p + QUORIX_RECORD_PAYLOAD_LENGTH)) {
        std::memcpy(media, p + QUORIX_RECORD_MEDIA, sizeof media);
    }

    uint8_t Kind() const { return type & QUORIX_RECORD_KIND_MASK; }
    bool IsComposite() const { return (type & QUORIX_RECORD_COMPOSITE) != 0; }
    bool IsVideo() const { return IsVideoKind(Kind()); }
    bool IsAudio() const { return Kind() == QUORIX_KIND_AUDIO; }
    bool IsKeyFrame() const { return Kind() == QUORIX_KIND_KEY; }
    // Bytes the whole record occupies; 64-bit so a length near 4 GiB cannot wrap.
    uint64_t RecordSize() const { return uint64_t{QUORIX_RECORD_SIZE} + payloadLength; }
    uint16_t Width() const { return quorix_load_le16(At(QUORIX_RECORD_VIDEO_WIDTH)); }
    uint16_t Height() const { return quorix_load_le16(At(QUORIX_RECORD_VIDEO_HEIGHT)); }
    uint8_t Channels() const { return *At(QUORIX_RECORD_AUDIO_CHANNELS); }
    uint8_t BitsPerSample() const { return *At(QUORIX_RECORD_AUDIO_BITS); }
    uint32_t SampleRate() const { return quorix_load_le32(At(QUORIX_RECORD_AUDIO_RATE)); }

private:
    const uint8_t* At(uint32_t offset) const { return media + (offset - QUORIX_RECORD_MEDIA); }
};

struct IndexEntry {
    uint32_t timestamp;
    uint32_t offset;
    uint32_t frameNumber;

    explicit IndexEntry(const uint8_t* p)
        : timestamp(quorix_load_le32(p + QUORIX_INDEX_ENTRY_TIMESTAMP)),
          offset(quorix_load_le32(p + QUORIX_INDEX_ENTRY_OFFSET)),
          frameNumber(quorix_load_le32(p + QUORIX_INDEX_ENTRY_FRAME_NUMBER)) {}

    // An all-zero entry carries nothing and is skipped.
    bool IsEmpty() const { return timestamp == 0 && offset == 0 && frameNumber == 0; }
};

// A regular file opened for reading (a FIFO or a device is refused without blocking).
class InputFile {
public:
    InputFile() = default;
    ~InputFile() {
        if (m_file != nullptr)
            std::fclose(m_file);
    }
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    bool Open(const char* path) {
        const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            return false;
        struct stat info {};
        if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
            close(fd);
            errno = EINVAL;
            return false;
        }
        m_file = fdopen(fd, "rb");
        if (m_file == nullptr) {
            const int error = errno;
            close(fd);
            errno = error;
            return false;
        }
        m_size = static_cast<uint64_t>(info.st_size);
        return true;
    }
    uint64_t Size() const { return m_size; }
    bool ReadAt(uint64_t offset, void* buffer, uint32_t count) {
        return fseeko(m_file, static_cast<off_t>(offset), SEEK_SET) == 0 &&
               std::fread(buffer, 1, count, m_file) == count;
    }

private:
    FILE* m_file = nullptr;
    uint64_t m_size = 0;
};

// A date-time as days since 1899-12-30 (the fraction counting forward from the day's midnight,
// also for negative days), printed to the millisecond, or "invalid" outside 0100-01-01 ..
// 9999-12-31 00:00.
std::string DateText(double days) {
    constexpr double kMinDays = -657434.0;  // 0100-01-01
    constexpr double kMaxDays = 2958465.0;  // 9999-12-31
    if (std::isnan(days) || days < kMinDays || days > kMaxDays)
        return "invalid";
    // Rounded to the millisecond away from the epoch.
    const double adjusted = days + (days > 0 ? 1.0 : -1.0) / (2.0 * 86400000.0);
    const long long whole = static_cast<long long>(adjusted);  // toward zero
    const double magnitude = std::fabs(adjusted);
    const double secondsOfDay = (magnitude - std::floor(magnitude)) * 86400.0;
    long long seconds = static_cast<long long>(secondsOfDay);
    long long millis =
        static_cast<long long>((secondsOfDay - static_cast<double>(seconds)) * 1000.0);
    if (millis > 999)
        millis = 999;
    if (seconds > 86399)
        seconds = 86399;
    // Civil date of day `whole` counted from 1899-12-30 (proleptic Gregorian).
    const long long z = whole - 25569 + 719468;  // 1899-12-30 is 25569 days before 1970-01-01
    const long long era = (z >= 0 ? z : z - 146096) / 146097;
    const long long doe = z - era * 146097;
    const long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const long long mp = (5 * doy + 2) / 153;
    const long long day = doy - (153 * mp + 2) / 5 + 1;
    const long long month = mp < 10 ? mp + 3 : mp - 9;
    const long long year = yoe + era * 400 + (month <= 2 ? 1 : 0);
    char text[128];
    std::snprintf(text, sizeof text, "%04lld-%02lld-%02lld %02lld:%02lld:%02lld.%03lld", year,
                  month, day, seconds / 3600, seconds / 60 % 60, seconds % 60, millis);
    return text;
}

// ---------------------------------------------------------------------------------------------

struct KindSummary {
    uint64_t count = 0;
    uint32_t firstTimestamp = 0;
    uint32_t lastTimestamp = 0;
    uint64_t payloadBytes = 0;
    uint32_t minPayload = UINT32_MAX;
    uint32_t maxPayload = 0;
    std::set<unsigned> codecs;
    std::set<std::string> formats;  // picture sizes or audio formats
    std::set<unsigned> streams;
    uint64_t composite = 0;
    uint32_t maxGap = 0;     // largest step between consecutive timestamps
    uint64_t longGaps = 0;   // steps over 1000 ms
    uint64_t backwards = 0;  // stamps that went back
};

const char* KindName(unsigned kind) {
    switch (kind) {
        case QUORIX_KIND_AUDIO:
            return "audio";
        case QUORIX_KIND_KEY:
            return "video key";
        case QUORIX_KIND_DELTA:
            return "video delta";
        case QUORIX_KIND_UNTIMED:
            return "video untimed";
        default:
            return "other";
    }
}

std::string FormatOf(const RecordHeader& h) {
    char text[64];
    if (h.IsAudio()) {
        std::snprintf(text, sizeof text, "%u ch %u bit %" PRIu32 " Hz", h.Channels(),
                      h.BitsPerSample(), h.SampleRate());
    } else {
        std::snprintf(text, sizeof text, "%ux%u", h.Width(), h.Height());
    }
    return text;
}

template <typename T>
std::string Join(const std::set<T>& values) {
    std::string out;
    for (const T& v : values) {
        if (!out.empty())
            out += ", ";
        if constexpr (std::is_same_v<T, std::string>) {
            out += v;
        } else {
            out += std::to_string(v);
        }
    }
    return out.empty() ? "-" : out;
}

class Inspector {
public:
    Inspector(InputFile& file, bool listFrames)
        : m_file(file), m_size(file.Size()), m_listFrames(listFrames) {}

    bool ReadAt(uint64_t offset, void* buffer, uint32_t count) {
        return m_file.ReadAt(offset, buffer, count);
    }

    void PrintHeader(const FileHeader& h) {
        std::printf("file size        %" PRIu64 "\n", m_size);
        std::printf("magic            ZEBM\n");
        std::printf("create tick      %" PRIu32 "\n", h.createTick);
        std::printf("start            %s (%.9f)\n", DateText(h.startTime).c_str(), h.startTime);
        const double end = h.startTime + static_cast<double>(h.TotalTime()) / 86400000.0;
        std::printf("end              %s\n", DateText(end).c_str());
        std::printf("data offset      %" PRIu32 "\n", h.dataOffset);
        std::printf("index offset     %" PRIu32 "%s\n", h.indexOffset,
                    h.indexOffset == 0 ? " (no index)" : "");
        std::printf("first timestamp  %" PRIu32 " ms\n", h.firstTimestamp);
        std::printf("last timestamp   %" PRIu32 " ms\n", h.lastTimestamp);
        std::printf("total time       %" PRIu32 " ms\n", h.TotalTime());
        std::printf("first sequence   %" PRIu32 "\n", h.firstSequence);
        std::printf("video frames     %" PRIu32 "\n", h.frameCount);
        std::printf("index entries    %" PRIu32 "\n", h.indexCount);
        std::printf("format tag       %u\n", h.formatTag);
        std::printf("render model     %d\n", h.renderModel);
    }

    void PrintExtensions(const FileHeader& h) {
        std::printf("\nextension records\n");
        if (h.dataOffset <= QUORIX_FILE_HEADER_SIZE) {
            std::printf("  none\n");
            return;
        }
        const uint64_t limit = std::min<uint64_t>(h.dataOffset, m_size);
        uint64_t offset = QUORIX_FILE_HEADER_SIZE;
        while (offset < h.dataOffset) {
            uint8_t bytes[QUORIX_EXT_HEADER_SIZE];
            if (offset + QUORIX_EXT_HEADER_SIZE > limit ||
                !ReadAt(offset, bytes, QUORIX_EXT_HEADER_SIZE)) {
                Damage("extension record at %" PRIu64 " cut short", offset);
                return;
            }
            const ExtHeader e(bytes);
            if (!e.HasMagic()) {
                Damage("extension record at %" PRIu64 " has no MEXT magic", offset);
                return;
            }
            const uint64_t next = offset + QUORIX_EXT_HEADER_SIZE + e.length;
            const char* what = e.type == QUORIX_EXT_OPEN_INFO      ? "file-open information"
                               : e.type == QUORIX_EXT_RENDER_PARAM ? "renderer parameters"
                                                                   : "unknown, skipped";
            std::printf("  at %-10" PRIu64 " type %u (%s), %" PRIu32 " bytes\n", offset, e.type,
                        what, e.length);
            if (next > limit) {
                Damage("extension record at %" PRIu64 " runs past the data offset or the file",
                       offset);
                return;
            }
            if (e.type == QUORIX_EXT_RENDER_PARAM && e.length <= QUORIX_EXT_MAX_PAYLOAD) {
                std::vector<uint8_t> block(e.length);
                if (ReadAt(offset + QUORIX_EXT_HEADER_SIZE, block.data(), e.length))
                    PrintModelData(block);
            }
            offset = next;
        }
    }

    // The renderer parameter block: an 88-byte header ("SPH", size, model type, camera count,
    // stitched size) and a 200-byte record per camera (K, D, R, KDinv, extra flag), each
    // optionally followed by an extra block.
    static void PrintModelData(const std::vector<uint8_t>& block) {
        constexpr size_t kHeader = 88, kCamera = 200;
        auto f32 = [](const uint8_t* p) {
            const uint32_t bits = quorix_load_le32(p);
            float v;
            std::memcpy(&v, &bits, sizeof v);
            return static_cast<double>(v);
        };
        auto matrix = [&](const char* name, const uint8_t* p, int n) {
            std::printf("      %-6s", name);
            for (int i = 0; i < n; ++i)
                std::printf("%s%.6g",
                            i == 0                   ? " "
                            : (n == 9 && i % 3 == 0) ? " | "
                                                     : ", ",
                            f32(p + 4 * i));
            std::printf("\n");
        };
        if (block.size() < kHeader) {
            std::printf("    model data: %zu bytes, shorter than its %zu-byte header\n",
                        block.size(), kHeader);
            return;
        }
        const uint8_t* p = block.data();
        const bool magic = std::memcmp(p, "SPH", 4) == 0;
        const uint32_t size = quorix_load_le32(p + 4);
        const int32_t cameras = static_cast<int32_t>(quorix_load_le32(p + 12));
        std::printf("    model data: magic %s, block size %" PRIu32 "%s, model type %" PRIu32
                    ", cameras %" PRId32 "\n",
                    magic ? "SPH" : "wrong", size,
                    size < block.size() ? " (below the record's length)" : "",
                    quorix_load_le32(p + 8), cameras);
        std::printf("      stitched width %u, aspect %.6g\n", quorix_load_le16(p + 48),
                    f32(p + 52));
        size_t at = kHeader;
        for (int32_t c = 0; c < cameras && c < 64; ++c) {
            if (block.size() - at < kCamera) {
                std::printf("    camera %d: cut short (%zu of %zu bytes)\n", c, block.size() - at,
                            kCamera);
                return;
            }
            const uint8_t* cam = p + at;
            std::printf("    camera %d\n", c);
            matrix("K", cam, 9);
            matrix("D", cam + 36, 5);
            matrix("R", cam + 56, 9);
            matrix("KDinv", cam + 92, 9);
            at += kCamera;
            if (cam[132] != 0) {
                if (block.size() - at < 8) {
                    std::printf("      extra block cut short\n");
                    return;
                }
                const uint32_t len = quorix_load_le32(p + at + 4);
                std::printf("      extra block of %" PRIu32 " bytes\n", len);
                if (block.size() - at - 8 < len) {
                    std::printf("      extra block runs past the record\n");
                    return;
                }
                at += 8 + len;
            }
        }
        if (cameras > 64)
            std::printf("    (%" PRId32 " cameras announced; the first 64 shown)\n", cameras);
    }

    // The index, when the header's offset can hold one; returns where frame data ends.
    uint64_t PrintIndex(const FileHeader& h) {
        std::printf("\nkey-frame index\n");
        uint64_t dataEnd = m_size;
        if (h.indexOffset == 0) {
            std::printf("  none (the reader rebuilds it by scanning)\n");
            return dataEnd;
        }
        if (h.indexOffset < std::max<uint32_t>(QUORIX_FILE_HEADER_SIZE, h.dataOffset) ||
            h.indexOffset > m_size) {
            Damage("index offset %" PRIu32 " is outside the frame data; the reader scans instead",
                   h.indexOffset);
            return dataEnd;
        }
        dataEnd = h.indexOffset;
        const uint64_t entries = (m_size - h.indexOffset) / QUORIX_INDEX_ENTRY_SIZE;
        if ((m_size - h.indexOffset) % QUORIX_INDEX_ENTRY_SIZE != 0)
            Damage("index ends with a partial entry");
        std::printf("  %" PRIu64 " entries on disk, header says %" PRIu32 "\n", entries,
                    h.indexCount);
        for (uint64_t i = 0; i < entries; ++i) {
            uint8_t bytes[QUORIX_INDEX_ENTRY_SIZE];
            if (!ReadAt(h.indexOffset + i * QUORIX_INDEX_ENTRY_SIZE, bytes,
                        QUORIX_INDEX_ENTRY_SIZE))
                break;
            const IndexEntry e(bytes);
            const char* note = "";
            if (e.IsEmpty()) {
                note = "  (empty, ignored)";
            } else if (e.offset < h.dataOffset ||
                       uint64_t{e.offset} + QUORIX_RECORD_SIZE > dataEnd) {
                note = "  (outside the frame data, ignored)";
            } else {
                uint8_t fh[QUORIX_RECORD_SIZE];
                if (!ReadAt(e.offset, fh, QUORIX_RECORD_SIZE)) {
                    note = "  (unreadable)";
                } else {
                    const RecordHeader f(fh);
                    if (f.magic != QUORIX_RECORD_MAGIC_PLAIN || !f.IsKeyFrame())
                        note = "  (not a key frame record)";
                }
            }
            std::printf("  #%-6" PRIu64 " ts %-10" PRIu32 " offset %-10" PRIu32 " frame %" PRIu32
                        "%s\n",
                        i, e.timestamp, e.offset, e.frameNumber, note);
        }
        return dataEnd;
    }

    void ScanRecords(const FileHeader& h, uint64_t dataEnd) {
        if (m_listFrames)
            std::printf("\nframe records\n");
        std::map<unsigned, KindSummary> kinds;
        uint64_t offset = h.dataOffset;
        uint64_t records = 0;
        std::string stop = "end of the frame data";
        while (offset < dataEnd) {
            uint8_t bytes[QUORIX_RECORD_SIZE];
            if (offset + QUORIX_RECORD_SIZE > dataEnd ||
                !ReadAt(offset, bytes, QUORIX_RECORD_SIZE)) {
                stop = "record header cut short at " + std::to_string(offset);
                break;
            }
            const RecordHeader f(bytes);
            if (f.magic != QUORIX_RECORD_MAGIC_PLAIN) {
                char text[80];
                std::snprintf(text, sizeof text, "magic %#06x instead of \"ht\" at %" PRIu64,
                              f.magic, offset);
                stop = text;
                break;
            }
            if (offset + f.RecordSize() > dataEnd) {
                stop = "record at " + std::to_string(offset) + " announces " +
                       std::to_string(f.payloadLength) + " payload bytes, more than the data holds";
                break;
            }
            if (f.payloadLength > QUORIX_MAX_INPUT_PAYLOAD) {
                stop = "record at " + std::to_string(offset) + " is larger than a reader accepts";
                break;
            }
            if (m_listFrames) {
                std::printf(
                    "  at %-10" PRIu64 " %-13s%s stream %-3u seq %-10" PRIu32 " ts %-10" PRIu32
                    " clock %-10" PRIu32 " codec %-2u %-22s %" PRIu32 " bytes\n",
                    offset, KindName(f.Kind()), f.IsComposite() ? "+" : " ", f.streamId, f.sequence,
                    f.timestamp, f.clock, f.codec, FormatOf(f).c_str(), f.payloadLength);
            }
            if (f.IsVideo())
                Account(m_video, f);
            KindSummary& k = kinds[f.Kind()];
            Account(k, f);
            ++records;
            offset += f.RecordSize();
        }
        PrintSummary(h, kinds, records, offset, dataEnd, stop);
    }

    static void Account(KindSummary& k, const RecordHeader& f) {
        if (k.count == 0) {
            k.firstTimestamp = f.timestamp;
        } else {
            const int32_t step = StampDiff(f.timestamp, k.lastTimestamp);
            if (step < 0) {
                ++k.backwards;
            } else {
                k.maxGap = std::max<uint32_t>(k.maxGap, static_cast<uint32_t>(step));
                if (step > 1000)
                    ++k.longGaps;
            }
        }
        ++k.count;
        k.lastTimestamp = f.timestamp;
        k.payloadBytes += f.payloadLength;
        k.minPayload = std::min(k.minPayload, f.payloadLength);
        k.maxPayload = std::max(k.maxPayload, f.payloadLength);
        k.codecs.insert(f.codec);
        k.formats.insert(FormatOf(f));
        k.streams.insert(f.streamId);
        if (f.IsComposite())
            ++k.composite;
    }

    void PrintSummary(const FileHeader& h, const std::map<unsigned, KindSummary>& kinds,
                      uint64_t records, uint64_t offset, uint64_t dataEnd, std::string stop) {
        if (offset < dataEnd && stop == "end of the frame data")
            stop = "stopped at " + std::to_string(offset);
        std::printf("\nframe records: %" PRIu64 ", from %" PRIu32 " to %" PRIu64 ", %s\n", records,
                    h.dataOffset, offset, stop.c_str());
        if (offset < dataEnd)
            Damage("%" PRIu64 " bytes of frame data not readable as records", dataEnd - offset);
        uint64_t video = 0;
        for (const auto& [kind, k] : kinds) {
            if (IsVideoKind(kind))
                video += k.count;
            std::printf(
                "  kind %u (%s): %" PRIu64 " records%s\n", kind, KindName(kind), k.count,
                k.composite ? (", " + std::to_string(k.composite) + " composite").c_str() : "");
            std::printf("    timestamps %" PRIu32 " .. %" PRIu32 " ms, largest step %" PRIu32
                        " ms, steps over 1 s %" PRIu64 ", steps back %" PRIu64 "\n",
                        k.firstTimestamp, k.lastTimestamp, k.maxGap, k.longGaps, k.backwards);
            std::printf("    payload %" PRIu32 " .. %" PRIu32 " bytes, %" PRIu64 " in all\n",
                        k.minPayload, k.maxPayload, k.payloadBytes);
            std::printf("    codecs %s; streams %s; %s %s\n", Join(k.codecs).c_str(),
                        Join(k.streams).c_str(), kind == QUORIX_KIND_AUDIO ? "formats" : "sizes",
                        Join(k.formats).c_str());
        }
        if (m_video.count != 0) {
            std::printf("  all video: timestamps %" PRIu32 " .. %" PRIu32
                        " ms, largest step %" PRIu32 " ms, steps over 1 s %" PRIu64
                        ", steps back %" PRIu64 "\n",
                        m_video.firstTimestamp, m_video.lastTimestamp, m_video.maxGap,
                        m_video.longGaps, m_video.backwards);
        }
        if (h.indexOffset != 0 && video != h.frameCount) {
            Damage("header counts %" PRIu32 " video frames, the records hold %" PRIu64,
                   h.frameCount, video);
        }
    }

    int damage = 0;

private:
    void Damage(const char* format, ...) __attribute__((format(printf, 2, 3))) {
        va_list args;
        va_start(args, format);
        std::printf("  damage: ");
        std::vprintf(format, args);
        std::printf("\n");
        va_end(args);
        ++damage;
    }

    InputFile& m_file;
    KindSummary m_video;  // video kinds together, in file order
    uint64_t m_size;
    bool m_listFrames;
};

int Usage() {
    std::fprintf(stderr, "usage: quorix-info [--frames] FILE\n");
    return 64;
}

}  // namespace

int main(int argc, char** argv) {
    bool listFrames = false;
    const char* path = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--frames") == 0) {
            listFrames = true;
        } else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            Usage();
            return 0;
        } else if (path == nullptr && argv[i][0] != '-') {
            path = argv[i];
        } else {
            return Usage();
        }
    }
    if (path == nullptr)
        return Usage();

    InputFile file;
    if (!file.Open(path)) {
        std::fprintf(stderr, "quorix-info: %s: cannot open: %s\n", path, std::strerror(errno));
        return 1;
    }
    uint8_t bytes[QUORIX_FILE_HEADER_SIZE];
    if (file.Size() < QUORIX_FILE_HEADER_SIZE || !file.ReadAt(0, bytes, QUORIX_FILE_HEADER_SIZE)) {
        std::fprintf(
            stderr,
            "quorix-info: %s: not a media container file (shorter than its 64-byte header)\n",
            path);
        return 2;
    }
    const FileHeader header(bytes);
    if (!header.HasMagic()) {
        std::fprintf(stderr, "quorix-info: %s: not a media container file (no \"ZEBM\" magic)\n",
                     path);
        return 2;
    }

    Inspector inspector(file, listFrames);
    inspector.PrintHeader(header);
    inspector.PrintExtensions(header);
    const uint64_t dataEnd = inspector.PrintIndex(header);
    inspector.ScanRecords(header, dataEnd);
    if (inspector.damage != 0)
        std::printf("\n%d damage report(s)\n", inspector.damage);
    return 0;
}
