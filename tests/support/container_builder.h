#pragma once
// Writes container files from synthetic records for the reader's tests: any payload (the reader
// does not decode), with or without extension records and index, and helpers to damage the
// bytes on purpose afterwards.

#include <cstdint>
#include <string>
#include <vector>

#include "media/hmfformat.h"

namespace quorixtest {

struct BuiltFrame {
    BRIXEL::HMFFrameHeader header;
    uint32_t offset = 0;  // file offset of the record, filled by Build
};

class ContainerBuilder {
public:
    ContainerBuilder();

    // Without a file header the records start at offset 0 (and nothing else is written).
    ContainerBuilder& WithHeader(bool on);
    // Whether Build appends the key-frame index and records its offset (as a closed recording).
    ContainerBuilder& WithIndex(bool on);
    ContainerBuilder& AddExtension(uint8_t type, std::vector<uint8_t> payload);
    // A record with a payload of payloadLength bytes derived from the sequence number.
    ContainerBuilder& AddFrame(uint8_t type, uint32_t timestamp, uint32_t sequence,
                               uint32_t payloadLength, uint8_t streamId = 0);
    ContainerBuilder& AddAudio(uint32_t timestamp, uint32_t payloadLength);
    // groups groups of pictures of groupLength video frames (one key frame and the rest deltas),
    // intervalMs apart, continuing the timestamps and sequence numbers given.
    ContainerBuilder& AddGroups(uint32_t groups, uint32_t groupLength, uint32_t intervalMs,
                                uint32_t firstTimestamp, uint32_t firstSequence,
                                uint32_t payloadLength = 64);
    // Bytes copied as they are between records (garbage, partial records).
    ContainerBuilder& AddRaw(std::vector<uint8_t> bytes);

    // The header fields Build computes the way the recorder does; edit the result of Build to
    // lie about them.
    std::vector<uint8_t> Build();

    const std::vector<BuiltFrame>& Frames() const { return m_frames; }
    uint32_t FrameOffset(size_t i) const { return m_frames.at(i).offset; }
    uint32_t DataOffset() const { return m_dataOffset; }
    uint32_t IndexOffset() const { return m_indexOffset; }
    // Entries as the recorder writes them: timestamp, offset, 1-based count of video frames.
    const std::vector<BRIXEL::HMFIndexEntry>& Index() const { return m_index; }

    // Payload byte i of the record with this sequence number.
    static uint8_t PayloadByte(uint32_t sequence, uint32_t i) {
        return static_cast<uint8_t>(sequence * 31u + i);
    }

private:
    struct Item {
        bool raw = false;
        size_t frame = 0;  // into m_frames
        std::vector<uint8_t> bytes;
    };
    struct Extension {
        uint8_t type;
        std::vector<uint8_t> payload;
    };

    bool m_withHeader = true;
    bool m_withIndex = true;
    std::vector<Extension> m_extensions;
    std::vector<BuiltFrame> m_frames;
    std::vector<Item> m_items;
    std::vector<BRIXEL::HMFIndexEntry> m_index;
    uint32_t m_dataOffset = 0;
    uint32_t m_indexOffset = 0;
};

// Byte surgery on a built file.
void PatchLE32(std::vector<uint8_t>& bytes, size_t offset, uint32_t value);
void PatchBytes(std::vector<uint8_t>& bytes, size_t offset, const void* data, size_t count);

bool WriteFile(const std::string& path, const std::vector<uint8_t>& bytes);
bool AppendFile(const std::string& path, const std::vector<uint8_t>& bytes);

// A fresh directory under the test temporary directory, removed with its files at the end.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string Path(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

}  // namespace quorixtest
