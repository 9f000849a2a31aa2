#pragma once
// On-disk layout of the media container and the little-endian helpers that read and write it.
//
//   offset 0            64-byte file header, magic "ZEBM"
//   offset 64           extension records "MEXT" (only when the data offset is at least 65)
//   data offset         frame records: a 28-byte header (magic "ht") followed by the payload
//   index offset        key-frame index: 12-byte entries up to the end of the file
//
// Every multi-byte field is little-endian whatever the host. The structures below are plain
// values: Parse* reads them from bytes and Serialize* writes them back byte-exactly, including
// the fields the system does not interpret (so that a header copied by clip export or a record
// passed through stays unchanged). Nothing here touches a file.

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace BRIXEL {

// ---------------------------------------------------------------------------------------------
// Little-endian primitives.

inline uint16_t HLoadLE16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t HLoadLE32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline uint64_t HLoadLE64(const uint8_t* p) {
    return static_cast<uint64_t>(HLoadLE32(p)) | (static_cast<uint64_t>(HLoadLE32(p + 4)) << 32);
}
inline double HLoadLEF64(const uint8_t* p) {
    const uint64_t bits = HLoadLE64(p);
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}
inline void HStoreLE16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void HStoreLE32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void HStoreLE64(uint8_t* p, uint64_t v) {
    HStoreLE32(p, static_cast<uint32_t>(v));
    HStoreLE32(p + 4, static_cast<uint32_t>(v >> 32));
}
inline void HStoreLEF64(uint8_t* p, double value) {
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    HStoreLE64(p, bits);
}

// Ordering of 32-bit timestamps and frame numbers that may wrap around 2^32: negative when a
// comes before b.
inline int32_t HStampDiff(uint32_t a, uint32_t b) { return static_cast<int32_t>(a - b); }

// ---------------------------------------------------------------------------------------------
// Sizes, magics and the reader's bounds on lengths taken from a file.

constexpr uint32_t kHMFHeaderSize = 64;
constexpr uint32_t kHMFExtHeaderSize = 12;
constexpr uint32_t kHMFFrameHeaderSize = 28;
constexpr uint32_t kHMFIndexEntrySize = 12;

constexpr char kHMFFileMagic[4] = {'Z', 'E', 'B', 'M'};
constexpr char kHMFExtMagic[4] = {'M', 'E', 'X', 'T'};
constexpr uint16_t kHMFFrameMagic = 0x7468;     // bytes "ht": a frame record
constexpr uint16_t kHMFSubFrameMagic = 0x5448;  // bytes "HT": a sub-frame of a composite packet
constexpr uint8_t kHMFFormatTag = 2;            // what the recorder writes at header byte 60

// Largest frame payload the reader accepts. A record announcing more is treated as damage (end
// of the data), so a lying length never turns into a huge allocation.
constexpr uint32_t kHMFMaxPayload = 64u << 20;
// Largest extension payload the reader loads; bigger ones end the extension records.
constexpr uint32_t kHMFMaxExtPayload = 16u << 20;

// Extension record types.
enum : uint8_t {
    HMF_EXT_OPEN_INFO = 1,    // opaque file-open information for the host
    HMF_EXT_RENDER_PARAM = 2, // renderer parameter block
};

// Frame kinds: bits 0-6 of the frame type byte.
enum : uint8_t {
    HMF_KIND_AUDIO = 0,
    HMF_KIND_KEY = 1,       // video key frame: decoding can start here; the only indexed kind
    HMF_KIND_DELTA = 3,     // video frame depending on earlier frames
    HMF_KIND_UNTIMED = 4,   // video frame whose timestamp is not trusted
};
constexpr uint8_t kHMFCompositeBit = 0x80;  // frame type bit 7: a composite packet
constexpr uint8_t kHMFKindMask = 0x7F;

inline bool HMFIsVideoKind(uint8_t kind) {
    return kind == HMF_KIND_KEY || kind == HMF_KIND_DELTA || kind == HMF_KIND_UNTIMED;
}
inline bool HMFIsAudioKind(uint8_t kind) { return kind == HMF_KIND_AUDIO; }

// ---------------------------------------------------------------------------------------------
// File header, 64 bytes at offset 0.

struct HMFFileHeader {
    char magic[4];              // 0   "ZEBM"
    uint8_t reserved[16];       // 4   zero from the recorder, carried unchanged
    uint32_t createTick;        // 20  tick count (ms since boot) at creation
    double startTime;           // 24  local start date-time, days since 1899-12-30
    uint32_t dataOffset;        // 32  first frame record
    uint32_t indexOffset;       // 36  key-frame index, 0 when there is none
    uint32_t firstTimestamp;    // 40  first video frame, ms
    uint32_t lastTimestamp;     // 44  last video frame, ms
    uint32_t firstSequence;     // 48  sequence number of the first video frame
    uint32_t frameCount;        // 52  number of video frames
    uint32_t indexCount;        // 56  number of index entries
    uint8_t formatTag;          // 60  2 from the recorder, not interpreted
    int8_t renderModel;         // 61  display model of the recording, -1 external renderer
    uint8_t tail[2];            // 62  zero

    bool HasMagic() const { return std::memcmp(magic, kHMFFileMagic, 4) == 0; }
    // Total play time in ms: last minus first video timestamp (wraps like the stamps do).
    uint32_t TotalTime() const { return lastTimestamp - firstTimestamp; }
};
static_assert(sizeof(HMFFileHeader) == kHMFHeaderSize, "header layout");
static_assert(offsetof(HMFFileHeader, startTime) == 24 && offsetof(HMFFileHeader, dataOffset) == 32 &&
                  offsetof(HMFFileHeader, formatTag) == 60,
              "header layout");

// A header with every field zero: what the reader uses for a file that has none.
inline HMFFileHeader HMFZeroHeader() {
    HMFFileHeader h;
    std::memset(&h, 0, sizeof h);
    return h;
}

// A header as the recorder begins it: magic, data offset 64, everything else zero.
inline HMFFileHeader HMFNewHeader() {
    HMFFileHeader h = HMFZeroHeader();
    std::memcpy(h.magic, kHMFFileMagic, 4);
    h.dataOffset = kHMFHeaderSize;
    return h;
}

inline void HMFParseFileHeader(const uint8_t* p, HMFFileHeader* h) {
    std::memcpy(h->magic, p, 4);
    std::memcpy(h->reserved, p + 4, 16);
    h->createTick = HLoadLE32(p + 20);
    h->startTime = HLoadLEF64(p + 24);
    h->dataOffset = HLoadLE32(p + 32);
    h->indexOffset = HLoadLE32(p + 36);
    h->firstTimestamp = HLoadLE32(p + 40);
    h->lastTimestamp = HLoadLE32(p + 44);
    h->firstSequence = HLoadLE32(p + 48);
    h->frameCount = HLoadLE32(p + 52);
    h->indexCount = HLoadLE32(p + 56);
    h->formatTag = p[60];
    h->renderModel = static_cast<int8_t>(p[61]);
    h->tail[0] = p[62];
    h->tail[1] = p[63];
}

inline void HMFSerializeFileHeader(const HMFFileHeader& h, uint8_t* p) {
    std::memcpy(p, h.magic, 4);
    std::memcpy(p + 4, h.reserved, 16);
    HStoreLE32(p + 20, h.createTick);
    HStoreLEF64(p + 24, h.startTime);
    HStoreLE32(p + 32, h.dataOffset);
    HStoreLE32(p + 36, h.indexOffset);
    HStoreLE32(p + 40, h.firstTimestamp);
    HStoreLE32(p + 44, h.lastTimestamp);
    HStoreLE32(p + 48, h.firstSequence);
    HStoreLE32(p + 52, h.frameCount);
    HStoreLE32(p + 56, h.indexCount);
    p[60] = h.formatTag;
    p[61] = static_cast<uint8_t>(h.renderModel);
    p[62] = h.tail[0];
    p[63] = h.tail[1];
}

// ---------------------------------------------------------------------------------------------
// Extension record header, 12 bytes, followed by `length` payload bytes.

struct HMFExtHeader {
    char magic[4];         // 0  "MEXT"
    uint8_t type;          // 4  HMF_EXT_*
    uint8_t reserved[3];   // 5  zero
    uint32_t length;       // 8  payload length

    bool HasMagic() const { return std::memcmp(magic, kHMFExtMagic, 4) == 0; }
};
static_assert(sizeof(HMFExtHeader) == kHMFExtHeaderSize, "extension header layout");

inline void HMFParseExtHeader(const uint8_t* p, HMFExtHeader* h) {
    std::memcpy(h->magic, p, 4);
    h->type = p[4];
    std::memcpy(h->reserved, p + 5, 3);
    h->length = HLoadLE32(p + 8);
}

inline void HMFSerializeExtHeader(const HMFExtHeader& h, uint8_t* p) {
    std::memcpy(p, h.magic, 4);
    p[4] = h.type;
    std::memcpy(p + 5, h.reserved, 3);
    HStoreLE32(p + 8, h.length);
}

inline HMFExtHeader HMFMakeExtHeader(uint8_t type, uint32_t length) {
    HMFExtHeader h;
    std::memcpy(h.magic, kHMFExtMagic, 4);
    h.type = type;
    h.reserved[0] = h.reserved[1] = h.reserved[2] = 0;
    h.length = length;
    return h;
}

// ---------------------------------------------------------------------------------------------
// Frame record header, 28 bytes, followed by `payloadLength` bytes.
//
// Bytes 18-23 depend on the kind: video carries width (u16 at 18) and height (u16 at 20, bytes
// 22-23 not interpreted); audio carries channels (byte 18), bits per sample (byte 19) and the
// sample rate (u32 at 20). They are kept raw in `media` so a header round-trips exactly.

struct HMFFrameHeader {
    uint16_t magic;          // 0   kHMFFrameMagic, or kHMFSubFrameMagic inside a composite packet
    uint8_t type;            // 2   kind in bits 0-6, composite flag in bit 7
    uint8_t streamId;        // 3
    uint32_t sequence;       // 4   video frames of one stream count up by one
    uint32_t timestamp;      // 8   ms
    uint32_t clock;          // 12  wall clock, seconds since 1970-01-01 UTC
    uint8_t codec;           // 16  decoder factory codec number
    uint8_t flags;           // 17  not interpreted
    uint8_t media[6];        // 18  width/height or audio format, see above
    uint32_t payloadLength;  // 24

    uint8_t Kind() const { return type & kHMFKindMask; }
    bool IsComposite() const { return (type & kHMFCompositeBit) != 0; }
    bool IsVideo() const { return HMFIsVideoKind(Kind()); }
    bool IsAudio() const { return HMFIsAudioKind(Kind()); }
    bool IsKeyFrame() const { return Kind() == HMF_KIND_KEY; }
    // Bytes the whole record occupies; 64-bit so a length near 4 GiB cannot wrap.
    uint64_t RecordSize() const { return uint64_t{kHMFFrameHeaderSize} + payloadLength; }

    uint16_t Width() const { return HLoadLE16(media); }
    uint16_t Height() const { return HLoadLE16(media + 2); }
    uint8_t Channels() const { return media[0]; }
    uint8_t BitsPerSample() const { return media[1]; }
    uint32_t SampleRate() const { return HLoadLE32(media + 2); }
    void SetVideoSize(uint16_t width, uint16_t height) {
        HStoreLE16(media, width);
        HStoreLE16(media + 2, height);
    }
    void SetAudioFormat(uint8_t channels, uint8_t bits, uint32_t sampleRate) {
        media[0] = channels;
        media[1] = bits;
        HStoreLE32(media + 2, sampleRate);
    }
};
static_assert(sizeof(HMFFrameHeader) == kHMFFrameHeaderSize, "frame header layout");
static_assert(offsetof(HMFFrameHeader, payloadLength) == 24, "frame header layout");

inline void HMFParseFrameHeader(const uint8_t* p, HMFFrameHeader* h) {
    h->magic = HLoadLE16(p);
    h->type = p[2];
    h->streamId = p[3];
    h->sequence = HLoadLE32(p + 4);
    h->timestamp = HLoadLE32(p + 8);
    h->clock = HLoadLE32(p + 12);
    h->codec = p[16];
    h->flags = p[17];
    std::memcpy(h->media, p + 18, 6);
    h->payloadLength = HLoadLE32(p + 24);
}

inline void HMFSerializeFrameHeader(const HMFFrameHeader& h, uint8_t* p) {
    HStoreLE16(p, h.magic);
    p[2] = h.type;
    p[3] = h.streamId;
    HStoreLE32(p + 4, h.sequence);
    HStoreLE32(p + 8, h.timestamp);
    HStoreLE32(p + 12, h.clock);
    p[16] = h.codec;
    p[17] = h.flags;
    std::memcpy(p + 18, h.media, 6);
    HStoreLE32(p + 24, h.payloadLength);
}

// A zeroed frame header with the plain-record magic.
inline HMFFrameHeader HMFNewFrameHeader() {
    HMFFrameHeader h;
    std::memset(&h, 0, sizeof h);
    h.magic = kHMFFrameMagic;
    return h;
}

// ---------------------------------------------------------------------------------------------
// Key-frame index entry, 12 bytes; the index runs from the index offset to the end of the file.

struct HMFIndexEntry {
    uint32_t timestamp;    // 0  of the key frame
    uint32_t offset;       // 4  file offset of its frame record
    uint32_t frameNumber;  // 8  recorder: 1-based running count of video frames; scan: sequence

    // An all-zero entry carries nothing and is skipped.
    bool IsEmpty() const { return timestamp == 0 && offset == 0 && frameNumber == 0; }
};
static_assert(sizeof(HMFIndexEntry) == kHMFIndexEntrySize, "index entry layout");

inline void HMFParseIndexEntry(const uint8_t* p, HMFIndexEntry* e) {
    e->timestamp = HLoadLE32(p);
    e->offset = HLoadLE32(p + 4);
    e->frameNumber = HLoadLE32(p + 8);
}

inline void HMFSerializeIndexEntry(const HMFIndexEntry& e, uint8_t* p) {
    HStoreLE32(p, e.timestamp);
    HStoreLE32(p + 4, e.offset);
    HStoreLE32(p + 8, e.frameNumber);
}

}  // namespace BRIXEL
