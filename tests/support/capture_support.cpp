#include "support/capture_support.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "media/hmfformat.h"
#include "support/media_encoder.h"
#include "support/player_media.h"

extern "C" {
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

namespace capturetest {

StillPicture MakeStill(uint32_t width, uint32_t height) {
    StillPicture still;
    still.width = width;
    still.height = height;
    still.luma.resize(size_t{width} * height);
    for (uint32_t y = 0; y < height; ++y) {
        for (uint32_t x = 0; x < width; ++x) {
            const uint32_t ramp = 40 + 170 * x / std::max(1u, width - 1);
            still.luma[size_t{y} * width + x] =
                static_cast<uint8_t>(y < height / 2 ? ramp : 250 - ramp);
        }
    }
    return still;
}

std::vector<std::vector<uint8_t>> StillRecords(const StillPicture& still, uint32_t count) {
    quorix_test::Picture picture;
    picture.width = still.width;
    picture.height = still.height;
    picture.planes[0] = still.luma;
    picture.planes[1].assign(size_t{picture.ChromaWidth()} * picture.ChromaHeight(), 128);
    picture.planes[2] = picture.planes[1];
    quorix_test::VideoEncodeOptions options;
    options.width = still.width;
    options.height = still.height;
    options.frames = count;
    options.quality = 10;
    options.gop = static_cast<int>(count);
    const std::vector<quorix_test::Picture> pictures(count, picture);
    const auto packets = quorix_test::EncodePictures(options, pictures);
    std::vector<std::vector<uint8_t>> records;
    for (size_t i = 0; i < packets.size(); ++i) {
        records.push_back(Record(packets[i].key ? BRIXEL::HMF_KIND_KEY : BRIXEL::HMF_KIND_DELTA,
                                 static_cast<uint32_t>(i), static_cast<uint32_t>(1000 + i * 40), 1,
                                 static_cast<uint16_t>(still.width),
                                 static_cast<uint16_t>(still.height), packets[i].data));
    }
    return records;
}

const std::vector<ColourCase>& ColourCases() {
    static const std::vector<ColourCase> cases = {
        {"bt601-limited", false, false, true}, {"bt601-full", true, false, true},
        {"bt709-limited", false, true, true},  {"bt709-full", true, true, true},
        {"unsignalled", false, false, false},
    };
    return cases;
}

namespace {

constexpr uint32_t kBars = 8;
constexpr uint32_t kBands = 4;
// Bars in limited-range values: white, black, the primaries and secondaries, mid grey.
constexpr uint8_t kBarYuv[kBars][3] = {{235, 128, 128}, {16, 128, 128}, {81, 90, 240},
                                       {145, 54, 34},   {41, 240, 110}, {170, 166, 16},
                                       {106, 202, 222}, {126, 128, 128}};
constexpr uint8_t kBandUv[kBands][2] = {{128, 128}, {64, 192}, {192, 64}, {160, 160}};

uint8_t FullLuma(int y) {
    return static_cast<uint8_t>(
        std::clamp(static_cast<int>(std::lround((y - 16) * 255.0 / 219)), 0, 255));
}
uint8_t FullChroma(int c) {
    return static_cast<uint8_t>(
        std::clamp(static_cast<int>(std::lround((c - 128) * 255.0 / 224 + 128)), 0, 255));
}

}  // namespace

quorix_test::Picture ColourChart(uint32_t width, uint32_t height, bool fullRange) {
    quorix_test::Picture chart;
    chart.width = width;
    chart.height = height;
    chart.planes[0].resize(size_t{width} * height);
    const uint32_t cw = chart.ChromaWidth(), ch = chart.ChromaHeight();
    chart.planes[1].resize(size_t{cw} * ch);
    chart.planes[2].resize(size_t{cw} * ch);
    const uint32_t half = height / 2 & ~1u;
    for (uint32_t y = 0; y < height; ++y) {
        for (uint32_t x = 0; x < width; ++x) {
            int luma, u, v;
            if (y < half) {
                const uint8_t* bar = kBarYuv[std::min(kBars - 1, x * kBars / width)];
                luma = bar[0];
                u = bar[1];
                v = bar[2];
            } else {
                const uint32_t band = std::min(kBands - 1, (y - half) * kBands / (height - half));
                luma = 16 + static_cast<int>(x * 219 / (width - 1));
                u = kBandUv[band][0];
                v = kBandUv[band][1];
            }
            chart.planes[0][size_t{y} * width + x] =
                fullRange ? FullLuma(luma) : static_cast<uint8_t>(luma);
            if (y % 2 == 0 && x % 2 == 0) {
                chart.planes[1][size_t{y / 2} * cw + x / 2] =
                    fullRange ? FullChroma(u) : static_cast<uint8_t>(u);
                chart.planes[2][size_t{y / 2} * cw + x / 2] =
                    fullRange ? FullChroma(v) : static_cast<uint8_t>(v);
            }
        }
    }
    return chart;
}

std::vector<std::vector<uint8_t>> ColourRecords(const quorix_test::Picture& chart,
                                                const ColourCase& colour, uint32_t count) {
    quorix_test::VideoEncodeOptions options;
    options.width = chart.width;
    options.height = chart.height;
    options.frames = count;
    options.quality = 0;  // lossless: the decoder gives the chart back sample for sample
    options.gop = static_cast<int>(count);
    if (colour.signalled) {
        options.colorRange = colour.fullRange ? AVCOL_RANGE_JPEG : AVCOL_RANGE_MPEG;
        options.colorSpace = colour.bt709 ? AVCOL_SPC_BT709 : AVCOL_SPC_SMPTE170M;
    }
    const std::vector<quorix_test::Picture> pictures(count, chart);
    const auto packets = quorix_test::EncodePictures(options, pictures);
    std::vector<std::vector<uint8_t>> records;
    for (size_t i = 0; i < packets.size(); ++i) {
        records.push_back(Record(packets[i].key ? BRIXEL::HMF_KIND_KEY : BRIXEL::HMF_KIND_DELTA,
                                 static_cast<uint32_t>(i), static_cast<uint32_t>(1000 + i * 40), 1,
                                 static_cast<uint16_t>(chart.width),
                                 static_cast<uint16_t>(chart.height), packets[i].data));
    }
    return records;
}

std::vector<uint8_t> SwscaleBgr(const quorix_test::Picture& chart, bool fullRange, bool bt709) {
    const int w = static_cast<int>(chart.width), h = static_cast<int>(chart.height);
    SwsContext* sws = sws_getContext(w, h, AV_PIX_FMT_YUV420P, w, h, AV_PIX_FMT_BGR24,
                                     SWS_POINT | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT, nullptr,
                                     nullptr, nullptr);
    if (sws == nullptr)
        return {};
    sws_setColorspaceDetails(sws, sws_getCoefficients(bt709 ? SWS_CS_ITU709 : SWS_CS_ITU601),
                             fullRange ? 1 : 0, sws_getCoefficients(SWS_CS_DEFAULT), 1, 0, 1 << 16,
                             1 << 16);
    std::vector<uint8_t> bgr(size_t{chart.width} * 3 * chart.height);
    const uint8_t* src[4] = {chart.planes[0].data(), chart.planes[1].data(), chart.planes[2].data(),
                             nullptr};
    const int srcStride[4] = {w, static_cast<int>(chart.ChromaWidth()),
                              static_cast<int>(chart.ChromaWidth()), 0};
    uint8_t* dst[4] = {bgr.data(), nullptr, nullptr, nullptr};
    const int dstStride[4] = {w * 3, 0, 0, 0};
    const int rows = sws_scale(sws, src, srcStride, 0, h, dst, dstStride);
    sws_freeContext(sws);
    return rows == h ? bgr : std::vector<uint8_t>{};
}

int ChartDifference(const quorix_test::Picture& chart, const std::vector<uint8_t>& referenceBgr,
                    uint32_t bytesPerPixel,
                    const std::function<const uint8_t*(uint32_t y)>& rowOf) {
    if (referenceBgr.size() < size_t{chart.width} * 3 * chart.height)
        return 1000;
    const uint32_t w = chart.width, h = chart.height, half = h / 2 & ~1u;
    std::vector<std::pair<uint32_t, uint32_t>> points;  // away from every bar and band edge
    for (uint32_t b = 0; b < kBars; ++b) {
        const uint32_t x0 = b * w / kBars + 6, x1 = (b + 1) * w / kBars - 6;
        for (uint32_t y = 6; y + 6 < half; y += 9)
            for (uint32_t x = x0; x < x1; x += 5)
                points.emplace_back(x, y);
    }
    for (uint32_t band = 0; band < kBands; ++band) {
        const uint32_t y0 = half + band * (h - half) / kBands + 6;
        const uint32_t y1 = half + (band + 1) * (h - half) / kBands - 6;
        for (uint32_t y = y0; y < y1; y += 5)
            for (uint32_t x = 6; x + 6 < w; x += 3)
                points.emplace_back(x, y);
    }
    int worst = 0;
    for (const auto& [x, y] : points) {
        const uint8_t* got = rowOf(y) + size_t{x} * bytesPerPixel;
        const uint8_t* want = referenceBgr.data() + (size_t{y} * w + x) * 3;
        for (int c = 0; c < 3; ++c)
            worst = std::max(worst, std::abs(int{got[c]} - int{want[c]}));
    }
    return worst;
}

std::vector<uint8_t> Record(uint8_t type, uint32_t sequence, uint32_t timestamp, uint8_t codec,
                            uint16_t width, uint16_t height, const std::vector<uint8_t>& payload,
                            bool subFrame) {
    BRIXEL::HMFFrameHeader header = BRIXEL::HMFNewFrameHeader();
    if (subFrame)
        header.magic = BRIXEL::kHMFSubFrameMagic;
    header.type = type;
    header.sequence = sequence;
    header.timestamp = timestamp;
    header.clock = 1700000000u + timestamp / 1000u;
    header.codec = codec;
    header.SetVideoSize(width, height);
    header.payloadLength = static_cast<uint32_t>(payload.size());
    std::vector<uint8_t> record(BRIXEL::kHMFFrameHeaderSize + payload.size());
    BRIXEL::HMFSerializeFrameHeader(header, record.data());
    std::copy(payload.begin(), payload.end(), record.begin() + BRIXEL::kHMFFrameHeaderSize);
    return record;
}

double GreyDifference(const StillPicture& still, uint32_t bytesPerPixel,
                      const std::function<const uint8_t*(uint32_t y)>& rowOf) {
    const uint32_t x0 = still.width / 10, x1 = still.width - still.width / 10;
    const uint32_t y0 = still.height / 10, y1 = still.height - still.height / 10;
    double full = 0.0, limited = 0.0;
    uint64_t n = 0;
    for (uint32_t y = y0; y < y1; y += 3) {
        const uint8_t* row = rowOf(y);
        for (uint32_t x = x0; x < x1; x += 3) {
            const uint8_t* p = row + size_t{x} * bytesPerPixel;
            const double grey = (p[0] + p[1] + p[2]) / 3.0;
            const double luma = still.At(x, y);
            full += std::fabs(grey - luma);
            limited += std::fabs(grey - std::clamp((luma - 16.0) * 255.0 / 219.0, 0.0, 255.0));
            ++n;
        }
    }
    return n == 0 ? 1e9 : std::min(full, limited) / static_cast<double>(n);
}

std::string EdgeCaptureProblem(uint32_t width, uint32_t height, uint32_t bytesPerPixel,
                               const std::function<const uint8_t*(uint32_t y)>& rowOf) {
    // Brightness as the mean of the three components: whatever YUV-to-RGB matrix and range
    // the picture went through, the body stays below 100 and the stripes above 150.
    auto mean = [&](uint32_t x0, uint32_t x1, uint32_t y0, uint32_t y1) {
        double sum = 0.0;
        for (uint32_t y = y0; y < y1; ++y) {
            const uint8_t* row = rowOf(y);
            for (uint32_t x = x0; x < x1; ++x) {
                const uint8_t* p = row + size_t{x} * bytesPerPixel;
                sum += (p[0] + p[1] + p[2]) / 3.0;
            }
        }
        return sum / (static_cast<double>(x1 - x0) * (y1 - y0));
    };
    const uint32_t xs = playertest::EdgeColumn(width), ys = playertest::EdgeRow(height);
    struct Check {
        const char* what;
        uint32_t x0, x1, y0, y1;
        bool bright;
    } const checks[] = {
        {"last column", width - 1, width, 0, ys, true},
        {"first stripe column", xs, xs + 1, 0, ys, true},
        {"body column left of the stripe", xs - 2, xs - 1, 0, ys - 2, false},
        {"last row", 0, xs, height - 1, height, true},
        {"first stripe row", 0, xs, ys, ys + 1, true},
        {"body row above the stripe", 0, xs - 2, ys - 2, ys - 1, false},
        {"body", 0, xs - 2, 0, ys - 2, false},
    };
    std::string problems;
    for (const Check& c : checks) {
        const double m = mean(c.x0, c.x1, c.y0, c.y1);
        if (c.bright ? m <= 150.0 : m >= 100.0)
            problems += std::string(c.what) + " " + (c.bright ? "dark " : "bright ") +
                        std::to_string(m) + "; ";
    }
    return problems;
}

std::vector<uint8_t> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
}

bool FileExists(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0;
}

namespace {
uint32_t Le(const std::vector<uint8_t>& b, size_t at, int bytes) {
    uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i)
        v = (v << 8) | b[at + static_cast<size_t>(i)];
    return v;
}
}  // namespace

BmpFile ReadBmp(const std::string& path) {
    BmpFile bmp;
    bmp.bytes = ReadFile(path);
    const auto& b = bmp.bytes;
    if (b.size() < 54 || b[0] != 'B' || b[1] != 'M')
        return bmp;
    bmp.fileSize = Le(b, 2, 4);
    bmp.dataOffset = Le(b, 10, 4);
    bmp.headerSize = Le(b, 14, 4);
    bmp.width = static_cast<int32_t>(Le(b, 18, 4));
    bmp.height = static_cast<int32_t>(Le(b, 22, 4));
    bmp.planes = static_cast<uint16_t>(Le(b, 26, 2));
    bmp.bitCount = static_cast<uint16_t>(Le(b, 28, 2));
    bmp.imageSize = Le(b, 34, 4);
    bmp.ok = bmp.height > 0 && uint64_t{bmp.dataOffset} + bmp.imageSize <= b.size();
    return bmp;
}

std::vector<uint16_t> JpegLumaTable(const std::vector<uint8_t>& jpeg) {
    static const int kZigzag[64] = {0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,
                                    12, 19, 26, 33, 40, 48, 41, 34, 27, 20, 13, 6,  7,  14, 21, 28,
                                    35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23, 30, 37, 44, 51,
                                    58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};
    size_t at = 2;
    while (at + 4 <= jpeg.size() && jpeg[at] == 0xFF) {
        const uint8_t marker = jpeg[at + 1];
        const size_t length = size_t{jpeg[at + 2]} << 8 | jpeg[at + 3];
        if (marker == 0xDB) {
            size_t p = at + 4;
            while (p < at + 2 + length && p < jpeg.size()) {
                const int precision = jpeg[p] >> 4, id = jpeg[p] & 15;
                const size_t entry = precision != 0 ? 2 : 1;
                if (p + 1 + 64 * entry > jpeg.size())
                    return {};
                if (id == 0) {
                    std::vector<uint16_t> table(64);
                    for (int i = 0; i < 64; ++i) {
                        const size_t q = p + 1 + static_cast<size_t>(i) * entry;
                        table[kZigzag[i]] = entry == 2
                                                ? static_cast<uint16_t>(jpeg[q] << 8 | jpeg[q + 1])
                                                : jpeg[q];
                    }
                    return table;
                }
                p += 1 + 64 * entry;
            }
        }
        if (marker == 0xDA)
            break;
        at += 2 + length;
    }
    return {};
}

std::vector<uint16_t> ScaledLumaTable(int quality) {
    static const uint16_t kBase[64] = {
        16, 11, 10, 16, 24,  40,  51,  61,  12, 12, 14, 19, 26,  58,  60,  55,
        14, 13, 16, 24, 40,  57,  69,  56,  14, 17, 22, 29, 51,  87,  80,  62,
        18, 22, 37, 56, 68,  109, 103, 77,  24, 35, 55, 64, 81,  104, 113, 92,
        49, 64, 78, 87, 103, 121, 120, 101, 72, 92, 95, 98, 112, 100, 103, 99};
    quality = std::clamp(quality, 1, 100);
    const int scale = quality < 50 ? 5000 / quality : 200 - quality * 2;
    std::vector<uint16_t> table(64);
    for (int i = 0; i < 64; ++i)
        table[i] = static_cast<uint16_t>(std::clamp((kBase[i] * scale + 50) / 100, 1, 255));
    return table;
}

bool DecodeJpeg(const std::vector<uint8_t>& jpeg, uint32_t* width, uint32_t* height,
                std::vector<uint8_t>* bgr) {
    tjhandle handle = tjInitDecompress();
    if (handle == nullptr)
        return false;
    int w = 0, h = 0, subsampling = 0, colourspace = 0;
    bool ok = tjDecompressHeader3(handle, jpeg.data(), static_cast<unsigned long>(jpeg.size()), &w,
                                  &h, &subsampling, &colourspace) == 0;
    if (ok) {
        bgr->assign(size_t(w) * size_t(h) * 3, 0);
        ok = tjDecompress2(handle, jpeg.data(), static_cast<unsigned long>(jpeg.size()),
                           bgr->data(), w, w * 3, h, TJPF_BGR, 0) == 0;
        *width = static_cast<uint32_t>(w);
        *height = static_cast<uint32_t>(h);
    }
    tjDestroy(handle);
    return ok;
}

TempDir::TempDir() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "quorix_capture_XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr)
        m_path = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    if (!m_path.empty())
        std::filesystem::remove_all(m_path, ignored);
}

void SnapCollector::Callback(uint16_t port, uint16_t region, uint32_t width, uint32_t stride,
                             uint32_t height, uint32_t format, const uint8_t* data, void* user) {
    auto* self = static_cast<SnapCollector*>(user);
    std::function<void(uint16_t, uint16_t)> action;
    {
        std::lock_guard<std::mutex> guard(self->lock);
        action = self->action;
    }
    if (action)
        action(port, region);  // without the lock: it may wait for this very collector
    std::lock_guard<std::mutex> guard(self->lock);
    self->last.port = port;
    self->last.region = region;
    self->last.width = width;
    self->last.stride = stride;
    self->last.height = height;
    self->last.format = format;
    // Planar 4:2:0 pictures carry two chroma planes of ((stride+1)/2) x ((height+1)/2) after Y.
    const size_t bytes =
        format == 20 ? size_t{stride} * height + 2 * size_t{(stride + 1) / 2} * ((height + 1) / 2)
                     : size_t{stride} * height;
    if (data != nullptr)
        self->last.data.assign(data, data + bytes);
    ++self->calls;
    self->changed.notify_all();
}

bool SnapCollector::WaitFor(const std::function<bool(const Shot&, int)>& done) {
    std::unique_lock<std::mutex> guard(lock);
    return changed.wait_for(guard, std::chrono::milliseconds(kWaitMs),
                            [&] { return done(last, calls); });
}

LivePort::LivePort(int32_t model, uint32_t regionWidth, uint32_t regionHeight) {
    if (QUORIX_GetPort(&m_port) != QUORIX_OK) {
        m_port = 0xFFFF;
        m_error = "no port";
        return;
    }
    if (regionWidth != 0) {
        const QUORIX_RECT rect{0, 0, static_cast<int32_t>(regionWidth),
                               static_cast<int32_t>(regionHeight)};
        const uint32_t set = QUORIX_SetDisplayRegion(m_port, 0, &rect, 1);
        if (set != QUORIX_OK) {
            m_error = "SetDisplayRegion " + std::to_string(set);
            return;
        }
    }
    uint32_t rc = QUORIX_OpenStream(m_port, model, nullptr, 0, nullptr, 0);
    if (rc != QUORIX_OK) {
        m_error = "OpenStream " + std::to_string(rc);
        return;
    }
    rc = QUORIX_Play(m_port, 0, nullptr, 0);
    if (rc != QUORIX_OK) {
        m_error = "Play " + std::to_string(rc);
        return;
    }
    m_ok = true;
}

LivePort::~LivePort() {
    if (m_port != 0xFFFF)
        QUORIX_FreePort(m_port);
}

uint32_t LivePort::Push(const std::vector<std::vector<uint8_t>>& records) {
    for (const auto& record : records) {
        const uint32_t rc =
            QUORIX_InputStreamData(m_port, record.data(), static_cast<uint32_t>(record.size()));
        if (rc != QUORIX_OK)
            return rc;
    }
    return QUORIX_OK;
}

}  // namespace capturetest
