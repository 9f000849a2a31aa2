// The file header, extension records and key-frame index alone: the parse helpers must give
// back exactly the bytes they read, and the reader's open path (header, extensions, index or
// scan) must accept or refuse any of it without reading a record.

#include <quorixsdk.h>

#include <cstring>
#include <vector>

#include "base/hbuffer.h"
#include "fuzz_support.h"
#include "media/kzreader.h"

using namespace BRIXEL;

namespace {

class OpenOnlyReader : public CKZReader {
public:
    ~OpenOnlyReader() override { Close(); }
    using CHMFReader::FindSeekEntry;
};

void CheckRoundTrips(const uint8_t* data, size_t size) {
    if (size < kHMFHeaderSize)
        return;
    HMFFileHeader header;
    HMFParseFileHeader(data, &header);
    uint8_t out[kHMFHeaderSize];
    HMFSerializeFileHeader(header, out);
    QUORIX_FUZZ_CHECK(std::memcmp(out, data, kHMFHeaderSize) == 0);

    // Extension records from offset 64 while they carry their magic and fit.
    size_t at = kHMFHeaderSize;
    while (at + kHMFExtHeaderSize <= size) {
        HMFExtHeader ext;
        HMFParseExtHeader(data + at, &ext);
        uint8_t extOut[kHMFExtHeaderSize];
        HMFSerializeExtHeader(ext, extOut);
        QUORIX_FUZZ_CHECK(std::memcmp(extOut, data + at, kHMFExtHeaderSize) == 0);
        if (!ext.HasMagic() || ext.length > size - at - kHMFExtHeaderSize)
            break;
        at += kHMFExtHeaderSize + ext.length;
    }
    // Whatever follows is read as index entries and frame headers.
    for (size_t i = at; i + kHMFFrameHeaderSize <= size; i += kHMFFrameHeaderSize) {
        HMFFrameHeader frame;
        HMFParseFrameHeader(data + i, &frame);
        uint8_t frameOut[kHMFFrameHeaderSize];
        HMFSerializeFrameHeader(frame, frameOut);
        QUORIX_FUZZ_CHECK(std::memcmp(frameOut, data + i, kHMFFrameHeaderSize) == 0);
        QUORIX_FUZZ_CHECK(frame.RecordSize() >= kHMFFrameHeaderSize);
    }
    for (size_t i = at; i + kHMFIndexEntrySize <= size; i += kHMFIndexEntrySize) {
        HMFIndexEntry entry;
        HMFParseIndexEntry(data + i, &entry);
        uint8_t entryOut[kHMFIndexEntrySize];
        HMFSerializeIndexEntry(entry, entryOut);
        QUORIX_FUZZ_CHECK(std::memcmp(entryOut, data + i, kHMFIndexEntrySize) == 0);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CheckRoundTrips(data, size);

    quorixfuzz::MemFile file(data, size);
    if (!file.Ok())
        return 0;
    CHBuffer openInfo;
    CHBuffer renderParams;
    OpenOnlyReader reader;
    reader.SetDataBlocks(&openInfo, &renderParams);
    if (reader.Open(file.Path()) != QUORIX_OK)
        return 0;

    // Loaded blocks end in a zero byte behind their length.
    for (CHBuffer* block : {&openInfo, &renderParams}) {
        if (block->GetData() != nullptr && block->GetLength() != 0) {
            QUORIX_FUZZ_CHECK(block->GetLength() <= size);
            QUORIX_FUZZ_CHECK(block->GetData()[block->GetLength()] == 0);
        }
    }
    const HMFFileHeader header = reader.GetHeader();
    const std::vector<HMFIndexEntry> index = reader.GetIndex();
    QUORIX_FUZZ_CHECK(reader.GetFrameDataEnd() <= size);
    QUORIX_FUZZ_CHECK(index.size() <= size / kHMFIndexEntrySize + 1);
    for (const HMFIndexEntry& e : index) {
        for (bool byTime : {true, false}) {
            const HMFIndexEntry* found = OpenOnlyReader::FindSeekEntry(
                index, header.indexCount, byTime ? e.timestamp : e.frameNumber, byTime);
            if (found != nullptr)
                QUORIX_FUZZ_CHECK(found >= index.data() && found < index.data() + index.size());
        }
    }
    (void)reader.GetTotalTime();
    (void)reader.GetTotalFrames();
    reader.Close();
    return 0;
}
