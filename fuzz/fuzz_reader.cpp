// The container reader over any bytes: open, every record read in turn, a seek to every index
// entry (by time and by frame) with a read after each, a clip export that must reopen, and one
// run of the reader thread to the end of the data with its pauses skipped.

#include <quorixsdk.h>

#include <atomic>
#include <vector>

#include "base/hbuffer.h"
#include "base/hevent.h"
#include "fuzz_support.h"
#include "media/kzreader.h"

using namespace BRIXEL;

namespace {

// The pauses between frames come back at once, so a run takes no wall-clock time.
class FuzzReader : public CKZReader {
public:
    ~FuzzReader() override { Close(); }

protected:
    uint32_t WaitFrameInterval(uint32_t) override { return QUORIX_E_TIMEOUT; }
};

class EndCallback : public IHMFReadCB {
public:
    void OnReset() override {}
    uint32_t GetQueuedFrames(int32_t) override { return queued; }
    bool OnFileEnd() override {
        ended.Set();
        return true;
    }
    uint32_t OnFrame(const uint8_t* record, uint32_t length, uint8_t, uint32_t,
                     double percent) override {
        // The whole record must be readable and agree with its own header.
        QUORIX_FUZZ_CHECK(length >= kHMFFrameHeaderSize);
        HMFFrameHeader h;
        HMFParseFrameHeader(record, &h);
        QUORIX_FUZZ_CHECK(h.RecordSize() == length);
        // Played frames over the header's count: above 100 when the header undercounts, never
        // negative.
        QUORIX_FUZZ_CHECK(percent >= 0.0);
        checksum += record[length - 1];
        ++frames;
        return 0;
    }

    uint32_t queued = 0;
    CHEvent ended{true, true, false};
    std::atomic<uint32_t> frames{0};
    uint8_t checksum = 0;
};

// Reads every record from the current position; at most limit of them.
uint32_t ReadAll(CHMFReader& reader, CHMFReader::CMKZData& record, uint32_t limit) {
    uint32_t n = 0;
    while (n < limit && reader.ReadFrame(&record) == QUORIX_OK) {
        QUORIX_FUZZ_CHECK(record.RecordLength() == record.Header().RecordSize());
        ++n;
    }
    return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The last two bytes steer the run, not the file: speed and the owner's queue length.
    if (size < 2)
        return 0;
    const int32_t speed = static_cast<int32_t>(data[size - 1] % 9) - 4;
    const uint32_t queued = data[size - 2] % 40;
    quorixfuzz::MemFile file(data, size - 2);
    if (!file.Ok())
        return 0;

    CHBuffer openInfo;
    CHBuffer renderParams;
    FuzzReader reader;
    reader.SetDataBlocks(&openInfo, &renderParams);
    if (reader.Open(file.Path()) != QUORIX_OK)
        return 0;

    const HMFFileHeader header = reader.GetHeader();
    const std::vector<HMFIndexEntry> index = reader.GetIndex();
    QUORIX_FUZZ_CHECK(reader.GetFrameDataEnd() <= size - 2);
    (void)reader.GetTotalTime();
    (void)reader.GetTotalFrames();

    CHMFReader::CMKZData record;
    ReadAll(reader, record, 1u << 16);

    const size_t seeks = index.size() < 512 ? index.size() : 512;
    for (size_t i = 0; i < seeks; ++i) {
        if (reader.Seek(index[i].timestamp, true) == QUORIX_OK)
            ReadAll(reader, record, 2);
        if (reader.Seek(index[i].frameNumber, false) == QUORIX_OK)
            ReadAll(reader, record, 1);
        (void)reader.GetPlayedTime();
        (void)reader.GetPlayedFrames();
        (void)reader.GetPlayedPercent();
    }
    reader.SeekTo(0, true);
    reader.SeekTo(header.TotalTime() / 2, true);
    reader.SeekTo(0xFFFFFFFFu, false);

    // Clip export of everything: what it writes must open again.
    if (header.HasMagic()) {
        quorixfuzz::MemFile clip;
        const uint32_t r = reader.FilmEditing(clip.Path(), 0, 0xFFFFFFFFu, true, true);
        if (r == QUORIX_OK || r == QUORIX_E_END_OF_DATA) {
            FuzzReader again;
            QUORIX_FUZZ_CHECK(again.Open(clip.Path()) == QUORIX_OK);
            CHMFReader::CMKZData copied;
            ReadAll(again, copied, 1u << 16);
        }
    }

    // One run of the reader thread from the start, to the end of the data.
    EndCallback cb;
    cb.queued = queued;
    reader.SetCallback(&cb);
    reader.SetSpeed(speed);
    reader.StopPlay();
    if (reader.Play() == QUORIX_OK) {
        // Generous: a run that has not ended by then is a hang, reported as a crash.
        QUORIX_FUZZ_CHECK(cb.ended.Wait(60000) == QUORIX_OK);
    }
    reader.Close();
    reader.SetCallback(nullptr);
    return 0;
}
