// Buffers, files, maps and the process utilities.

#include <gtest/gtest.h>
#include <quorixsdk.h>

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <vector>

#include "base/hbuffer.h"
#include "base/hfile.h"
#include "base/hmap.h"
#include "base/hmodule.h"
#include "support/special_files.h"

using namespace BRIXEL;
namespace fs = std::filesystem;

namespace {
class CCountingBuffer : public CHBuffer {
public:
    int releases = 0;

protected:
    void OnRelease() override { ++releases; }
};
}  // namespace

TEST(BufferTest, ReserveGrowsAtOnceAndShrinksAfterFiftySmallRequests) {
    for (uint64_t extra : {0ull, 64ull}) {
        SCOPED_TRACE(extra);
        CCountingBuffer buffer;
        buffer.SetExtra(extra);
        ASSERT_EQ(buffer.Reserve(100000), QUORIX_OK);
        ASSERT_NE(buffer.GetData(), nullptr);
        EXPECT_EQ(buffer.GetCapacity(), 100000 + extra);
        const uint8_t* large = buffer.GetData();
        for (int i = 1; i <= 50; ++i) {
            ASSERT_EQ(buffer.Reserve(1000), HRESERVE_KEPT) << "call " << i;
            ASSERT_EQ(buffer.GetData(), large);
        }
        EXPECT_EQ(buffer.Reserve(1000), QUORIX_OK);
        EXPECT_EQ(buffer.GetCapacity(), 1000 + extra);
        EXPECT_EQ(buffer.GetIdleCount(), 0u);
        EXPECT_TRUE(buffer.IsOwned());
        // A request near the capacity resets the run; growing is immediate.
        EXPECT_EQ(buffer.Reserve(900), HRESERVE_KEPT);
        EXPECT_EQ(buffer.GetIdleCount(), 0u);
        EXPECT_EQ(buffer.Reserve(500), HRESERVE_KEPT);
        EXPECT_EQ(buffer.GetIdleCount(), 1u);
        EXPECT_EQ(buffer.Reserve(1001), QUORIX_OK);
        EXPECT_EQ(buffer.GetCapacity(), 1001 + extra);
    }
}

TEST(BufferTest, CopyAndLengthStayWithinCapacity) {
    CHBuffer buffer;
    const char text[] = "0123456789";
    EXPECT_EQ(buffer.Copy(text, 4), QUORIX_E_BUFFER);  // no memory yet
    ASSERT_EQ(buffer.Allocate(8), QUORIX_OK);
    EXPECT_EQ(buffer.Copy(nullptr, 4), QUORIX_E_BUFFER);
    ASSERT_EQ(buffer.Copy(text, 4), QUORIX_OK);
    EXPECT_EQ(buffer.GetLength(), 4u);
    EXPECT_EQ(buffer.Copy(text, 9), QUORIX_E_NO_MEMORY);
    EXPECT_EQ(buffer.GetLength(), 4u);
    EXPECT_EQ(memcmp(buffer.GetData(), "0123", 4), 0);
    EXPECT_EQ(buffer.SetLength(9), QUORIX_E_BUFFER_TOO_SMALL);
    EXPECT_EQ(buffer.SetLength(8), QUORIX_OK);
    // Allocate without force keeps memory that fits; with force replaces it and clears length.
    uint8_t* before = buffer.GetData();
    EXPECT_EQ(buffer.Allocate(6), QUORIX_OK);
    EXPECT_EQ(buffer.GetData(), before);
    EXPECT_EQ(buffer.Allocate(6, true), QUORIX_OK);
    EXPECT_EQ(buffer.GetCapacity(), 6u);
    EXPECT_EQ(buffer.GetLength(), 0u);
    EXPECT_EQ(buffer.Allocate(0, true), QUORIX_OK);
    EXPECT_EQ(buffer.GetData(), nullptr);
    // An impossible size fails cleanly.
    EXPECT_NE(buffer.Allocate(UINT64_MAX / 2), QUORIX_OK);
    EXPECT_EQ(buffer.GetData(), nullptr);
    EXPECT_EQ(buffer.GetCapacity(), 0u);
}

TEST(BufferTest, AttachDetachAndReleaseHook) {
    CCountingBuffer buffer;
    uint8_t borrowed[16] = {1, 2, 3};
    EXPECT_EQ(buffer.Attach(borrowed, sizeof(borrowed), false), QUORIX_OK);
    EXPECT_EQ(buffer.releases, 1);
    EXPECT_EQ(buffer.GetLength(), 16u);
    EXPECT_FALSE(buffer.IsOwned());
    buffer.Free();  // borrowed memory is not freed
    EXPECT_EQ(buffer.releases, 2);
    EXPECT_EQ(borrowed[2], 3);

    ASSERT_EQ(buffer.Allocate(32), QUORIX_OK);
    uint8_t* detached = buffer.Detach();
    EXPECT_EQ(buffer.releases, 4);
    EXPECT_EQ(buffer.GetData(), nullptr);
    EXPECT_EQ(buffer.GetCapacity(), 0u);
    ASSERT_NE(detached, nullptr);
    EXPECT_EQ(buffer.Attach(detached, 32, true), QUORIX_OK);  // owned again, freed by the buffer
    EXPECT_TRUE(buffer.IsOwned());
}

TEST(FileTest, ClosedAndInvalidUse) {
    CHFile file;
    uint8_t byte = 0;
    EXPECT_FALSE(file.Open(nullptr, "rb"));
    EXPECT_FALSE(file.Open("", "rb"));
    EXPECT_FALSE(file.Open("/nonexistent/dir/file", "rb"));
    EXPECT_EQ(file.Read(&byte, 1), 0xFFFFFFFFu);
    EXPECT_EQ(file.Write(&byte, 1, 3), 0xFFFFFFFFu);
    EXPECT_EQ(file.Seek(0, SEEK_SET), -1);
    EXPECT_EQ(file.Tell(), 0);
    EXPECT_EQ(file.GetSize(), 0);
}

TEST(FileTest, WriteReadSeekSize) {
    char dir[] = "/tmp/quorix-file-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string path = std::string(dir) + "/data.bin";
    {
        CHFile file;
        ASSERT_TRUE(file.Open(path.c_str(), "wb"));
        EXPECT_FALSE(file.Open(path.c_str(), "wb"));  // already open
        EXPECT_EQ(file.Write(nullptr, 4, 1), QUORIX_E_PARAM);
        std::vector<uint8_t> data(10000);
        for (size_t i = 0; i < data.size(); ++i)
            data[i] = static_cast<uint8_t>(i * 7);
        EXPECT_EQ(file.Write(data.data(), 10000, 0), 10000u);
        EXPECT_EQ(file.Write(data.data(), 0, 5), 0u);
        EXPECT_EQ(file.Tell(), 10000);
        EXPECT_EQ(file.Flush(), 0);
    }
    CHFile file;
    ASSERT_TRUE(file.Open(path.c_str(), "rb"));
    EXPECT_EQ(file.Seek(100, SEEK_SET), 0);
    EXPECT_EQ(file.GetSize(), 10000);
    EXPECT_EQ(file.Tell(), 100);  // GetSize puts the position back
    uint8_t chunk[4];
    EXPECT_EQ(file.Read(nullptr, 4), QUORIX_E_PARAM);
    ASSERT_EQ(file.Read(chunk, 4), 4u);
    EXPECT_EQ(chunk[0], static_cast<uint8_t>(700));
    EXPECT_EQ(file.Seek(-2, SEEK_END), 0);
    EXPECT_EQ(file.Read(chunk, 4), 2u);  // short at the end
    EXPECT_EQ(file.Seek(0, 99), -1);
    file.Close();
    EXPECT_FALSE(file.IsOpen());
    fs::remove_all(dir);
}

namespace {
std::string ReadText(const std::string& path) {
    std::string text;
    if (FILE* f = fopen(path.c_str(), "rb")) {
        char buffer[256];
        size_t n = 0;
        while ((n = fread(buffer, 1, sizeof buffer, f)) > 0)
            text.append(buffer, n);
        fclose(f);
    }
    return text;
}
std::vector<std::string> NamesIn(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}
}  // namespace

// Only regular files are read or written: a pipe without a peer, a device or a directory is
// refused at once, whichever way it is opened, and stays what it was.
TEST(FileTest, OnlyRegularFilesAreOpened) {
    char dir[] = "/tmp/quorix-file-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string fifo = std::string(dir) + "/pipe";
    ASSERT_TRUE(fifotest::MakeFifo(fifo));
    for (const char* mode : {"rb", "wb", "ab", "r+b", "wbe"}) {
        SCOPED_TRACE(mode);
        const fifotest::Outcome opened = fifotest::CallOnFifo(fifo, [&] {
            CHFile file;
            return file.Open(fifo.c_str(), mode) ? 1u : 0u;
        });
        EXPECT_TRUE(opened.returned) << "blocked on a pipe";
        EXPECT_EQ(opened.result, 0u);
        EXPECT_TRUE(fifotest::IsFifo(fifo));
        for (const char* other : {static_cast<const char*>(dir), "/dev/null", "/dev/zero"}) {
            CHFile file;
            EXPECT_FALSE(file.Open(other, mode)) << other;
        }
    }
    const std::string plain = std::string(dir) + "/plain.bin";
    CHFile file;
    ASSERT_TRUE(file.Open(plain.c_str(), "wbe"));
    EXPECT_EQ(file.Write("abc", 3), 3u);
    file.Close();
    ASSERT_TRUE(file.Open(plain.c_str(), "ab"));
    EXPECT_EQ(file.Write("d", 1), 1u);
    file.Close();
    ASSERT_TRUE(file.Open(plain.c_str(), "r+b"));
    EXPECT_EQ(file.GetSize(), 4);
    file.Close();
    EXPECT_EQ(ReadText(plain), "abcd");
    FILE* raw = HOpenRegularFile(plain.c_str(), "r");
    ASSERT_NE(raw, nullptr);
    char first = 0;
    EXPECT_EQ(fread(&first, 1, 1, raw), 1u);  // handed out in blocking mode, reads normally
    EXPECT_EQ(first, 'a');
    fclose(raw);
    EXPECT_EQ(HOpenRegularFile(plain.c_str(), "wx"), nullptr);  // exclusive: it exists
    fs::remove_all(dir);
}

// A replacing write puts the new file in place only when it is whole: a refused name, a
// discarded or a short write leave the old file and no temporary one behind.
TEST(FileTest, ReplacingWriteIsWholeOrNothing) {
    char dir[] = "/tmp/quorix-file-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string d = dir;
    const std::string target = d + "/picture.bin";
    {
        FILE* f = fopen(target.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        fputs("old", f);
        fclose(f);
    }
    const std::string fifo = d + "/pipe";
    ASSERT_TRUE(fifotest::MakeFifo(fifo));
    {
        CHReplaceFile file;
        EXPECT_FALSE(file.Open(fifo.c_str()));
        EXPECT_FALSE(file.Open(dir));
        EXPECT_FALSE(file.Open("/dev/full"));
        EXPECT_FALSE(file.Open((d + "/missing/x").c_str()));
        EXPECT_FALSE(file.Open(nullptr));
        EXPECT_FALSE(file.Commit());
    }
    EXPECT_TRUE(fifotest::IsFifo(fifo));
    {
        CHReplaceFile file;  // written, never committed
        ASSERT_TRUE(file.Open(target.c_str()));
        EXPECT_TRUE(file.Write("new", 3));
    }
    EXPECT_EQ(ReadText(target), "old");
    EXPECT_EQ(NamesIn(d), (std::vector<std::string>{"picture.bin", "pipe"}));
    {
        // A full disk: the write comes up short.
        std::vector<uint8_t> big(64 * 1024, 0x5A);
        fifotest::ScopedFileSizeLimit limit(4096);
        ASSERT_TRUE(limit.Ok());
        CHReplaceFile file;
        ASSERT_TRUE(file.Open(target.c_str()));
        EXPECT_FALSE(file.Write(big.data(), big.size()));
        EXPECT_FALSE(file.Write("x", 1));  // stays failed
        EXPECT_FALSE(file.Commit());
    }
    EXPECT_EQ(ReadText(target), "old");
    EXPECT_EQ(NamesIn(d), (std::vector<std::string>{"picture.bin", "pipe"}));
    {
        CHReplaceFile file;
        ASSERT_TRUE(file.Open(target.c_str()));
        EXPECT_TRUE(file.Write("new", 3));
        EXPECT_TRUE(file.Write(nullptr, 0));
        EXPECT_TRUE(file.Commit());
    }
    EXPECT_EQ(ReadText(target), "new");
    // Through a symbolic link the file it names is replaced; the link stays a link.
    const std::string link = d + "/link.bin";
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    {
        CHReplaceFile file;
        ASSERT_TRUE(file.Open(link.c_str()));
        EXPECT_TRUE(file.Write("linked", 6));
        EXPECT_TRUE(file.Commit());
    }
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(ReadText(target), "linked");
    EXPECT_EQ(NamesIn(d), (std::vector<std::string>{"link.bin", "picture.bin", "pipe"}));
    fs::remove_all(dir);
}

TEST(MapTest, EmptyInsertLookupIterateRemove) {
    CHMap<uint16_t, uint16_t, int*, int*> map;
    int* found = nullptr;
    EXPECT_FALSE(map.Lookup(5, found));  // no bucket array yet
    EXPECT_EQ(map.GetStartPosition(), nullptr);
    EXPECT_EQ(map.GetCount(), 0u);
    EXPECT_FALSE(map.RemoveKey(5));

    int values[40];
    EXPECT_EQ(map[3], nullptr);  // inserted with a zero value
    EXPECT_EQ(map.GetCount(), 1u);
    // Keys 0..15 share one bucket (hash = key >> 4), so chains are exercised.
    for (uint16_t k = 0; k < 40; ++k)
        map[k] = &values[k];
    EXPECT_EQ(map.GetCount(), 40u);
    for (uint16_t k = 0; k < 40; ++k) {
        ASSERT_TRUE(map.Lookup(k, found));
        EXPECT_EQ(found, &values[k]);
    }
    EXPECT_FALSE(map.Lookup(40, found));

    std::set<uint16_t> seen;
    HPOSITION pos = map.GetStartPosition();
    while (pos) {
        uint16_t key = 0;
        int* value = nullptr;
        map.GetNextAssoc(pos, key, value);
        EXPECT_EQ(value, &values[key]);
        EXPECT_TRUE(seen.insert(key).second);
    }
    EXPECT_EQ(seen.size(), 40u);

    EXPECT_TRUE(map.RemoveKey(17));
    EXPECT_FALSE(map.Lookup(17, found));
    EXPECT_EQ(map.GetCount(), 39u);
    map.RemoveAll();
    EXPECT_EQ(map.GetCount(), 0u);
    EXPECT_FALSE(map.Lookup(3, found));
    map[300] = &values[0];  // usable again after RemoveAll
    EXPECT_TRUE(map.Lookup(300, found));
}

TEST(MapTest, PointerKeys) {
    CHMapPtrToPtr map;
    std::vector<int> storage(100);
    for (int& v : storage)
        map[&v] = &v + 1;
    EXPECT_EQ(map.GetCount(), 100u);
    void* value = nullptr;
    ASSERT_TRUE(map.Lookup(&storage[42], value));
    EXPECT_EQ(value, &storage[43]);
    EXPECT_EQ(HHashKey<void*>(reinterpret_cast<void*>(0x12345678)), 0x01234567u);
}

TEST(ModuleTest, DirectoryOfTheCodeAndLocalTime) {
    const std::string dir = GetModuleDirectory();
    ASSERT_FALSE(dir.empty());
    EXPECT_EQ(dir.front(), '/');
    EXPECT_EQ(dir.back(), '/');
    EXPECT_TRUE(fs::is_directory(dir));
    // Linked statically into this test program, the code lives in the program file.
    EXPECT_EQ(fs::canonical(GetModulePath()), fs::canonical("/proc/self/exe"));

    struct tm t {};
    EXPECT_FALSE(HLocalTime(0, nullptr));
    ASSERT_TRUE(HLocalTime(86400 * 365, &t));
    EXPECT_GE(t.tm_year, 70);
}
