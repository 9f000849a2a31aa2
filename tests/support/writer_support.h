#pragma once
// Pieces of the writer suites: frame records made in memory (a payload that names its record,
// so a misplaced byte shows), a stream of them with key frames and audio, and an independent
// walk over the bytes of a written file.

#include <cstdint>
#include <string>
#include <vector>

#include "media/hmfformat.h"

namespace quorixtest {

using Bytes = std::vector<uint8_t>;

// One whole frame record: header fields as given, codec and picture size or audio format
// filled in by kind, payload bytes derived from (sequence, timestamp, position).
Bytes MakeRecord(uint8_t type, uint32_t timestamp, uint32_t sequence, uint32_t clock,
                 uint32_t payloadLength, uint8_t streamId = 0);

// A camera stream: groups of groupLength video frames (the first a key frame) intervalMs
// apart, each video frame followed by an audio record when withAudio, payload sizes varying
// around payloadLength. The clock advances one second per 1000 ms of timestamps.
struct StreamSpec {
    uint32_t groups = 2;
    uint32_t groupLength = 25;
    uint32_t intervalMs = 40;
    uint32_t firstTimestamp = 1000;
    uint32_t firstSequence = 100;
    uint32_t firstClock = 1700000000u;
    uint32_t payloadLength = 200;
    bool withAudio = false;
};
std::vector<Bytes> MakeStream(const StreamSpec& desc);

Bytes Concat(const std::vector<Bytes>& records);
Bytes ReadWholeFile(const std::string& path);

// The frame records from offset `from` up to `end` (or the first thing that is not a whole
// record), each as its bytes.
std::vector<Bytes> SplitRecords(const Bytes& file, uint64_t from, uint64_t end);

BRIXEL::HMFFileHeader HeaderOf(const Bytes& file);
std::vector<BRIXEL::HMFIndexEntry> IndexOf(const Bytes& file);
BRIXEL::HMFFrameHeader FrameHeaderOf(const Bytes& record);

// The local date-time of a wall clock in the file header's representation.
double LocalDateOf(uint32_t clock);

}  // namespace quorixtest
