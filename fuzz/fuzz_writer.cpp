// Writer round trip: a recording made of fuzzed blocks and records (most of them made well
// formed, some passed as they come), closed, then reopened: it must open, give back both blocks
// and exactly the records the writer accepted, in order, and index every accepted key frame.

#include <quorixsdk.h>

#include <cstring>
#include <vector>

#include "base/hbuffer.h"
#include "fuzz_support.h"
#include "media/kzreader.h"
#include "media/kzwriter.h"

using namespace BRIXEL;

namespace {

class RoundTripReader : public CKZReader {
public:
    ~RoundTripReader() override { Close(); }
};

bool SameBlock(const CHBuffer& block, const uint8_t* bytes, size_t length) {
    if (length == 0)
        return block.GetLength() == 0;
    return block.GetLength() == length && std::memcmp(block.GetData(), bytes, length) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    quorixfuzz::Cursor in(data, size);
    const uint8_t flags = in.U8();
    size_t infoLength = 0;
    const uint8_t* info = in.Take(in.U16() % 2048, &infoLength);
    size_t paramsLength = 0;
    const uint8_t* params = in.Take(in.U16() % 2048, &paramsLength);

    quorixfuzz::MemFile file;
    if (!file.Ok())
        return 0;
    std::vector<std::vector<uint8_t>> accepted;
    uint32_t keyFrames = 0;
    {
        CKZWriter writer;
        writer.SetFormatTag(kHMFFormatTag);
        writer.SetRenderModel(static_cast<int8_t>(flags));
        QUORIX_FUZZ_CHECK(writer.Create(file.Path(), infoLength ? info : nullptr,
                                        static_cast<uint32_t>(infoLength),
                                        paramsLength ? params : nullptr,
                                        static_cast<uint32_t>(paramsLength)) == QUORIX_OK);
        for (int n = 0; !in.Empty() && n < 512; ++n) {
            const uint8_t how = in.U8();
            size_t headerLength = 0;
            const uint8_t* headerBytes = in.Take(kHMFFrameHeaderSize, &headerLength);
            size_t payloadLength = 0;
            const uint8_t* payload = in.Take(in.U16() % 4096, &payloadLength);
            std::vector<uint8_t> record(kHMFFrameHeaderSize, 0);
            std::memcpy(record.data(), headerBytes, headerLength);
            record.insert(record.end(), payload, payload + payloadLength);
            if ((how & 3) != 0) {
                // Made well formed: the plain-record magic and the length it really has.
                HStoreLE16(record.data(), kHMFFrameMagic);
                HStoreLE32(record.data() + 24, static_cast<uint32_t>(payloadLength));
            }
            const uint32_t length =
                (how & 0x80) != 0 && record.size() > 0
                    ? static_cast<uint32_t>(record.size()) - (how & 0x7F) % record.size()
                    : static_cast<uint32_t>(record.size());
            const uint32_t r = writer.WriteFrame(record.data(), length);
            if (r == QUORIX_OK) {
                // What the file keeps: the announced record (bytes given beyond it are not part of
                // it), under the plain-record magic also when it came as a sub-frame.
                HMFFrameHeader h;
                HMFParseFrameHeader(record.data(), &h);
                QUORIX_FUZZ_CHECK((h.magic == kHMFFrameMagic || h.magic == kHMFSubFrameMagic) &&
                                  h.RecordSize() <= length);
                record.resize(static_cast<size_t>(h.RecordSize()));
                HStoreLE16(record.data(), kHMFFrameMagic);
                if (h.IsKeyFrame())
                    ++keyFrames;
                accepted.push_back(std::move(record));
            } else {
                QUORIX_FUZZ_CHECK(r == QUORIX_E_PARAM);
            }
        }
        QUORIX_FUZZ_CHECK(writer.Close() == QUORIX_OK);
    }

    CHBuffer openInfo;
    CHBuffer renderParams;
    RoundTripReader reader;
    reader.SetDataBlocks(&openInfo, &renderParams);
    QUORIX_FUZZ_CHECK(reader.Open(file.Path()) == QUORIX_OK);
    const HMFFileHeader header = reader.GetHeader();
    QUORIX_FUZZ_CHECK(header.HasMagic());
    QUORIX_FUZZ_CHECK(header.renderModel == static_cast<int8_t>(flags));
    QUORIX_FUZZ_CHECK(SameBlock(openInfo, info, infoLength));
    QUORIX_FUZZ_CHECK(SameBlock(renderParams, params, paramsLength));
    QUORIX_FUZZ_CHECK(reader.GetIndex().size() == keyFrames);

    CHMFReader::CMKZData record;
    size_t i = 0;
    while (reader.ReadFrame(&record) == QUORIX_OK) {
        QUORIX_FUZZ_CHECK(i < accepted.size());
        QUORIX_FUZZ_CHECK(record.RecordLength() == accepted[i].size());
        QUORIX_FUZZ_CHECK(std::memcmp(record.Record(), accepted[i].data(), accepted[i].size()) ==
                          0);
        ++i;
    }
    QUORIX_FUZZ_CHECK(i == accepted.size());
    reader.Close();
    return 0;
}
