// The quorix-info tool on built files: what it reports and how it exits.

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <string>

#include "support/container_builder.h"

using namespace BRIXEL;
using namespace quorixtest;

namespace {

struct ToolRun {
    int status;
    std::string output;
};

ToolRun RunInfo(const std::string& args) {
    ToolRun r{-1, {}};
    const std::string command = std::string(QUORIX_INFO_PATH) + " " + args + " 2>&1";
    FILE* p = popen(command.c_str(), "r");
    if (p == nullptr)
        return r;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, p)) > 0)
        r.output.append(buffer, n);
    const int status = pclose(p);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

bool Has(const ToolRun& r, const std::string& text) {
    return r.output.find(text) != std::string::npos;
}

}  // namespace

TEST(QuorixInfo, ReportsASoundFile) {
    TempDir dir;
    ContainerBuilder b;
    b.AddExtension(HMF_EXT_OPEN_INFO, std::vector<uint8_t>(100, 1));
    b.AddAudio(0, 160);
    b.AddGroups(2, 4, 40, 0, 100);
    b.AddGroups(1, 3, 40, 5000, 108);
    ASSERT_TRUE(WriteFile(dir.Path("a.hmf"), b.Build()));
    const ToolRun r = RunInfo("--frames " + dir.Path("a.hmf"));
    EXPECT_EQ(0, r.status) << r.output;
    EXPECT_TRUE(Has(r, "start            2023-03-15 12:00:00.000")) << r.output;
    EXPECT_TRUE(Has(r, "end              2023-03-15 12:00:05.080")) << r.output;
    EXPECT_TRUE(Has(r, "video frames     11")) << r.output;
    EXPECT_TRUE(Has(r, "type 1 (file-open information), 100 bytes")) << r.output;
    EXPECT_TRUE(Has(r, "3 entries on disk, header says 3")) << r.output;
    EXPECT_TRUE(Has(r, "kind 3 (video delta): 8 records")) << r.output;
    EXPECT_TRUE(Has(r, "steps over 1 s 1")) << r.output;
    EXPECT_TRUE(Has(r, "seq 110")) << r.output;  // --frames lists every record
    EXPECT_FALSE(Has(r, "damage")) << r.output;
}

TEST(QuorixInfo, ReportsDamageAndRefusesForeignFiles) {
    TempDir dir;
    ContainerBuilder b;
    b.AddGroups(2, 4, 40, 0, 0);
    auto bytes = b.Build();
    bytes[b.FrameOffset(5)] = 'X';
    PatchLE32(bytes, 36, 5);
    ASSERT_TRUE(WriteFile(dir.Path("d.hmf"), bytes));
    const ToolRun damaged = RunInfo(dir.Path("d.hmf"));
    EXPECT_EQ(0, damaged.status);
    EXPECT_TRUE(Has(damaged, "index offset 5 is outside the frame data")) << damaged.output;
    EXPECT_TRUE(Has(damaged, "instead of \"ht\" at " + std::to_string(b.FrameOffset(5))))
        << damaged.output;

    bytes[0] = 'X';
    ASSERT_TRUE(WriteFile(dir.Path("x.hmf"), bytes));
    const ToolRun foreign = RunInfo(dir.Path("x.hmf"));
    EXPECT_EQ(2, foreign.status);
    EXPECT_TRUE(Has(foreign, "not a media container file")) << foreign.output;

    ASSERT_TRUE(WriteFile(dir.Path("short.hmf"), std::vector<uint8_t>(10, 'Z')));
    EXPECT_EQ(2, RunInfo(dir.Path("short.hmf")).status);
    EXPECT_EQ(1, RunInfo(dir.Path("missing.hmf")).status);
}
