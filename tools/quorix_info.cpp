// quorix-info [--frames] FILE
//
// Prints the header of a media container file, its extension records, its key-frame index and a
// summary of its frame records per kind (counts, first and last timestamps, codecs, sizes and
// gaps); --frames also lists every record. Damage (records that run past the data, broken
// magics, an index outside the file) is reported where it is found. Exit status: 0 for a
// container file, 1 when the file cannot be read, 2 when it is not a container file, 64 for a
// bad command line.

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <type_traits>
#include <vector>

#include "base/hdatetime.h"
#include "base/hfile.h"
#include "media/hmfformat.h"

using namespace BRIXEL;

namespace {

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
    uint32_t maxGap = 0;        // largest step between consecutive timestamps
    uint64_t longGaps = 0;      // steps over 1000 ms
    uint64_t backwards = 0;     // stamps that went back
};

const char* KindName(unsigned kind) {
    switch (kind) {
        case HMF_KIND_AUDIO: return "audio";
        case HMF_KIND_KEY: return "video key";
        case HMF_KIND_DELTA: return "video delta";
        case HMF_KIND_UNTIMED: return "video untimed";
        default: return "other";
    }
}

std::string DateText(double days) {
    CHDateTime t(days);
    if (!t.IsValid()) return "invalid";
    return t.ToString();
}

std::string FormatOf(const HMFFrameHeader& h) {
    char text[64];
    if (h.IsAudio()) {
        std::snprintf(text, sizeof text, "%u ch %u bit %" PRIu32 " Hz", h.Channels(), h.BitsPerSample(), h.SampleRate());
    } else {
        std::snprintf(text, sizeof text, "%ux%u", h.Width(), h.Height());
    }
    return text;
}

template <typename T>
std::string Join(const std::set<T>& values) {
    std::string out;
    for (const T& v : values) {
        if (!out.empty()) out += ", ";
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
    Inspector(CHFile& file, uint64_t size, bool listFrames) : m_file(file), m_size(size), m_listFrames(listFrames) {}

    bool ReadAt(uint64_t offset, void* buffer, uint32_t count) {
        return m_file.Seek(static_cast<int64_t>(offset), SEEK_SET) == 0 && m_file.Read(buffer, count) == count;
    }

    void PrintHeader(const HMFFileHeader& h) {
        std::printf("file size        %" PRIu64 "\n", m_size);
        std::printf("magic            ZEBM\n");
        std::printf("create tick      %" PRIu32 "\n", h.createTick);
        std::printf("start            %s (%.9f)\n", DateText(h.startTime).c_str(), h.startTime);
        const double end = h.startTime + static_cast<double>(h.TotalTime()) / 86400000.0;
        std::printf("end              %s\n", DateText(end).c_str());
        std::printf("data offset      %" PRIu32 "\n", h.dataOffset);
        std::printf("index offset     %" PRIu32 "%s\n", h.indexOffset, h.indexOffset == 0 ? " (no index)" : "");
        std::printf("first timestamp  %" PRIu32 " ms\n", h.firstTimestamp);
        std::printf("last timestamp   %" PRIu32 " ms\n", h.lastTimestamp);
        std::printf("total time       %" PRIu32 " ms\n", h.TotalTime());
        std::printf("first sequence   %" PRIu32 "\n", h.firstSequence);
        std::printf("video frames     %" PRIu32 "\n", h.frameCount);
        std::printf("index entries    %" PRIu32 "\n", h.indexCount);
        std::printf("format tag       %u\n", h.formatTag);
        std::printf("render model     %d\n", h.renderModel);
    }

    void PrintExtensions(const HMFFileHeader& h) {
        std::printf("\nextension records\n");
        if (h.dataOffset <= kHMFHeaderSize) {
            std::printf("  none\n");
            return;
        }
        const uint64_t limit = std::min<uint64_t>(h.dataOffset, m_size);
        uint64_t offset = kHMFHeaderSize;
        while (offset < h.dataOffset) {
            uint8_t bytes[kHMFExtHeaderSize];
            if (offset + kHMFExtHeaderSize > limit || !ReadAt(offset, bytes, kHMFExtHeaderSize)) {
                Damage("extension record at %" PRIu64 " cut short", offset);
                return;
            }
            HMFExtHeader e;
            HMFParseExtHeader(bytes, &e);
            if (!e.HasMagic()) {
                Damage("extension record at %" PRIu64 " has no MEXT magic", offset);
                return;
            }
            const uint64_t next = offset + kHMFExtHeaderSize + e.length;
            const char* what = e.type == HMF_EXT_OPEN_INFO      ? "file-open information"
                               : e.type == HMF_EXT_RENDER_PARAM ? "renderer parameters"
                                                                : "unknown, skipped";
            std::printf("  at %-10" PRIu64 " type %u (%s), %" PRIu32 " bytes\n", offset, e.type, what, e.length);
            if (next > limit) {
                Damage("extension record at %" PRIu64 " runs past the data offset or the file", offset);
                return;
            }
            if (e.type == HMF_EXT_RENDER_PARAM && e.length <= kHMFMaxExtPayload) {
                std::vector<uint8_t> block(e.length);
                if (ReadAt(offset + kHMFExtHeaderSize, block.data(), e.length)) PrintModelData(block);
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
            const uint32_t bits = HLoadLE32(p);
            float v;
            std::memcpy(&v, &bits, sizeof v);
            return static_cast<double>(v);
        };
        auto matrix = [&](const char* name, const uint8_t* p, int n) {
            std::printf("      %-6s", name);
            for (int i = 0; i < n; ++i) std::printf("%s%.6g", i == 0 ? " " : (n == 9 && i % 3 == 0) ? " | " : ", ", f32(p + 4 * i));
            std::printf("\n");
        };
        if (block.size() < kHeader) {
            std::printf("    model data: %zu bytes, shorter than its %zu-byte header\n", block.size(), kHeader);
            return;
        }
        const uint8_t* p = block.data();
        const bool magic = std::memcmp(p, "SPH", 4) == 0;
        const uint32_t size = HLoadLE32(p + 4);
        const int32_t cameras = static_cast<int32_t>(HLoadLE32(p + 12));
        std::printf("    model data: magic %s, block size %" PRIu32 "%s, model type %" PRIu32 ", cameras %" PRId32 "\n",
                    magic ? "SPH" : "wrong", size, size < block.size() ? " (below the record's length)" : "",
                    HLoadLE32(p + 8), cameras);
        std::printf("      stitched width %u, aspect %.6g\n", HLoadLE16(p + 48), f32(p + 52));
        size_t at = kHeader;
        for (int32_t c = 0; c < cameras && c < 64; ++c) {
            if (block.size() - at < kCamera) {
                std::printf("    camera %d: cut short (%zu of %zu bytes)\n", c, block.size() - at, kCamera);
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
                const uint32_t len = HLoadLE32(p + at + 4);
                std::printf("      extra block of %" PRIu32 " bytes\n", len);
                if (block.size() - at - 8 < len) {
                    std::printf("      extra block runs past the record\n");
                    return;
                }
                at += 8 + len;
            }
        }
        if (cameras > 64) std::printf("    (%" PRId32 " cameras announced; the first 64 shown)\n", cameras);
    }

    // The index, when the header's offset can hold one; returns where frame data ends.
    uint64_t PrintIndex(const HMFFileHeader& h) {
        std::printf("\nkey-frame index\n");
        uint64_t dataEnd = m_size;
        if (h.indexOffset == 0) {
            std::printf("  none (the reader rebuilds it by scanning)\n");
            return dataEnd;
        }
        if (h.indexOffset < std::max<uint32_t>(kHMFHeaderSize, h.dataOffset) || h.indexOffset > m_size) {
            Damage("index offset %" PRIu32 " is outside the frame data; the reader scans instead", h.indexOffset);
            return dataEnd;
        }
        dataEnd = h.indexOffset;
        const uint64_t entries = (m_size - h.indexOffset) / kHMFIndexEntrySize;
        if ((m_size - h.indexOffset) % kHMFIndexEntrySize != 0) Damage("index ends with a partial entry");
        std::printf("  %" PRIu64 " entries on disk, header says %" PRIu32 "\n", entries, h.indexCount);
        for (uint64_t i = 0; i < entries; ++i) {
            uint8_t bytes[kHMFIndexEntrySize];
            if (!ReadAt(h.indexOffset + i * kHMFIndexEntrySize, bytes, kHMFIndexEntrySize)) break;
            HMFIndexEntry e;
            HMFParseIndexEntry(bytes, &e);
            const char* note = "";
            if (e.IsEmpty()) {
                note = "  (empty, ignored)";
            } else if (e.offset < h.dataOffset || uint64_t{e.offset} + kHMFFrameHeaderSize > dataEnd) {
                note = "  (outside the frame data, ignored)";
            } else {
                uint8_t fh[kHMFFrameHeaderSize];
                HMFFrameHeader f;
                if (!ReadAt(e.offset, fh, kHMFFrameHeaderSize)) {
                    note = "  (unreadable)";
                } else {
                    HMFParseFrameHeader(fh, &f);
                    if (f.magic != kHMFFrameMagic || !f.IsKeyFrame()) note = "  (not a key frame record)";
                }
            }
            std::printf("  #%-6" PRIu64 " ts %-10" PRIu32 " offset %-10" PRIu32 " frame %" PRIu32 "%s\n", i,
                        e.timestamp, e.offset, e.frameNumber, note);
        }
        return dataEnd;
    }

    void ScanRecords(const HMFFileHeader& h, uint64_t dataEnd) {
        if (m_listFrames) std::printf("\nframe records\n");
        std::map<unsigned, KindSummary> kinds;
        uint64_t offset = h.dataOffset;
        uint64_t records = 0;
        std::string stop = "end of the frame data";
        while (offset < dataEnd) {
            uint8_t bytes[kHMFFrameHeaderSize];
            if (offset + kHMFFrameHeaderSize > dataEnd || !ReadAt(offset, bytes, kHMFFrameHeaderSize)) {
                stop = "record header cut short at " + std::to_string(offset);
                break;
            }
            HMFFrameHeader f;
            HMFParseFrameHeader(bytes, &f);
            if (f.magic != kHMFFrameMagic) {
                char text[80];
                std::snprintf(text, sizeof text, "magic %#06x instead of \"ht\" at %" PRIu64, f.magic, offset);
                stop = text;
                break;
            }
            if (offset + f.RecordSize() > dataEnd) {
                stop = "record at " + std::to_string(offset) + " announces " + std::to_string(f.payloadLength) +
                       " payload bytes, more than the data holds";
                break;
            }
            if (f.payloadLength > kHMFMaxPayload) {
                stop = "record at " + std::to_string(offset) + " is larger than a reader accepts";
                break;
            }
            if (m_listFrames) {
                std::printf("  at %-10" PRIu64 " %-13s%s stream %-3u seq %-10" PRIu32 " ts %-10" PRIu32
                            " clock %-10" PRIu32 " codec %-2u %-22s %" PRIu32 " bytes\n",
                            offset, KindName(f.Kind()), f.IsComposite() ? "+" : " ", f.streamId, f.sequence,
                            f.timestamp, f.clock, f.codec, FormatOf(f).c_str(), f.payloadLength);
            }
            if (f.IsVideo()) Account(m_video, f);
            KindSummary& k = kinds[f.Kind()];
            Account(k, f);
            ++records;
            offset += f.RecordSize();
        }
        PrintSummary(h, kinds, records, offset, dataEnd, stop);
    }

    static void Account(KindSummary& k, const HMFFrameHeader& f) {
        if (k.count == 0) {
            k.firstTimestamp = f.timestamp;
        } else {
            const int32_t step = HStampDiff(f.timestamp, k.lastTimestamp);
            if (step < 0) {
                ++k.backwards;
            } else {
                k.maxGap = std::max<uint32_t>(k.maxGap, static_cast<uint32_t>(step));
                if (step > 1000) ++k.longGaps;
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
        if (f.IsComposite()) ++k.composite;
    }

    void PrintSummary(const HMFFileHeader& h, const std::map<unsigned, KindSummary>& kinds, uint64_t records,
                      uint64_t offset, uint64_t dataEnd, std::string stop) {
        if (offset < dataEnd && stop == "end of the frame data") stop = "stopped at " + std::to_string(offset);
        std::printf("\nframe records: %" PRIu64 ", from %" PRIu32 " to %" PRIu64 ", %s\n", records, h.dataOffset,
                    offset, stop.c_str());
        if (offset < dataEnd) Damage("%" PRIu64 " bytes of frame data not readable as records", dataEnd - offset);
        uint64_t video = 0;
        for (const auto& [kind, k] : kinds) {
            if (HMFIsVideoKind(static_cast<uint8_t>(kind))) video += k.count;
            std::printf("  kind %u (%s): %" PRIu64 " records%s\n", kind, KindName(kind), k.count,
                        k.composite ? (", " + std::to_string(k.composite) + " composite").c_str() : "");
            std::printf("    timestamps %" PRIu32 " .. %" PRIu32 " ms, largest step %" PRIu32
                        " ms, steps over 1 s %" PRIu64 ", steps back %" PRIu64 "\n",
                        k.firstTimestamp, k.lastTimestamp, k.maxGap, k.longGaps, k.backwards);
            std::printf("    payload %" PRIu32 " .. %" PRIu32 " bytes, %" PRIu64 " in all\n", k.minPayload,
                        k.maxPayload, k.payloadBytes);
            std::printf("    codecs %s; streams %s; %s %s\n", Join(k.codecs).c_str(), Join(k.streams).c_str(),
                        kind == HMF_KIND_AUDIO ? "formats" : "sizes", Join(k.formats).c_str());
        }
        if (m_video.count != 0) {
            std::printf("  all video: timestamps %" PRIu32 " .. %" PRIu32 " ms, largest step %" PRIu32
                        " ms, steps over 1 s %" PRIu64 ", steps back %" PRIu64 "\n",
                        m_video.firstTimestamp, m_video.lastTimestamp, m_video.maxGap, m_video.longGaps,
                        m_video.backwards);
        }
        if (h.indexOffset != 0 && video != h.frameCount) {
            Damage("header counts %" PRIu32 " video frames, the records hold %" PRIu64, h.frameCount, video);
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

    CHFile& m_file;
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
    if (path == nullptr) return Usage();

    CHFile file;
    if (!file.Open(path, "rb")) {
        std::fprintf(stderr, "quorix-info: %s: cannot open: %s\n", path, std::strerror(errno));
        return 1;
    }
    const int64_t size = file.GetSize();
    uint8_t bytes[kHMFHeaderSize];
    if (size < static_cast<int64_t>(kHMFHeaderSize) || file.Read(bytes, kHMFHeaderSize) != kHMFHeaderSize) {
        std::fprintf(stderr, "quorix-info: %s: not a media container file (shorter than its 64-byte header)\n", path);
        return 2;
    }
    HMFFileHeader header;
    HMFParseFileHeader(bytes, &header);
    if (!header.HasMagic()) {
        std::fprintf(stderr, "quorix-info: %s: not a media container file (no \"ZEBM\" magic)\n", path);
        return 2;
    }

    Inspector inspector(file, static_cast<uint64_t>(size), listFrames);
    inspector.PrintHeader(header);
    inspector.PrintExtensions(header);
    const uint64_t dataEnd = inspector.PrintIndex(header);
    inspector.ScanRecords(header, dataEnd);
    if (inspector.damage != 0) std::printf("\n%d damage report(s)\n", inspector.damage);
    return 0;
}
