#pragma once
// On-disk layout of the media container and the little-endian helpers that read and write it.
//
//   offset 0            64-byte file header, magic "ZEBM"
//   offset 64           extension records "MEXT" (only when the data offset is at least 65)
//   data offset         frame records: a 28-byte header (magic "ht") followed by the payload
//   index offset        key-frame index: 12-byte entries up to the end of the file
//
// Every multi-byte field is little-endian whatever the host. The sizes, offsets and numbers are
// those of the public <quorixsdk_container.h>, which tools and hosts use; the structures below
// are plain values over them: Parse* reads them from bytes and Serialize* writes them back
// byte-exactly, including the fields the system does not interpret (so that a header copied by
// clip export or a record passed through stays unchanged). Nothing here touches a file.

#include <quorixsdk_container.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace BRIXEL {

// ---------------------------------------------------------------------------------------------
// Little-endian primitives.

inline uint16_t HLoadLE16(const uint8_t* p) {
    return quorix_load_le16(p);
}
inline uint32_t HLoadLE32(const uint8_t* p) {
    return quorix_load_le32(p);
}
inline uint64_t HLoadLE64(const uint8_t* p) {
    return quorix_load_le64(p);
}
inline double HLoadLEF64(const uint8_t* p) {
    return quorix_load_f64(p);
}
inline void HStoreLE16(uint8_t* p, uint16_t v) {
    quorix_store_le16(p, v);
}
inline void HStoreLE32(uint8_t* p, uint32_t v) {
    quorix_store_le32(p, v);
}
inline void HStoreLE64(uint8_t* p, uint64_t v) {
    quorix_store_le64(p, v);
}
inline void HStoreLEF64(uint8_t* p, double value) {
    quorix_store_f64(p, value);
}

// Ordering of 32-bit timestamps and frame numbers that may wrap around 2^32: negative when a
// comes before b.
inline int32_t HStampDiff(uint32_t a, uint32_t b) {
    return static_cast<int32_t>(a - b);
}

// ---------------------------------------------------------------------------------------------
// Sizes, magics and the reader's bounds on lengths taken from a file.

constexpr uint32_t kHMFHeaderSize = QUORIX_FILE_HEADER_SIZE;
constexpr uint32_t kHMFExtHeaderSize = QUORIX_EXT_HEADER_SIZE;
constexpr uint32_t kHMFFrameHeaderSize = QUORIX_RECORD_SIZE;
constexpr uint32_t kHMFIndexEntrySize = QUORIX_INDEX_ENTRY_SIZE;

constexpr char kHMFFileMagic[4] = {QUORIX_FILE_MAGIC[0], QUORIX_FILE_MAGIC[1], QUORIX_FILE_MAGIC[2],
                                   QUORIX_FILE_MAGIC[3]};
constexpr char kHMFExtMagic[4] = {QUORIX_EXT_MAGIC[0], QUORIX_EXT_MAGIC[1], QUORIX_EXT_MAGIC[2],
                                  QUORIX_EXT_MAGIC[3]};
constexpr uint16_t kHMFFrameMagic = QUORIX_RECORD_MAGIC_PLAIN;   // bytes "ht": a frame record
constexpr uint16_t kHMFSubFrameMagic = QUORIX_RECORD_MAGIC_SUB;  // "HT": a composite's sub-frame
constexpr uint8_t kHMFFormatTag = QUORIX_FILE_FORMAT_TAG;  // what the recorder writes at byte 60

// Largest frame payload the reader accepts. A record announcing more is treated as damage (end
// of the data), so a lying length never turns into a huge allocation.
constexpr uint32_t kHMFMaxPayload = QUORIX_MAX_INPUT_PAYLOAD;
// Largest extension payload the reader loads; bigger ones end the extension records.
constexpr uint32_t kHMFMaxExtPayload = QUORIX_EXT_MAX_PAYLOAD;

// Extension record types.
enum : uint8_t {
    HMF_EXT_OPEN_INFO = QUORIX_EXT_OPEN_INFO,        // opaque file-open information for the host
    HMF_EXT_RENDER_PARAM = QUORIX_EXT_RENDER_PARAM,  // renderer parameter block
};

// Frame kinds: bits 0-6 of the frame type byte.
enum : uint8_t {
    HMF_KIND_AUDIO = QUORIX_KIND_AUDIO,
    // video key frame: decoding can start here; the only indexed kind
    HMF_KIND_KEY = QUORIX_KIND_KEY,
    HMF_KIND_DELTA = QUORIX_KIND_DELTA,      // video frame depending on earlier frames
    HMF_KIND_UNTIMED = QUORIX_KIND_UNTIMED,  // video frame whose timestamp is not trusted
};
constexpr uint8_t kHMFCompositeBit = QUORIX_RECORD_COMPOSITE;  // frame type bit 7: a composite
constexpr uint8_t kHMFKindMask = QUORIX_RECORD_KIND_MASK;

inline bool HMFIsVideoKind(uint8_t kind) {
    return kind == HMF_KIND_KEY || kind == HMF_KIND_DELTA || kind == HMF_KIND_UNTIMED;
}
inline bool HMFIsAudioKind(uint8_t kind) {
    return kind == HMF_KIND_AUDIO;
}

// ---------------------------------------------------------------------------------------------
// File header, 64 bytes at offset 0.

struct HMFFileHeader {
    char magic[4];            // 0   "ZEBM"
    uint8_t reserved[16];     // 4   zero from the recorder, carried unchanged
    uint32_t createTick;      // 20  tick count (ms since boot) at creation
    double startTime;         // 24  local start date-time, days since 1899-12-30
    uint32_t dataOffset;      // 32  first frame record
    uint32_t indexOffset;     // 36  key-frame index, 0 when there is none
    uint32_t firstTimestamp;  // 40  first video frame, ms
    uint32_t lastTimestamp;   // 44  last video frame, ms
    uint32_t firstSequence;   // 48  sequence number of the first video frame
    uint32_t frameCount;      // 52  number of video frames
    uint32_t indexCount;      // 56  number of index entries
    uint8_t formatTag;        // 60  2 from the recorder, not interpreted
    int8_t renderModel;       // 61  display model of the recording, -1 external renderer
    uint8_t tail[2];          // 62  zero

    bool HasMagic() const { return std::memcmp(magic, kHMFFileMagic, 4) == 0; }
    // Total play time in ms: last minus first video timestamp (wraps like the stamps do).
    uint32_t TotalTime() const { return lastTimestamp - firstTimestamp; }
};
// The structures mirror the byte layout field by field, so every field's offset is checked.
#define HMF_AT(type, field, offset) \
    static_assert(offsetof(type, field) == (offset), #type "." #field " of the public layout")
static_assert(sizeof(HMFFileHeader) == kHMFHeaderSize, "header layout");
HMF_AT(HMFFileHeader, magic, QUORIX_FILE_HEADER_MAGIC);
HMF_AT(HMFFileHeader, reserved, QUORIX_FILE_HEADER_RESERVED);
HMF_AT(HMFFileHeader, createTick, QUORIX_FILE_HEADER_CREATE_TICK);
HMF_AT(HMFFileHeader, startTime, QUORIX_FILE_HEADER_START_TIME);
HMF_AT(HMFFileHeader, dataOffset, QUORIX_FILE_HEADER_DATA_OFFSET);
HMF_AT(HMFFileHeader, indexOffset, QUORIX_FILE_HEADER_INDEX_OFFSET);
HMF_AT(HMFFileHeader, firstTimestamp, QUORIX_FILE_HEADER_FIRST_TIMESTAMP);
HMF_AT(HMFFileHeader, lastTimestamp, QUORIX_FILE_HEADER_LAST_TIMESTAMP);
HMF_AT(HMFFileHeader, firstSequence, QUORIX_FILE_HEADER_FIRST_SEQUENCE);
HMF_AT(HMFFileHeader, frameCount, QUORIX_FILE_HEADER_FRAME_COUNT);
HMF_AT(HMFFileHeader, indexCount, QUORIX_FILE_HEADER_INDEX_COUNT);
HMF_AT(HMFFileHeader, formatTag, QUORIX_FILE_HEADER_FORMAT_TAG);
HMF_AT(HMFFileHeader, renderModel, QUORIX_FILE_HEADER_RENDER_MODEL);
HMF_AT(HMFFileHeader, tail, QUORIX_FILE_HEADER_TAIL);

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

// Each field is read and written at offsetof(its member), which the checks above tie to the
// public layout.
#define HMF_FIELD(type, field) (p + offsetof(type, field))

inline void HMFParseFileHeader(const uint8_t* p, HMFFileHeader* h) {
    std::memcpy(h->magic, HMF_FIELD(HMFFileHeader, magic), sizeof h->magic);
    std::memcpy(h->reserved, HMF_FIELD(HMFFileHeader, reserved), sizeof h->reserved);
    h->createTick = HLoadLE32(HMF_FIELD(HMFFileHeader, createTick));
    h->startTime = HLoadLEF64(HMF_FIELD(HMFFileHeader, startTime));
    h->dataOffset = HLoadLE32(HMF_FIELD(HMFFileHeader, dataOffset));
    h->indexOffset = HLoadLE32(HMF_FIELD(HMFFileHeader, indexOffset));
    h->firstTimestamp = HLoadLE32(HMF_FIELD(HMFFileHeader, firstTimestamp));
    h->lastTimestamp = HLoadLE32(HMF_FIELD(HMFFileHeader, lastTimestamp));
    h->firstSequence = HLoadLE32(HMF_FIELD(HMFFileHeader, firstSequence));
    h->frameCount = HLoadLE32(HMF_FIELD(HMFFileHeader, frameCount));
    h->indexCount = HLoadLE32(HMF_FIELD(HMFFileHeader, indexCount));
    h->formatTag = *HMF_FIELD(HMFFileHeader, formatTag);
    h->renderModel = static_cast<int8_t>(*HMF_FIELD(HMFFileHeader, renderModel));
    std::memcpy(h->tail, HMF_FIELD(HMFFileHeader, tail), sizeof h->tail);
}

inline void HMFSerializeFileHeader(const HMFFileHeader& h, uint8_t* p) {
    std::memcpy(HMF_FIELD(HMFFileHeader, magic), h.magic, sizeof h.magic);
    std::memcpy(HMF_FIELD(HMFFileHeader, reserved), h.reserved, sizeof h.reserved);
    HStoreLE32(HMF_FIELD(HMFFileHeader, createTick), h.createTick);
    HStoreLEF64(HMF_FIELD(HMFFileHeader, startTime), h.startTime);
    HStoreLE32(HMF_FIELD(HMFFileHeader, dataOffset), h.dataOffset);
    HStoreLE32(HMF_FIELD(HMFFileHeader, indexOffset), h.indexOffset);
    HStoreLE32(HMF_FIELD(HMFFileHeader, firstTimestamp), h.firstTimestamp);
    HStoreLE32(HMF_FIELD(HMFFileHeader, lastTimestamp), h.lastTimestamp);
    HStoreLE32(HMF_FIELD(HMFFileHeader, firstSequence), h.firstSequence);
    HStoreLE32(HMF_FIELD(HMFFileHeader, frameCount), h.frameCount);
    HStoreLE32(HMF_FIELD(HMFFileHeader, indexCount), h.indexCount);
    *HMF_FIELD(HMFFileHeader, formatTag) = h.formatTag;
    *HMF_FIELD(HMFFileHeader, renderModel) = static_cast<uint8_t>(h.renderModel);
    std::memcpy(HMF_FIELD(HMFFileHeader, tail), h.tail, sizeof h.tail);
}

// ---------------------------------------------------------------------------------------------
// Extension record header, 12 bytes, followed by `length` payload bytes.

struct HMFExtHeader {
    char magic[4];        // 0  "MEXT"
    uint8_t type;         // 4  HMF_EXT_*
    uint8_t reserved[3];  // 5  zero
    uint32_t length;      // 8  payload length

    bool HasMagic() const { return std::memcmp(magic, kHMFExtMagic, 4) == 0; }
};
static_assert(sizeof(HMFExtHeader) == kHMFExtHeaderSize, "extension header layout");
HMF_AT(HMFExtHeader, magic, QUORIX_EXT_HEADER_MAGIC);
HMF_AT(HMFExtHeader, type, QUORIX_EXT_HEADER_TYPE);
HMF_AT(HMFExtHeader, reserved, QUORIX_EXT_HEADER_RESERVED);
HMF_AT(HMFExtHeader, length, QUORIX_EXT_HEADER_LENGTH);

inline void HMFParseExtHeader(const uint8_t* p, HMFExtHeader* h) {
    std::memcpy(h->magic, HMF_FIELD(HMFExtHeader, magic), sizeof h->magic);
    h->type = *HMF_FIELD(HMFExtHeader, type);
    std::memcpy(h->reserved, HMF_FIELD(HMFExtHeader, reserved), sizeof h->reserved);
    h->length = HLoadLE32(HMF_FIELD(HMFExtHeader, length));
}

inline void HMFSerializeExtHeader(const HMFExtHeader& h, uint8_t* p) {
    std::memcpy(HMF_FIELD(HMFExtHeader, magic), h.magic, sizeof h.magic);
    *HMF_FIELD(HMFExtHeader, type) = h.type;
    std::memcpy(HMF_FIELD(HMFExtHeader, reserved), h.reserved, sizeof h.reserved);
    HStoreLE32(HMF_FIELD(HMFExtHeader, length), h.length);
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

    // Offsets inside `media` of the fields of the two sets.
    static constexpr uint32_t kWidth = QUORIX_RECORD_VIDEO_WIDTH - QUORIX_RECORD_MEDIA;
    static constexpr uint32_t kHeight = QUORIX_RECORD_VIDEO_HEIGHT - QUORIX_RECORD_MEDIA;
    static constexpr uint32_t kChannels = QUORIX_RECORD_AUDIO_CHANNELS - QUORIX_RECORD_MEDIA;
    static constexpr uint32_t kBits = QUORIX_RECORD_AUDIO_BITS - QUORIX_RECORD_MEDIA;
    static constexpr uint32_t kRate = QUORIX_RECORD_AUDIO_RATE - QUORIX_RECORD_MEDIA;

    uint16_t Width() const { return HLoadLE16(media + kWidth); }
    uint16_t Height() const { return HLoadLE16(media + kHeight); }
    uint8_t Channels() const { return media[kChannels]; }
    uint8_t BitsPerSample() const { return media[kBits]; }
    uint32_t SampleRate() const { return HLoadLE32(media + kRate); }
    void SetVideoSize(uint16_t width, uint16_t height) {
        HStoreLE16(media + kWidth, width);
        HStoreLE16(media + kHeight, height);
    }
    void SetAudioFormat(uint8_t channels, uint8_t bits, uint32_t sampleRate) {
        media[kChannels] = channels;
        media[kBits] = bits;
        HStoreLE32(media + kRate, sampleRate);
    }
};
static_assert(sizeof(HMFFrameHeader) == kHMFFrameHeaderSize, "frame header layout");
HMF_AT(HMFFrameHeader, magic, QUORIX_RECORD_MAGIC);
HMF_AT(HMFFrameHeader, type, QUORIX_RECORD_TYPE);
HMF_AT(HMFFrameHeader, streamId, QUORIX_RECORD_STREAM);
HMF_AT(HMFFrameHeader, sequence, QUORIX_RECORD_SEQUENCE);
HMF_AT(HMFFrameHeader, timestamp, QUORIX_RECORD_TIMESTAMP);
HMF_AT(HMFFrameHeader, clock, QUORIX_RECORD_CLOCK);
HMF_AT(HMFFrameHeader, codec, QUORIX_RECORD_CODEC);
HMF_AT(HMFFrameHeader, flags, QUORIX_RECORD_FLAGS);
HMF_AT(HMFFrameHeader, media, QUORIX_RECORD_MEDIA);
HMF_AT(HMFFrameHeader, payloadLength, QUORIX_RECORD_PAYLOAD_LENGTH);

inline void HMFParseFrameHeader(const uint8_t* p, HMFFrameHeader* h) {
    h->magic = HLoadLE16(HMF_FIELD(HMFFrameHeader, magic));
    h->type = *HMF_FIELD(HMFFrameHeader, type);
    h->streamId = *HMF_FIELD(HMFFrameHeader, streamId);
    h->sequence = HLoadLE32(HMF_FIELD(HMFFrameHeader, sequence));
    h->timestamp = HLoadLE32(HMF_FIELD(HMFFrameHeader, timestamp));
    h->clock = HLoadLE32(HMF_FIELD(HMFFrameHeader, clock));
    h->codec = *HMF_FIELD(HMFFrameHeader, codec);
    h->flags = *HMF_FIELD(HMFFrameHeader, flags);
    std::memcpy(h->media, HMF_FIELD(HMFFrameHeader, media), sizeof h->media);
    h->payloadLength = HLoadLE32(HMF_FIELD(HMFFrameHeader, payloadLength));
}

inline void HMFSerializeFrameHeader(const HMFFrameHeader& h, uint8_t* p) {
    HStoreLE16(HMF_FIELD(HMFFrameHeader, magic), h.magic);
    *HMF_FIELD(HMFFrameHeader, type) = h.type;
    *HMF_FIELD(HMFFrameHeader, streamId) = h.streamId;
    HStoreLE32(HMF_FIELD(HMFFrameHeader, sequence), h.sequence);
    HStoreLE32(HMF_FIELD(HMFFrameHeader, timestamp), h.timestamp);
    HStoreLE32(HMF_FIELD(HMFFrameHeader, clock), h.clock);
    *HMF_FIELD(HMFFrameHeader, codec) = h.codec;
    *HMF_FIELD(HMFFrameHeader, flags) = h.flags;
    std::memcpy(HMF_FIELD(HMFFrameHeader, media), h.media, sizeof h.media);
    HStoreLE32(HMF_FIELD(HMFFrameHeader, payloadLength), h.payloadLength);
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
HMF_AT(HMFIndexEntry, timestamp, QUORIX_INDEX_ENTRY_TIMESTAMP);
HMF_AT(HMFIndexEntry, offset, QUORIX_INDEX_ENTRY_OFFSET);
HMF_AT(HMFIndexEntry, frameNumber, QUORIX_INDEX_ENTRY_FRAME_NUMBER);

inline void HMFParseIndexEntry(const uint8_t* p, HMFIndexEntry* e) {
    e->timestamp = HLoadLE32(HMF_FIELD(HMFIndexEntry, timestamp));
    e->offset = HLoadLE32(HMF_FIELD(HMFIndexEntry, offset));
    e->frameNumber = HLoadLE32(HMF_FIELD(HMFIndexEntry, frameNumber));
}

inline void HMFSerializeIndexEntry(const HMFIndexEntry& e, uint8_t* p) {
    HStoreLE32(HMF_FIELD(HMFIndexEntry, timestamp), e.timestamp);
    HStoreLE32(HMF_FIELD(HMFIndexEntry, offset), e.offset);
    HStoreLE32(HMF_FIELD(HMFIndexEntry, frameNumber), e.frameNumber);
}

#undef HMF_FIELD
#undef HMF_AT

}  // namespace BRIXEL
