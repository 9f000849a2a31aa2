#include "support/container_builder.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace quorixtest {

using namespace BRIXEL;

ContainerBuilder::ContainerBuilder() = default;

ContainerBuilder& ContainerBuilder::WithHeader(bool on) {
    m_withHeader = on;
    return *this;
}

ContainerBuilder& ContainerBuilder::WithIndex(bool on) {
    m_withIndex = on;
    return *this;
}

ContainerBuilder& ContainerBuilder::AddExtension(uint8_t type, std::vector<uint8_t> payload) {
    m_extensions.push_back({type, std::move(payload)});
    return *this;
}

ContainerBuilder& ContainerBuilder::AddFrame(uint8_t type, uint32_t timestamp, uint32_t sequence,
                                             uint32_t payloadLength, uint8_t streamId) {
    BuiltFrame f;
    f.header = HMFNewFrameHeader();
    f.header.type = type;
    f.header.streamId = streamId;
    f.header.sequence = sequence;
    f.header.timestamp = timestamp;
    f.header.clock = 1700000000u + timestamp / 1000u;
    if (HMFIsAudioKind(type & kHMFKindMask)) {
        f.header.codec = 3;
        f.header.SetAudioFormat(1, 16, 8000);
    } else {
        f.header.codec = 1;
        f.header.SetVideoSize(640, 480);
    }
    f.header.payloadLength = payloadLength;
    m_frames.push_back(f);
    Item item;
    item.frame = m_frames.size() - 1;
    m_items.push_back(std::move(item));
    return *this;
}

ContainerBuilder& ContainerBuilder::AddAudio(uint32_t timestamp, uint32_t payloadLength) {
    return AddFrame(HMF_KIND_AUDIO, timestamp, 0, payloadLength);
}

ContainerBuilder& ContainerBuilder::AddGroups(uint32_t groups, uint32_t groupLength,
                                              uint32_t intervalMs, uint32_t firstTimestamp,
                                              uint32_t firstSequence, uint32_t payloadLength) {
    uint32_t ts = firstTimestamp;
    uint32_t seq = firstSequence;
    for (uint32_t g = 0; g < groups; ++g) {
        for (uint32_t i = 0; i < groupLength; ++i) {
            AddFrame(i == 0 ? HMF_KIND_KEY : HMF_KIND_DELTA, ts, seq, payloadLength);
            ts += intervalMs;
            ++seq;
        }
    }
    return *this;
}

ContainerBuilder& ContainerBuilder::AddRaw(std::vector<uint8_t> bytes) {
    Item item;
    item.raw = true;
    item.bytes = std::move(bytes);
    m_items.push_back(std::move(item));
    return *this;
}

std::vector<uint8_t> ContainerBuilder::Build() {
    std::vector<uint8_t> out;
    HMFFileHeader header = HMFNewHeader();
    header.formatTag = kHMFFormatTag;
    header.startTime = 45000.5;  // 2023-03-15 12:00
    header.createTick = 123456;
    if (m_withHeader) {
        out.resize(kHMFHeaderSize);
        for (const Extension& e : m_extensions) {
            uint8_t eh[kHMFExtHeaderSize];
            HMFSerializeExtHeader(HMFMakeExtHeader(e.type, static_cast<uint32_t>(e.payload.size())),
                                  eh);
            out.insert(out.end(), eh, eh + kHMFExtHeaderSize);
            out.insert(out.end(), e.payload.begin(), e.payload.end());
        }
    }
    m_dataOffset = static_cast<uint32_t>(out.size());
    header.dataOffset = m_dataOffset;
    m_index.clear();
    uint32_t videoCount = 0;
    for (const Item& item : m_items) {
        if (item.raw) {
            out.insert(out.end(), item.bytes.begin(), item.bytes.end());
            continue;
        }
        BuiltFrame& f = m_frames[item.frame];
        f.offset = static_cast<uint32_t>(out.size());
        if (f.header.IsVideo()) {
            if (videoCount == 0) {
                header.firstTimestamp = f.header.timestamp;
                header.firstSequence = f.header.sequence;
            }
            ++videoCount;
            header.lastTimestamp = f.header.timestamp;
            if (f.header.IsKeyFrame())
                m_index.push_back({f.header.timestamp, f.offset, videoCount});
        }
        uint8_t fh[kHMFFrameHeaderSize];
        HMFSerializeFrameHeader(f.header, fh);
        out.insert(out.end(), fh, fh + kHMFFrameHeaderSize);
        const size_t at = out.size();
        out.resize(at + f.header.payloadLength);
        for (uint32_t i = 0; i < f.header.payloadLength; ++i)
            out[at + i] = PayloadByte(f.header.sequence, i);
    }
    header.frameCount = videoCount;
    m_indexOffset = 0;
    if (m_withIndex && !m_index.empty()) {
        m_indexOffset = static_cast<uint32_t>(out.size());
        header.indexOffset = m_indexOffset;
        header.indexCount = static_cast<uint32_t>(m_index.size());
        for (const HMFIndexEntry& e : m_index) {
            uint8_t eb[kHMFIndexEntrySize];
            HMFSerializeIndexEntry(e, eb);
            out.insert(out.end(), eb, eb + kHMFIndexEntrySize);
        }
    } else {
        // An unclosed recording: the header of its first video record, counts still zero.
        header.frameCount = 0;
        header.lastTimestamp = 0;
    }
    if (m_withHeader)
        HMFSerializeFileHeader(header, out.data());
    return out;
}

void PatchLE32(std::vector<uint8_t>& bytes, size_t offset, uint32_t value) {
    if (offset + 4 <= bytes.size())
        HStoreLE32(bytes.data() + offset, value);
}

void PatchBytes(std::vector<uint8_t>& bytes, size_t offset, const void* data, size_t count) {
    if (offset + count <= bytes.size())
        std::memcpy(bytes.data() + offset, data, count);
}

static bool WriteMode(const std::string& path, const std::vector<uint8_t>& bytes,
                      const char* mode) {
    FILE* f = std::fopen(path.c_str(), mode);
    if (f == nullptr)
        return false;
    const bool ok = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

bool WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    return WriteMode(path, bytes, "wb");
}
bool AppendFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    return WriteMode(path, bytes, "ab");
}

TempDir::TempDir() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "quorix-reader-XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr)
        m_path = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    if (!m_path.empty())
        std::filesystem::remove_all(m_path, ec);
}

}  // namespace quorixtest
