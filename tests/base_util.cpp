// Buffers, files, maps and the process utilities.

#include <gtest/gtest.h>
#include <quorixsdk.h>

#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <vector>

#include "base/hbuffer.h"
#include "base/hfile.h"
#include "base/hmap.h"
#include "base/hmodule.h"

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
        for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
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
    for (uint16_t k = 0; k < 40; ++k) map[k] = &values[k];
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
    for (int& v : storage) map[&v] = &v + 1;
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
