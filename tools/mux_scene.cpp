#include "mux_scene.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

extern "C" {
#include <libavfilter/buffersink.h>
#include <libavutil/error.h>
#include <libavutil/mem.h>
#include <libavutil/pixfmt.h>
}

namespace quorix_tools {

namespace {

// Render models written to the header (as quorix-mux names them).
constexpr int kModelFromParams = 0;
constexpr int kModelNormal = 1;
constexpr int kModelVr720 = 3;
constexpr int kModelRing = 5;

constexpr double kPi = 3.14159265358979323846;
constexpr double kInf = std::numeric_limits<double>::infinity();

struct Rgb {
    double r, g, b;
};

Rgb Scale(Rgb c, double s) {
    return {c.r * s, c.g * s, c.b * s};
}

// Studio-range BT.601, the matrix the decoders assume for these streams.
double LumaOf(Rgb c) {
    return 16 + 65.481 * c.r + 128.553 * c.g + 24.966 * c.b;
}
double CbOf(Rgb c) {
    return 128 - 37.797 * c.r - 74.203 * c.g + 112.0 * c.b;
}
double CrOf(Rgb c) {
    return 128 + 112.0 * c.r - 93.786 * c.g - 18.214 * c.b;
}
uint8_t Byte(double v) {
    return static_cast<uint8_t>(std::clamp(std::lround(v), 0L, 255L));
}

std::string AvText(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

}  // namespace

// A room of 9 × 7 m seen from the middle of its ceiling, 2.6 m above the floor, by a lens looking
// straight down. Everything an operator uses to judge a de-warp is in it: a tiled floor whose
// joints are straight lines, four walls of their own colours with vertical seams, a white rail
// running round all walls at one height (the horizon line of the room: straight on each wall in a
// perspective view, one unbroken band in the panorama), striped poles standing upright, and balls
// rolling across the floor so that the picture moves.
struct SceneSource::Room {
    static constexpr double kHeight = 2.6;               // camera above the floor
    static constexpr double kHalfX = 4.5, kHalfY = 3.5;  // walls at x = ±kHalfX, y = ±kHalfY
    static constexpr double kRail = -1.2;                // rail height (camera at z = 0)
    static constexpr double kPoleRadius = 0.08;
    static constexpr double kBallRadius = 0.35;
    static constexpr double kPoles[4][2] = {{1.8, 1.2}, {-2.2, -0.8}, {0.6, -2.0}, {-1.0, 2.0}};

    int size = 0;
    double radius = 0;             // lens circle, centred in the picture
    std::vector<uint8_t> y, u, v;  // the still room
    std::vector<float> depth;      // distance to the still room along each pixel's ray

    // The ray of a point of the picture (pixel units): equidistant, 90° at the circle.
    bool Ray(double px, double py, double d[3]) const {
        const double a = (px - size / 2.0) / radius, b = (py - size / 2.0) / radius;
        const double rho = std::hypot(a, b);
        if (rho > 1.0)
            return false;
        const double theta = rho * kPi / 2;
        const double s = rho > 0 ? std::sin(theta) / rho : 0.0;
        d[0] = a * s;
        d[1] = b * s;
        d[2] = -std::cos(theta);
        return true;
    }

    // The still room's colour along a ray, and how far it is.
    static Rgb Trace(const double d[3], double* distance) {
        double best = kInf;
        int what = 0;  // 1 floor, 2 wall, 3 pole
        int pole = 0;
        if (d[2] < -1e-12)
            best = kHeight / -d[2], what = 1;
        const double tx = d[0] > 0 ? kHalfX / d[0] : d[0] < 0 ? -kHalfX / d[0] : kInf;
        const double ty = d[1] > 0 ? kHalfY / d[1] : d[1] < 0 ? -kHalfY / d[1] : kInf;
        if (std::min(tx, ty) < best)
            best = std::min(tx, ty), what = 2;
        const double a = d[0] * d[0] + d[1] * d[1];
        for (int i = 0; i < 4 && a > 1e-12; ++i) {
            const double px = kPoles[i][0], py = kPoles[i][1];
            const double b = -2 * (d[0] * px + d[1] * py);
            const double c = px * px + py * py - kPoleRadius * kPoleRadius;
            const double disc = b * b - 4 * a * c;
            if (disc < 0)
                continue;
            const double t = (-b - std::sqrt(disc)) / (2 * a);
            if (t > 0 && t < best && t * d[2] >= -kHeight)
                best = t, what = 3, pole = i;
        }
        *distance = best;
        const double x = best * d[0], yy = best * d[1], z = best * d[2];
        if (what == 1) {
            const double fx = x - std::floor(x), fy = yy - std::floor(yy);
            const bool joint = std::min(fx, 1 - fx) < 0.025 || std::min(fy, 1 - fy) < 0.025;
            if (joint)
                return {0.25, 0.25, 0.30};
            const bool odd =
                (static_cast<long>(std::floor(x)) + static_cast<long>(std::floor(yy))) & 1;
            return odd ? Rgb{0.56, 0.54, 0.50} : Rgb{0.80, 0.78, 0.72};
        }
        if (what == 3) {
            const bool band = static_cast<long>(std::floor(z / 0.25)) & 1;
            (void)pole;
            return band ? Rgb{0.95, 0.95, 0.95} : Rgb{0.85, 0.20, 0.15};
        }
        if (what == 2) {
            const bool onX = tx <= ty;  // which pair of walls
            Rgb base = onX ? (d[0] > 0 ? Rgb{0.80, 0.35, 0.30} : Rgb{0.30, 0.55, 0.80})
                           : (d[1] > 0 ? Rgb{0.40, 0.70, 0.40} : Rgb{0.90, 0.75, 0.35});
            const double along = onX ? yy : x;
            if (std::fabs(z - kRail) < 0.05)
                return {0.97, 0.97, 0.97};
            if (z < -kHeight + 0.12)
                return {0.32, 0.30, 0.30};
            const double f = along - std::floor(along);
            if (std::min(f, 1 - f) < 0.03)
                return Scale(base, 0.6);
            return base;
        }
        return {0, 0, 0};
    }

    void Build(int n) {
        size = n;
        radius = n / 2.0;
        y.assign(size_t(n) * n, 16);
        depth.assign(size_t(n) * n, static_cast<float>(kInf));
        const int cw = (n + 1) / 2;
        std::vector<double> cb(size_t(cw) * cw, 0), cr(size_t(cw) * cw, 0);
        // Four rays a pixel: the circle's edge and the joints are smooth, not stair steps.
        for (int row = 0; row < n; ++row) {
            for (int col = 0; col < n; ++col) {
                double luma = 0, sumCb = 0, sumCr = 0;
                for (int s = 0; s < 4; ++s) {
                    double d[3], t = kInf;
                    Rgb c{0, 0, 0};
                    if (Ray(col + 0.25 + 0.5 * (s & 1), row + 0.25 + 0.5 * (s >> 1), d))
                        c = Trace(d, &t);
                    luma += LumaOf(c) / 4;
                    sumCb += CbOf(c) / 4;
                    sumCr += CrOf(c) / 4;
                }
                double d[3], t = kInf;
                if (Ray(col + 0.5, row + 0.5, d))
                    Trace(d, &t);
                y[size_t(row) * n + col] = Byte(luma);
                depth[size_t(row) * n + col] = static_cast<float>(t);
                cb[size_t(row / 2) * cw + col / 2] += sumCb / 4;
                cr[size_t(row / 2) * cw + col / 2] += sumCr / 4;
            }
        }
        u.resize(cb.size());
        v.resize(cr.size());
        for (size_t i = 0; i < cb.size(); ++i) {
            u[i] = Byte(cb[i]);
            v[i] = Byte(cr[i]);
        }
    }

    // Copies the still room and draws the balls at `seconds` over it.
    void Draw(double seconds, AVFrame* f) const {
        const int n = size, cw = (n + 1) / 2;
        for (int row = 0; row < n; ++row)
            std::memcpy(f->data[0] + size_t(row) * f->linesize[0], &y[size_t(row) * n], n);
        for (int row = 0; row < cw; ++row) {
            std::memcpy(f->data[1] + size_t(row) * f->linesize[1], &u[size_t(row) * cw], cw);
            std::memcpy(f->data[2] + size_t(row) * f->linesize[2], &v[size_t(row) * cw], cw);
        }
        struct Ball {
            double orbit, speed, phase;
            Rgb colour;
        };
        static constexpr Ball kBalls[3] = {{2.0, 0.6, 0.0, {0.95, 0.85, 0.10}},
                                           {1.2, -0.9, 2.0, {0.85, 0.20, 0.80}},
                                           {2.6, 0.4, 4.0, {0.10, 0.80, 0.85}}};
        for (const Ball& ball : kBalls) {
            const double angle = ball.phase + ball.speed * seconds;
            const double c[3] = {ball.orbit * std::cos(angle), ball.orbit * std::sin(angle),
                                 -kHeight + kBallRadius};
            // Where the centre lands in the picture, and a box that holds the whole ball.
            const double dist = std::sqrt(c[0] * c[0] + c[1] * c[1] + c[2] * c[2]);
            const double theta = std::acos(-c[2] / dist);
            const double azimuth = std::atan2(c[1], c[0]);
            const double rho = radius * theta / (kPi / 2);
            const double cx = n / 2.0 + rho * std::cos(azimuth);
            const double cy = n / 2.0 + rho * std::sin(azimuth);
            const double half = radius * std::asin(kBallRadius / dist) * 2 + 3;
            const int x0 = std::max(0, int(cx - half)) & ~1, x1 = std::min(n, int(cx + half) + 2);
            const int y0 = std::max(0, int(cy - half)) & ~1, y1 = std::min(n, int(cy + half) + 2);
            for (int row = y0; row < y1; row += 2) {
                for (int col = x0; col < x1; col += 2) {
                    int hits = 0;
                    double shadeSum = 0;
                    for (int s = 0; s < 4; ++s) {
                        const int px = col + (s & 1), py = row + (s >> 1);
                        double d[3];
                        if (px >= n || py >= n || !Ray(px + 0.5, py + 0.5, d))
                            continue;
                        // Ray against sphere: |t d - c|² = r², d of unit length.
                        const double b = d[0] * c[0] + d[1] * c[1] + d[2] * c[2];
                        const double disc = b * b - (dist * dist - kBallRadius * kBallRadius);
                        if (disc < 0)
                            continue;
                        const double t = b - std::sqrt(disc);
                        if (t <= 0 || t >= depth[size_t(py) * n + px])
                            continue;
                        // Lit from above: the top of the ball is brightest.
                        const double nz = (t * d[2] - c[2]) / kBallRadius;
                        const double shade = 0.45 + 0.55 * std::max(0.0, nz);
                        f->data[0][size_t(py) * f->linesize[0] + px] =
                            Byte(LumaOf(Scale(ball.colour, shade)));
                        ++hits;
                        shadeSum += shade;
                    }
                    if (hits >= 2) {
                        const Rgb lit = Scale(ball.colour, shadeSum / hits);
                        f->data[1][size_t(row / 2) * f->linesize[1] + col / 2] = Byte(CbOf(lit));
                        f->data[2][size_t(row / 2) * f->linesize[2] + col / 2] = Byte(CrOf(lit));
                    }
                }
            }
        }
    }
};

SceneSource::SceneSource() = default;

SceneSource::~SceneSource() {
    avfilter_graph_free(&m_graph);
}

bool SceneSource::Open(const std::string& kind, int width) {
    const int w = std::max(64, width) & ~15;
    if (kind == "fisheye") {
        m_room = std::make_unique<Room>();
        m_room->Build(w);
        m_width = m_height = w;
        m_model = kModelFromParams;
        m_fisheye = true;
        return true;
    }
    // The other lenses show FFmpeg's test pattern as an equirectangular world.
    const std::string world = "testsrc2=size=" + std::to_string(w) + "x" + std::to_string(w / 2) +
                              ":rate=25,format=yuv420p";
    std::string graph;
    if (kind == "sphere") {
        graph = world;
        m_model = kModelVr720;
    } else if (kind == "ring") {
        graph = world + ",crop=" + std::to_string(w) + ":" + std::to_string(w / 4) +
                ":0:" + std::to_string(w / 8);
        m_model = kModelRing;
    } else {
        graph = "testsrc2=size=" + std::to_string(w) + "x" + std::to_string((w * 9 / 16) & ~1) +
                ":rate=25,format=yuv420p";
        m_model = kModelNormal;
    }
    m_graph = avfilter_graph_alloc();
    if (m_graph == nullptr ||
        avfilter_graph_create_filter(&m_sink, avfilter_get_by_name("buffersink"), "out", nullptr,
                                     nullptr, m_graph) < 0) {
        m_error = "cannot build the filter graph";
        return false;
    }
    AVFilterInOut* outputs = nullptr;
    AVFilterInOut* inputs = avfilter_inout_alloc();
    if (inputs == nullptr) {
        m_error = "cannot build the filter graph";
        return false;
    }
    inputs->name = av_strdup("out");
    inputs->filter_ctx = m_sink;
    inputs->pad_idx = 0;
    inputs->next = nullptr;
    int err = avfilter_graph_parse_ptr(m_graph, graph.c_str(), &inputs, &outputs, nullptr);
    avfilter_inout_free(&inputs);
    avfilter_inout_free(&outputs);
    if (err < 0 || (err = avfilter_graph_config(m_graph, nullptr)) < 0) {
        m_error = "filter graph '" + graph + "': " + AvText(err);
        return false;
    }
    m_width = av_buffersink_get_w(m_sink);
    m_height = av_buffersink_get_h(m_sink);
    return true;
}

bool SceneSource::Next(int64_t index, AVFrame* frame) {
    if (m_room) {
        frame->format = AV_PIX_FMT_YUV420P;
        frame->width = m_width;
        frame->height = m_height;
        int err = av_frame_get_buffer(frame, 0);
        if (err < 0) {
            m_error = AvText(err);
            return false;
        }
        m_room->Draw(static_cast<double>(index) / 25.0, frame);
        return true;
    }
    const int err = m_sink != nullptr ? av_buffersink_get_frame(m_sink, frame) : AVERROR(EINVAL);
    if (err < 0) {
        m_error = "test scene: " + AvText(err);
        return false;
    }
    return true;
}

}  // namespace quorix_tools
