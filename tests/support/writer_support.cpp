#include "support/writer_support.h"

#include <fstream>
#include <iterator>

#include "base/hdatetime.h"
#include "base/hmodule.h"

namespace quorixtest {

using namespace BRIXEL;

Bytes MakeRecord(uint8_t type, uint32_t timestamp, uint32_t sequence, uint32_t clock,
                 uint32_t payloadLength, uint8_t streamId) {
    HMFFrameHeader h = HMFNewFrameHeader();
    h.type = type;
    h.streamId = streamId;
    h.sequence = sequence;
    h.timestamp = timestamp;
    h.clock = clock;
    h.flags = 0x5A;  // carried unchanged, so it is set to something
    if (HMFIsAudioKind(type & kHMFKindMask)) {
        h.codec = 3;
        h.SetAudioFormat(1, 16, 8000);
    } else {
        h.codec = 1;
        h.SetVideoSize(640, 480);
        h.media[4] = 0xC3;
        h.media[5] = 0x3C;
    }
    h.payloadLength = payloadLength;
    Bytes r(kHMFFrameHeaderSize + size_t{payloadLength});
    HMFSerializeFrameHeader(h, r.data());
    for (uint32_t i = 0; i < payloadLength; ++i) {
        r[kHMFFrameHeaderSize + i] = static_cast<uint8_t>(sequence * 7u + timestamp * 13u + i);
    }
    return r;
}

std::vector<Bytes> MakeStream(const StreamSpec& desc) {
    std::vector<Bytes> out;
    uint32_t n = 0;
    for (uint32_t g = 0; g < desc.groups; ++g) {
        for (uint32_t i = 0; i < desc.groupLength; ++i, ++n) {
            const uint32_t ts = desc.firstTimestamp + n * desc.intervalMs;
            const uint32_t clock = desc.firstClock + (ts - desc.firstTimestamp) / 1000u;
            const uint8_t kind = i == 0 ? HMF_KIND_KEY : HMF_KIND_DELTA;
            const uint32_t size = desc.payloadLength + (n * 37u) % (desc.payloadLength + 1);
            out.push_back(MakeRecord(kind, ts, desc.firstSequence + n, clock, size));
            if (desc.withAudio)
                out.push_back(MakeRecord(HMF_KIND_AUDIO, ts + 5, n, clock, 160));
        }
    }
    return out;
}

Bytes Concat(const std::vector<Bytes>& records) {
    Bytes all;
    for (const Bytes& r : records)
        all.insert(all.end(), r.begin(), r.end());
    return all;
}

Bytes ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<Bytes> SplitRecords(const Bytes& file, uint64_t from, uint64_t end) {
    std::vector<Bytes> out;
    if (end > file.size())
        end = file.size();
    uint64_t at = from;
    while (at + kHMFFrameHeaderSize <= end) {
        HMFFrameHeader h;
        HMFParseFrameHeader(file.data() + at, &h);
        if (h.magic != kHMFFrameMagic || at + h.RecordSize() > end)
            break;
        out.emplace_back(file.begin() + static_cast<ptrdiff_t>(at),
                         file.begin() + static_cast<ptrdiff_t>(at + h.RecordSize()));
        at += h.RecordSize();
    }
    return out;
}

HMFFileHeader HeaderOf(const Bytes& file) {
    HMFFileHeader h = HMFZeroHeader();
    if (file.size() >= kHMFHeaderSize)
        HMFParseFileHeader(file.data(), &h);
    return h;
}

std::vector<HMFIndexEntry> IndexOf(const Bytes& file) {
    std::vector<HMFIndexEntry> out;
    const HMFFileHeader h = HeaderOf(file);
    if (h.indexOffset == 0)
        return out;
    for (uint64_t at = h.indexOffset; at + kHMFIndexEntrySize <= file.size();
         at += kHMFIndexEntrySize) {
        HMFIndexEntry e;
        HMFParseIndexEntry(file.data() + at, &e);
        out.push_back(e);
    }
    return out;
}

HMFFrameHeader FrameHeaderOf(const Bytes& record) {
    HMFFrameHeader h;
    HMFParseFrameHeader(record.data(), &h);
    return h;
}

double LocalDateOf(uint32_t clock) {
    struct tm fields;
    if (!HLocalTime(clock, &fields))
        return -1.0;
    return CHDateTime(fields).GetValue();
}

}  // namespace quorixtest
