// 1920 x 1080 planar 4:2:0 to BGRX (format 3) and BGR (format 4): our converter against
// libyuv's I420ToARGB and I420ToRGB24, which write the same byte orders from the same
// limited-range BT.601 input (their rounding differs, so only the speeds compare); ours is
// first checked byte for byte against our per-pixel reference.
//
//   bench_pixel [rounds] [frames-per-round]
// Each round times every contender over the same frames, in turn, so that drifts of the
// machine hit all of them alike; the best round counts. Time is the thread's CPU time, so that
// other processes on a shared machine do not count against whoever was running.

#include <libyuv/convert_argb.h>
#include <quorixsdk.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "base/hpixel.h"
#include "base/hpixel_kernels.h"

using namespace BRIXEL;

namespace {

constexpr uint32_t kWidth = 1920;
constexpr uint32_t kHeight = 1080;

struct Frame {
    std::vector<uint8_t> y, u, v;
    Frame() : y(size_t{kWidth} * kHeight), u(y.size() / 4), v(y.size() / 4) {
        std::mt19937 rng(1);
        // A smooth picture with noise, not a flat one, so no path profits from repetition.
        for (uint32_t r = 0; r < kHeight; ++r) {
            for (uint32_t x = 0; x < kWidth; ++x) {
                y[size_t{r} * kWidth + x] = static_cast<uint8_t>((x + r) / 12 + (rng() & 15));
            }
        }
        for (size_t i = 0; i < u.size(); ++i) {
            u[i] = static_cast<uint8_t>(64 + (i % 960) / 8 + (rng() & 7));
            v[i] = static_cast<uint8_t>(200 - (i / 960) / 5 + (rng() & 7));
        }
    }
};

struct Contender {
    std::string name;
    std::function<void()> run;
    double bestSeconds = 1e30;
};

double ThreadSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

double Mpixels(double seconds, int frames) {
    return static_cast<double>(kWidth) * kHeight * frames / seconds / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 15;
    const int frames = argc > 2 ? std::max(1, std::atoi(argv[2])) : 20;
    const Frame src;
    const uint32_t strideUV = kWidth / 2;
    std::vector<uint8_t> bgrx(size_t{kWidth} * 4 * kHeight), bgr(size_t{kWidth} * 3 * kHeight);
    std::vector<uint8_t> check(bgrx.size());

    auto ours = [&](HPixelPath path, CHPixelFormat format, std::vector<uint8_t>& dst) {
        const uint32_t stride = HPixelRGBBytes(format) * kWidth;
        const uint32_t result = HPixelToRGB(
            path, format, src.y.data(), src.u.data(), src.v.data(), kWidth, strideUV, kWidth,
            kHeight, dst.data(), static_cast<uint32_t>(dst.size()), stride, HYUV_BT601_LIMITED);
        if (result != QUORIX_OK) {
            std::fprintf(stderr, "conversion failed: 0x%08X\n", result);
            std::exit(1);
        }
    };

    const HPixelPath best = HPixelBestPath();
    const char* bestName = best == HPixelPath::Avx2 ? "avx2" : "portable";
    for (CHPixelFormat format : {HPIXEL_BGRX32, HPIXEL_BGR24}) {
        std::vector<uint8_t>& dst = format == HPIXEL_BGRX32 ? bgrx : bgr;
        std::vector<uint8_t> reference(dst.size());
        ours(HPixelPath::Reference, format, reference);
        ours(best, format, dst);
        if (reference != dst) {
            std::fprintf(stderr, "format %u: the %s path differs from the reference\n", format,
                         bestName);
            return 1;
        }
    }
    std::printf("1920x1080 4:2:0 -> RGB, %s path bit-exact to the reference for formats 3 and 4\n",
                bestName);

    const int y = static_cast<int>(kWidth), c = static_cast<int>(strideUV);
    std::vector<Contender> contenders = {
        {"ours BGRX (3)", [&] { ours(best, HPIXEL_BGRX32, bgrx); }},
        {"libyuv I420ToARGB",
         [&] {
             libyuv::I420ToARGB(src.y.data(), y, src.u.data(), c, src.v.data(), c, bgrx.data(),
                                y * 4, y, static_cast<int>(kHeight));
         }},
        {"ours BGR (4)", [&] { ours(best, HPIXEL_BGR24, bgr); }},
        {"libyuv I420ToRGB24",
         [&] {
             libyuv::I420ToRGB24(src.y.data(), y, src.u.data(), c, src.v.data(), c, bgr.data(),
                                 y * 3, y, static_cast<int>(kHeight));
         }},
        {"ours BGRX portable", [&] { ours(HPixelPath::Portable, HPIXEL_BGRX32, bgrx); }},
        {"ours BGRX reference", [&] { ours(HPixelPath::Reference, HPIXEL_BGRX32, check); }},
    };
    for (int round = 0; round < rounds; ++round) {
        for (Contender& k : contenders) {
            // One untimed frame first: every contender is then timed with its own buffers in
            // the caches, whatever the one before it has touched.
            k.run();
            const double start = ThreadSeconds();
            for (int f = 0; f < frames; ++f) {
                k.run();
            }
            k.bestSeconds = std::min(k.bestSeconds, ThreadSeconds() - start);
        }
    }

    std::printf("%-22s %12s\n", "contender", "Mpixel/s");
    for (const Contender& k : contenders) {
        std::printf("%-22s %12.1f\n", k.name.c_str(), Mpixels(k.bestSeconds, frames));
    }
    std::printf("ratio BGRX ours/libyuv: %.2f\n",
                contenders[1].bestSeconds / contenders[0].bestSeconds);
    std::printf("ratio BGR  ours/libyuv: %.2f\n",
                contenders[3].bestSeconds / contenders[2].bestSeconds);
    // Summary lines for scripts/bench: figure|ours|anchor|ratio|goal.
    const auto summary = [&](const char* figure, const Contender& ours, const Contender& anchor) {
        std::printf("BENCH %s|%.0f|%.0f (%s)|%.2f|>= 1.0\n", figure,
                    Mpixels(ours.bestSeconds, frames), Mpixels(anchor.bestSeconds, frames),
                    anchor.name.c_str(), anchor.bestSeconds / ours.bestSeconds);
    };
    summary("planar 4:2:0 -> BGRX 1080p, bit-exact (Mpixel/s)", contenders[0], contenders[1]);
    summary("planar 4:2:0 -> BGR 1080p, bit-exact (Mpixel/s)", contenders[2], contenders[3]);
    return 0;
}
