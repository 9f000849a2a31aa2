#include "support/projection_reference.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>

namespace projref {

namespace {

constexpr double kPi = 3.14159265358979323846;

struct V4 {
    double x, y, z, w;
};

V4 Fit(const Params& p, double x, double y, int mode) {
    const double p00 = p.project[0], p11 = p.project[5];
    if (mode == 1)
        return {x / p00, y / p00 / p.aspect, -1, 1};
    if (mode == 2)
        return {x / p11 * p.aspect, y / p11, -1, 1};
    return {x / p00, y / p11, -1, 1};
}

V4 RotY(V4 q, double deg) {
    const double a = deg * kPi / 180, c = std::cos(a), s = std::sin(a);
    return {q.x * c + q.z * s, q.y, -q.x * s + q.z * c, q.w};
}

V4 RotZ(V4 q, double deg) {
    const double a = deg * kPi / 180, c = std::cos(a), s = std::sin(a);
    return {q.x * c - q.y * s, q.x * s + q.y * c, q.z, q.w};
}

double Len(const V4& q) {
    return std::sqrt(q.x * q.x + q.y * q.y + q.z * q.z);
}
double Acos(double v) {
    return std::acos(std::clamp(v, -1.0, 1.0));
}

int UnrollMode(const Params& p) {
    if (p.display == 13)
        return p.adaptMode == 0 ? 0 : 1;
    return p.adaptMode;
}

V4 Plane(const Params& p, double u, double v, double& s, double& t) {
    s = u;
    t = 1 - v;
    return Fit(p, 2 * u - 1, 2 * v - 1, p.adaptMode);
}

V4 FullSphere(double u, double v, double& s, double& t) {
    s = 1 - u;
    t = v;
    const double ph = 2 * kPi * u, th = kPi * v, st = std::max(std::sin(th), 1e-7);
    return {st * std::sin(ph), std::cos(th), st * std::cos(ph), 1};
}

V4 HalfSphere(const Params& p, double u, double v, double& s, double& t) {
    const double ph = kPi * u, th = kPi * v, st = std::max(std::sin(th), 1e-7);
    const double x = st * std::cos(ph - kPi), z = st * std::sin(ph - kPi), y = std::cos(th);
    if (p.model == 2) {
        const double rho = std::hypot(x, y);
        const double az = (x == 0 && y == 0) ? 0.0 : std::atan2(y, x);
        const double r = 0.5 - std::atan2(-z, rho) / kPi;
        const double a = r * std::cos(az), b = r * std::sin(az);
        s = 1 - (p.K[0] * a + p.K[1] * b + p.K[2]);
        t = 1 - (p.K[3] * a + p.K[4] * b + p.K[5]);
    } else {
        s = 1 - u;
        t = v;
    }
    return {-x, y, z, 1};
}

V4 Unroll720(const Params& p, V4 q) {
    q = RotY(q, (1 - p.pan) * 180);
    const double u = std::atan2(q.x, q.z) / kPi, v = 0.5 - Acos(q.y / Len(q)) / kPi;
    V4 r = Fit(p, u, 2 * v, UnrollMode(p));
    r.x = -r.x;
    return r;
}

V4 Unroll360(const Params& p, V4 q) {
    q = RotZ(q, -p.pan * 180);
    const double v = 0.75 - Acos(q.z / Len(q)) / kPi, u = std::atan2(q.x, q.y) / kPi;
    return Fit(p, u, 4 * v, UnrollMode(p));
}

// The hemisphere's 360-degree panorama on its own grid: longitude about the lens axis from
// u, angle from the axis from v; textured at the sphere point turned back by the pan.
V4 HemispherePanorama(const Params& p, double u, double v, double& s, double& t) {
    const double lon = 2 * u - 1, alpha = std::max(0.5 * kPi * v, 1e-4), sa = std::sin(alpha);
    V4 q{sa * std::sin(kPi * lon), sa * std::cos(kPi * lon), -std::cos(alpha), 1};
    q = RotZ(q, p.pan * 180);
    const double x = -q.x, y = q.y, z = q.z;
    if (p.model == 2) {
        const double rho = std::hypot(x, y);
        const double az = (x == 0 && y == 0) ? 0.0 : std::atan2(y, x);
        const double r = 0.5 - std::atan2(-z, rho) / kPi;
        const double a = r * std::cos(az), b = r * std::sin(az);
        s = 1 - (p.K[0] * a + p.K[1] * b + p.K[2]);
        t = 1 - (p.K[3] * a + p.K[4] * b + p.K[5]);
    } else {
        const double phi = kPi - std::fabs(std::atan2(z, x));
        s = 1 - phi / kPi;
        t = Acos(y / Len(q)) / kPi;
    }
    return Fit(p, lon, 4 * (alpha / kPi - 0.25), UnrollMode(p));
}

V4 Unroll180(const Params& p, V4 q) {
    q = RotY(q, 180);
    double u = std::atan2(q.x, q.z) / kPi;
    const double v = 0.5 - Acos(q.y / Len(q)) / kPi;
    if (v == -0.5)
        u = std::clamp(u, -0.5, 0.5);
    V4 r = Fit(p, 2 * u, 2 * v, p.adaptMode);
    r.x = -r.x;
    return r;
}

V4 Cylinder(double u, double v, bool inside, double& s, double& t) {
    s = 1 - u;
    t = inside ? v : 1 - v;
    const double ph = 2 * kPi * u, r = inside ? 1.0 : 10.0;
    V4 q{r * std::cos(ph), r * std::sin(ph), r * (0.5 - v), 1};
    if (!inside)
        q.z = -q.z;
    return q;
}

V4 FrontBack(const Params& p, double u, double v, double& s, double& t) {
    const double p11 = p.project[5];
    double x = (u - 0.5) / p11 * p.aspect, y = v / p11;
    s = u / 2 + 0.5 * p.doublePlane;
    t = 1 - v;
    if (p.doublePlane == 1)
        y -= 1 / p11;
    return {x, y, -1, 1};
}

V4 ModelVertex(const Params& p, double u, double v, double& s, double& t) {
    const int d = p.display, m = p.model;
    if (d == 0)
        return Plane(p, u, v, s, t);
    if (m == 3) {
        V4 q = FullSphere(u, v, s, t);
        return (d == 13 || d == 14) ? Unroll720(p, q) : q;
    }
    if (m == 2 || m == 4 || m == 6) {
        if (d == 13 || d == 14)
            return HemispherePanorama(p, u, v, s, t);
        V4 q = HalfSphere(p, u, v, s, t);
        if (d == 12)
            return Unroll180(p, q);
        if (d == 13 || d == 14)
            return Unroll360(p, q);
        return q;
    }
    if (m == 5) {
        if (d == 13 || d == 14)
            return Unroll720(p, FullSphere(u, v, s, t));
        if (d == 15)
            return FrontBack(p, u, v, s, t);
        if (d == 16)
            return Cylinder(u, v, false, s, t);
        if (d == 17)
            return Cylinder(u, v, true, s, t);
    }
    return Plane(p, u, v, s, t);
}

void Apply(const double m[16], const double in[4], double out[4]) {
    for (int r = 0; r < 4; ++r)
        out[r] = m[r] * in[0] + m[4 + r] * in[1] + m[8 + r] * in[2] + m[12 + r] * in[3];
}

}  // namespace

Vertex Shade(const Params& p, double u, double v) {
    Vertex out{};
    const V4 q = ModelVertex(p, u, v, out.s, out.t);
    out.obj[0] = q.x;
    out.obj[1] = q.y;
    out.obj[2] = q.z;
    const double in[4] = {q.x, q.y, q.z, q.w};
    double eye[4];
    Apply(p.modelView, in, eye);
    Apply(p.project, eye, out.clip);
    if (p.model == 6 && p.display != 0) {
        const double ph = kPi * out.s, th = kPi * out.t;
        const double x = std::sin(th) * std::cos(ph - kPi), z = std::sin(th) * std::sin(ph - kPi),
                     y = std::cos(th);
        const double len = std::sqrt(x * x + y * y + z * z);
        out.s = ((x == 0 && y == 0 ? 0.0 : std::atan2(x, y)) / kPi + 1) / 2;
        out.t = 2 * Acos(z / len) / kPi - 1;
    }
    return out;
}

bool ToWindow(const Vertex& v, int w, int h, double& x, double& y) {
    const double cw = v.clip[3];
    if (!(cw > 1e-9))
        return false;
    if (v.clip[2] < -cw || v.clip[2] > cw)
        return false;
    x = (v.clip[0] / cw * 0.5 + 0.5) * w;
    y = (v.clip[1] / cw * 0.5 + 0.5) * h;
    return true;
}

void YuvToRgb(double y, double u, double v, double rgb[3]) {
    // Limited range: Y 16..235 and chroma 16..240 of 255 span the whole of [0, 1].
    y = (y - 16.0 / 255.0) * 255.0 / 219.0;
    u = (u - 128.0 / 255.0) * 255.0 / 224.0;
    v = (v - 128.0 / 255.0) * 255.0 / 224.0;
    const double kr = 0.299, kb = 0.114, kg = 1.0 - kr - kb;
    rgb[0] = y + 2.0 * (1.0 - kr) * v;
    rgb[2] = y + 2.0 * (1.0 - kb) * u;
    rgb[1] = (y - kr * rgb[0] - kb * rgb[2]) / kg;
}

void Picture::Sample(double s, double t, double out[3]) const {
    const double fx = s * width - 0.5, fy = t * height - 0.5;
    const int x0 = static_cast<int>(std::floor(fx)), y0 = static_cast<int>(std::floor(fy));
    const double ax = fx - x0, ay = fy - y0;
    auto at = [&](int x, int y, int c) {
        x = std::clamp(x, 0, width - 1);
        y = std::clamp(y, 0, height - 1);
        return static_cast<double>(rgb[(static_cast<size_t>(y) * width + x) * 3 + c]);
    };
    for (int c = 0; c < 3; ++c)
        out[c] = (1 - ay) * ((1 - ax) * at(x0, y0, c) + ax * at(x0 + 1, y0, c)) +
                 ay * ((1 - ax) * at(x0, y0 + 1, c) + ax * at(x0 + 1, y0 + 1, c));
}

void Expectation::ColourAt(const Picture& src, double px, double py, double rgb[3]) const {
    const double dx = px - x, dy = py - y;
    src.Sample(s + jac[0] * dx + jac[1] * dy, t + jac[2] * dx + jac[3] * dy, rgb);
}

std::vector<Expectation> Expect(const Params& p, const Picture& src, int viewW, int viewH,
                                bool culling, double maxTexelsPerPixel, int columns, int rows) {
    constexpr int kN = 480;  // lattice cells per side
    const double h = 1.0 / kN;
    struct Sample {
        bool visible = false;
        double x = 0, y = 0, s = 0, t = 0;
    };
    std::vector<Sample> grid(static_cast<size_t>(kN + 1) * (kN + 1));
    auto at = [&](int i, int j) -> Sample& { return grid[static_cast<size_t>(j) * (kN + 1) + i]; };
    for (int j = 0; j <= kN; ++j)
        for (int i = 0; i <= kN; ++i) {
            Sample& smp = at(i, j);
            const Vertex v = Shade(p, i * h, j * h);
            smp.s = v.s;
            smp.t = v.t;
            smp.visible = ToWindow(v, viewW, viewH, smp.x, smp.y);
        }
    // Facing of each lattice cell by its first triangle (u, v+h), (u, v), (u+h, v+h), the
    // order in which the grid strips emit it.
    auto front = [&](int i, int j) {
        const Sample &a = at(i, j + 1), &b = at(i, j), &c = at(i + 1, j + 1);
        if (!a.visible || !b.visible || !c.visible)
            return false;
        const double area = (b.x - a.x) * (c.y - a.y) - (b.y - a.y) * (c.x - a.x);
        return !culling || area > 0;
    };
    // Coverage: which lattice cells land on each window pixel (3 x 3 blocks).
    std::multimap<long, std::pair<int, int>> cover;
    auto key = [&](double x, double y) {
        return static_cast<long>(std::floor(y / 3)) * 100000 + static_cast<long>(std::floor(x / 3));
    };
    for (int j = 0; j < kN; ++j)
        for (int i = 0; i < kN; ++i)
            if (front(i, j))
                cover.emplace(key(at(i, j).x, at(i, j).y), std::make_pair(i, j));

    std::vector<Expectation> out;
    int rejected[5] = {0, 0, 0, 0, 0};
    for (int j = 2; j < kN - 2; j += 7)
        for (int i = 2; i < kN - 2; i += 7) {
            if (!front(i, j) || !front(i - 1, j - 1) || !front(i + 1, j + 1) ||
                !front(i - 1, j + 1) || !front(i + 1, j - 1)) {
                ++rejected[0];
                continue;
            }
            const Sample& c = at(i, j);
            if (c.x < 3 || c.y < 3 || c.x > viewW - 3 || c.y > viewH - 3) {
                ++rejected[1];
                continue;
            }
            // Seams and folds: the neighbours must stay close on the screen.
            bool smooth = true;
            double texPerPx = 0;
            for (int dj = -1; dj <= 1 && smooth; ++dj)
                for (int di = -1; di <= 1 && smooth; ++di) {
                    const Sample& n = at(i + di, j + dj);
                    const double dpx = std::hypot(n.x - c.x, n.y - c.y);
                    const double dtex =
                        std::hypot((n.s - c.s) * src.width, (n.t - c.t) * src.height);
                    if (dpx > 0.05 * std::max(viewW, viewH))
                        smooth = false;
                    if (dpx > 1e-9)
                        texPerPx = std::max(texPerPx, dtex / dpx);
                    else if (dtex > 1e-6)
                        smooth = false;
                }
            if (!smooth || texPerPx > maxTexelsPerPixel) {
                ++rejected[2];
                continue;
            }
            if (c.s < 0.01 || c.s > 0.99 || c.t < 0.01 || c.t > 0.99) {
                ++rejected[3];
                continue;
            }
            // Nothing else of the surface may land near this point.
            // (Another sheet shows other texture; the same sheet stays within what its slope
            // allows.)
            bool alone = true;
            for (int by = -1; by <= 1 && alone; ++by)
                for (int bx = -1; bx <= 1 && alone; ++bx) {
                    auto range = cover.equal_range(key(c.x + bx * 3.0, c.y + by * 3.0));
                    for (auto it = range.first; it != range.second && alone; ++it) {
                        const Sample& o = at(it->second.first, it->second.second);
                        const double dtex =
                            std::hypot((o.s - c.s) * src.width, (o.t - c.t) * src.height);
                        const double dpx = std::hypot(o.x - c.x, o.y - c.y);
                        if (dtex > texPerPx * (dpx + 2.0) * 1.5 + 2.0)
                            alone = false;
                    }
                }
            if (!alone) {
                ++rejected[4];
                continue;
            }
            if (columns > 0 && rows > 0) {
                const double cu = 1.0 / columns, cv = 1.0 / rows;
                const double u0 = std::floor(i * h / cu) * cu, v0 = std::floor(j * h / cv) * cv;
                double wx[5], wy[5];
                Vertex corner[5];
                const double us[5] = {u0, u0 + cu, u0, u0 + cu, u0 + cu / 2},
                             vs[5] = {v0, v0, v0 + cv, v0 + cv, v0 + cv / 2};
                bool ok = true;
                for (int k = 0; k < 5 && ok; ++k) {
                    corner[k] = Shade(p, us[k], vs[k]);
                    ok = ToWindow(corner[k], viewW, viewH, wx[k], wy[k]);
                }
                if (!ok) {
                    ++rejected[2];
                    continue;
                }
                const double mx = (wx[0] + wx[1] + wx[2] + wx[3]) / 4,
                             my = (wy[0] + wy[1] + wy[2] + wy[3]) / 4;
                const double ms = (corner[0].s + corner[1].s + corner[2].s + corner[3].s) / 4;
                const double mt = (corner[0].t + corner[1].t + corner[2].t + corner[3].t) / 4;
                if (std::hypot(wx[4] - mx, wy[4] - my) > 1.0 ||
                    std::hypot((corner[4].s - ms) * src.width, (corner[4].t - mt) * src.height) >
                        1.0) {
                    ++rejected[2];
                    continue;
                }
            }
            // Local slope from the central differences of the lattice.
            const Sample &l = at(i - 1, j), &r = at(i + 1, j), &d = at(i, j - 1), &u = at(i, j + 1);
            const double a = r.x - l.x, b = u.x - d.x, cc = r.y - l.y, dd = u.y - d.y;
            const double det = a * dd - b * cc;
            if (std::fabs(det) < 1e-12)
                continue;
            const double ia = dd / det, ib = -b / det, ic = -cc / det, id = a / det;  // inverse
            const double su = r.s - l.s, sv = u.s - d.s, tu = r.t - l.t, tv = u.t - d.t;
            Expectation e;
            const Vertex cv = Shade(p, i * h, j * h);
            std::copy(cv.obj, cv.obj + 3, e.obj);
            e.x = c.x;
            e.y = c.y;
            e.s = c.s;
            e.t = c.t;
            e.jac[0] = su * ia + sv * ic;
            e.jac[1] = su * ib + sv * id;
            e.jac[2] = tu * ia + tv * ic;
            e.jac[3] = tu * ib + tv * id;
            out.push_back(e);
        }
    if (std::getenv("QUORIX_VIEWS_DEBUG"))
        std::fprintf(
            stderr,
            "expect: %zu kept, rejected facing %d edge %d seam/steep %d texture %d overlap %d\n",
            out.size(), rejected[0], rejected[1], rejected[2], rejected[3], rejected[4]);
    return out;
}

namespace {

// Column-major 4x4 helpers of the derivation.
void Ident(double m[16]) {
    for (int i = 0; i < 16; ++i)
        m[i] = (i % 5 == 0) ? 1.0 : 0.0;
}
void Mul(const double a[16], const double b[16], double out[16]) {
    double r[16];
    for (int c = 0; c < 4; ++c)
        for (int row = 0; row < 4; ++row) {
            r[c * 4 + row] = 0;
            for (int k = 0; k < 4; ++k)
                r[c * 4 + row] += a[k * 4 + row] * b[c * 4 + k];
        }
    std::copy(r, r + 16, out);
}
// Right-handed rotations by `deg` about one axis (x: 0, y: 1, z: 2).
void Rot(double m[16], int axis, double deg) {
    const double a = deg * kPi / 180, c = std::cos(a), s = std::sin(a);
    Ident(m);
    const int i = (axis + 1) % 3, j = (axis + 2) % 3;  // the plane turned: i towards j
    m[i * 4 + i] = c;
    m[i * 4 + j] = s;
    m[j * 4 + i] = -s;
    m[j * 4 + j] = c;
}
double Wrap(double v) {
    while (v > 1)
        v -= 2;
    while (v < -1)
        v += 2;
    return v;
}
bool SphereView(int d) {
    return d == 10 || d == 11 || d == 16 || d == 17;
}
void Scales(const Params& p, double& sx, double& sy) {
    const int m = p.display == 13 ? (p.adaptMode == 0 ? 0 : 1) : p.adaptMode;
    const double p00 = p.project[0], p11 = p.project[5];
    if (m == 1) {
        sx = 1 / p00;
        sy = sx / p.aspect;
    } else if (m == 2) {
        sy = 1 / p11;
        sx = sy * p.aspect;
    } else {
        sx = 1 / p00;
        sy = 1 / p11;
    }
}

}  // namespace

Derived Derive(const View& v) {
    Derived out;
    Params& p = out.params;
    p.model = v.model;
    p.display = v.display;
    const int d = v.display;
    // Limits applied when the values are stored.
    double pan = v.pan, tilt = v.tilt;
    const double zoom = std::clamp(v.zoom, 0.001, 16.0);
    if (SphereView(d)) {
        pan = Wrap(pan);
        tilt = Wrap(tilt);
    } else if (d == 13) {
        pan = Wrap(pan);
        tilt = std::clamp(tilt, -1.0, 1.0);
    } else {
        pan = std::clamp(pan, -1.0, 1.0);
        tilt = std::clamp(tilt, -1.0, 1.0);
    }
    if (d == 16 && !(tilt >= -0.5 && tilt < -0.3055555555555556))
        tilt = -0.30555555;  // the cylinder keeps its own tilt
    // Aspects, adapt mode, projection.
    const double ar = static_cast<double>(v.rectW) / v.rectH;
    double a;
    if (d == 9 || d == 10 || d == 11)
        a = ar;
    else if ((d == 13 || d == 14) && v.model != 5)
        a = v.model == 3 ? 2.0 : 4.0;
    else if (d == 12)
        a = 1.0;
    else
        a = static_cast<double>(v.picW) / v.picH / (d == 15 ? 2.0 : 1.0);
    p.aspect = a;
    if (v.ratioType == 1)
        p.adaptMode = static_cast<float>(a) >= static_cast<float>(ar) ? 1 : 2;
    else
        p.adaptMode = v.ratioType == 2 ? 1 : v.ratioType == 3 ? 2 : 0;
    const double t = std::tan(65.0 / 2 * kPi / 180);
    Ident(p.project);
    if (d == 16) {
        // Orthographic, 20 units either way.
        p.project[0] = 1 / (ar * t * 20);
        p.project[5] = 1 / (t * 20);
        p.project[10] = -2.0 / 40;
    } else {
        const double n = 0.1, f = 100;
        p.project[0] = 1 / (ar * t);
        p.project[5] = 1 / t;
        p.project[10] = -(f + n) / (f - n);
        p.project[11] = -1;
        p.project[14] = -2 * f * n / (f - n);
        p.project[15] = 0;
    }
    // The zoomed picture covers the view: pan and tilt limited in picture-plane units.
    double z = zoom, px = 0, py = 0;
    const bool lensPerspective = d == 10 && (v.model == 2 || v.model == 4 || v.model == 6);
    if (lensPerspective) {
        // The view pyramid, corners (+-H, +-V, -1), stays inside the cone half a degree within
        // the lens's rim, and its diagonal spans at most 160 degrees. Looking at angle b from the
        // axis (b the tilt of a ceiling or desk lens, from straight down or up), the corners of
        // the edge nearer the rim sit at cos b - V sin b = sqrt(1 + V^2) cos(b + atan V) over
        // |corner|; on a wall, at pan P after tilt T: A cos P - H sin P with A = cos T - V sin T.
        z = std::max(z, t * std::sqrt(ar * ar + 1) / std::tan(80 * kPi / 180));
        const double H = ar * t / z, V = t / z, corner = std::sqrt(H * H + V * V + 1);
        const double s = std::sin(0.5 * kPi / 180) * corner;
        const double reach = (std::acos(s / std::sqrt(1 + V * V)) - std::atan(V)) / kPi;
        if (v.mount == 1) {
            tilt = std::clamp(tilt, -reach, reach);
            const double A = std::cos(tilt * kPi) - V * std::sin(std::fabs(tilt) * kPi);
            const double pMax = (std::acos(s / std::hypot(A, H)) - std::atan2(H, A)) / kPi;
            pan = std::clamp(pan, -pMax, pMax);
        } else if (v.mount == 2) {
            tilt = std::clamp(tilt, -0.5, -0.5 + reach);
        } else {
            tilt = std::clamp(tilt, 0.5 - reach, 0.5);
        }
    }
    if (!SphereView(d)) {
        const int m = d == 13 ? (p.adaptMode == 0 ? 0 : 1) : p.adaptMode;
        const double p00 = p.project[0], p11 = p.project[5];
        double ix = 1 / p00, iy = 1 / p11;
        if (d == 15) {
            ix = a / 2 / p11;  // two half panoramas, each 1/P11 high, whatever the mode
        } else if (m == 1) {
            iy = 1 / (a * p00);
        } else if (m == 2) {
            ix = a / p11;
        }
        const double vx = 1 / p00, vy = 1 / p11;
        px = ix * pan;
        py = iy * tilt;
        const double mx = (ix * z - vx) / z, my = (iy * z - vy) / z;
        if (d == 13 && z < 1)
            z = 1;
        if (!v.blankPtz) {
            if (d != 13)
                px = mx <= 0 ? 0 : std::clamp(px, -mx, mx);
            py = my <= 0 ? 0 : std::clamp(py, -my, my);
        }
        pan = px / ix;
        tilt = py / iy;
    }
    out.pan = pan;
    out.tilt = tilt;
    out.zoom = z;
    p.pan = d == 14 ? 0.0 : pan;
    // Model-view.
    double s[16], mv[16];
    Ident(s);
    s[0] = s[5] = z;
    if (SphereView(d)) {
        double tr[16], rx[16], ra[16];
        Ident(tr);
        tr[14] = d == 10 ? 0.0 : -1.4;
        Rot(rx, 0, tilt * 180);
        if (lensPerspective) {
            // Tilt and pan in the world (y up, pan + to the left), the lens held by the mount:
            // looking down (ceiling: the world's up is +z of the lens, its yaw 0 the picture's
            // top), forward (wall) or up (desk: the world's up is -z, yaw 0 the bottom).
            Rot(ra, 1, -pan * 180);
            double mount[16];
            Rot(mount, 0, v.mount == 2 ? 90 : (v.mount == 1 ? 0 : -90));
            Mul(ra, mount, ra);
        } else {
            Rot(ra, v.model == 3 ? 1 : 2, pan * 180);
        }
        Mul(tr, s, mv);
        Mul(mv, rx, mv);
        Mul(mv, ra, mv);
    } else {
        double tr[16];
        Ident(tr);
        tr[12] = d == 13 ? 0.0 : px;
        tr[13] = py;
        Mul(s, tr, mv);
    }
    std::copy(mv, mv + 16, p.modelView);
    return out;
}

void SourceOf(const Params& p, const double o[3], double& x, double& y) {
    const int d = p.display, m = p.model;
    double sx, sy;
    Scales(p, sx, sy);
    auto len = [](const V4& q) { return Len(q); };
    x = o[0];
    y = o[1];
    if ((d == 13 || d == 14) && (m == 2 || m == 4 || m == 6)) {
        const double X = kPi * o[0] / sx, Y = kPi * (0.75 - o[1] / (4 * sy));
        const V4 q = RotZ({std::sin(X) * std::sin(Y), std::cos(X) * std::sin(Y), std::cos(Y), 1},
                          p.pan * 180);
        x = std::atan2(q.y, q.x) / kPi;
        y = Acos(-q.z / len(q)) / kPi;
    } else if ((d == 13 || d == 14) && (m == 3 || m == 5)) {
        const double X = -kPi * o[0] / sx, Y = kPi * (0.5 - o[1] / (2 * sy));
        const V4 q = RotY({std::sin(X) * std::sin(Y), std::cos(Y), std::cos(X) * std::sin(Y), 1},
                          (p.pan - 1) * 180);
        if (m == 3) {
            x = std::atan2(q.y, q.x) / kPi;
            y = Acos(-q.z / len(q)) / kPi;
        } else {
            x = std::atan2(q.x, q.z) / kPi;
            y = 0.5 - Acos(q.y / len(q)) / kPi;
        }
    } else if (d == 12) {
        const double X = -kPi * o[0] / (2 * sx), Y = kPi * (0.5 - o[1] / (2 * sy));
        const V4 q =
            RotY({std::sin(X) * std::sin(Y), std::cos(Y), std::cos(X) * std::sin(Y), 1}, -180);
        x = std::atan2(q.y, q.x) / kPi;
        y = Acos(-q.z / len(q)) / kPi;
    } else if (d == 10 || d == 11) {
        const double l = std::sqrt(o[0] * o[0] + o[1] * o[1] + o[2] * o[2]);
        x = std::atan2(o[1], o[0]) / kPi;
        y = Acos(-o[2] / l) / kPi;
    } else if (d == 16) {
        x = std::atan2(o[1], o[0]) / kPi;
        y = o[2] / 10;
    } else if (d == 17) {
        x = std::atan2(o[1], o[0]) / kPi;
        y = o[2];
    } else if (d == 15) {
        const double p11 = p.project[5];
        const bool back = o[1] < 0;
        const double yy = (back ? o[1] + 1 / p11 : o[1]) * p11;
        const double X = kPi * (o[0] * p11 / p.aspect + 0.5), Y = kPi * yy;
        const V4 q{std::cos(X) * std::sin(Y), std::sin(X) * std::sin(Y), std::cos(Y), 1};
        x = -std::atan2(q.y, q.x) / kPi + (back ? 1 : 0);
        y = Acos(q.z / len(q)) / kPi - 0.5;
    }
}

std::vector<bool> Uncovered(const Params& p, int viewW, int viewH, bool culling, double margin) {
    constexpr int kN = 480;
    const double h = 1.0 / kN;
    std::vector<double> xs(static_cast<size_t>(kN + 1) * (kN + 1)), ys(xs.size());
    std::vector<bool> vis(xs.size());
    auto idx = [](int i, int j) { return static_cast<size_t>(j) * (kN + 1) + i; };
    for (int j = 0; j <= kN; ++j)
        for (int i = 0; i <= kN; ++i) {
            const Vertex v = Shade(p, i * h, j * h);
            vis[idx(i, j)] = ToWindow(v, viewW, viewH, xs[idx(i, j)], ys[idx(i, j)]);
        }
    std::vector<bool> near(static_cast<size_t>(viewW) * viewH, false);
    const int r = static_cast<int>(std::ceil(margin));
    for (int j = 0; j < kN; ++j)
        for (int i = 0; i < kN; ++i) {
            const size_t a = idx(i, j + 1), b = idx(i, j), c = idx(i + 1, j + 1);
            if (!vis[a] || !vis[b] || !vis[c])
                continue;
            const double area =
                (xs[b] - xs[a]) * (ys[c] - ys[a]) - (ys[b] - ys[a]) * (xs[c] - xs[a]);
            if (culling && !(area > 0))
                continue;
            const int cx = static_cast<int>(std::floor(xs[b])),
                      cy = static_cast<int>(std::floor(ys[b]));
            for (int dy = -r; dy <= r; ++dy)
                for (int dx = -r; dx <= r; ++dx) {
                    const int x = cx + dx, y = cy + dy;
                    if (x >= 0 && y >= 0 && x < viewW && y < viewH)
                        near[static_cast<size_t>(y) * viewW + x] = true;
                }
        }
    std::vector<bool> out(near.size());
    for (size_t k = 0; k < near.size(); ++k)
        out[k] = !near[k];
    return out;
}

}  // namespace projref
