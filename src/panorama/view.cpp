// View mathematics of a region. The conventions are those of the shaders (sphere.vert): the
// picture plane is z = -1 in front of a camera with a 65-degree vertical field of view, the
// unrolled panoramas are laid on that plane, and the sphere views look at a unit sphere from
// its centre (display 10) or from 1.4 units away (display 11 and the cylinders).

#include "panorama/view.h"

#include "dewarp/geometry.h"

#include <algorithm>
#include <atomic>
#include <cmath>

namespace SPHERA {

const char* const kUniformNames[U_COUNT] = {
    "g_m4Project",  "g_m4ModelView",  "g_nModelType",  "g_nDisplayType", "g_nMultiSensor",
    "g_nDrawBK",    "g_nFlip",        "g_fBrightness", "g_fSaturation",  "g_fContrast",
    "g_nAdaptMode", "g_nDoublePlane", "g_fPan",        "g_v2Center",     "g_fScaleWidth",
    "g_v2ViewSize", "g_fVideoAspect", "g_m3K",         "g_m3R",          "g_fD",
    "g_m3KDinv",    "g_sTex",         "g_sTex_u",      "g_sTex_v",       "g_sTex_bkg",
    "g_nDataFlag",  "g_sMap",         "g_v2MapOrigin", "g_m3YuvToRgb",   "g_v3YuvOffset",
};

namespace {

// tan(half of 65 degrees), the vertical half-extent of the view at unit distance.
const double kHalfFovTan = std::tan(0.567232);

void Identity(double m[16]) {
    for (int i = 0; i < 16; ++i)
        m[i] = (i % 5 == 0) ? 1.0 : 0.0;
}

// out = a * b, column-major.
void Multiply(const double a[16], const double b[16], double out[16]) {
    double r[16];
    for (int c = 0; c < 4; ++c)
        for (int row = 0; row < 4; ++row) {
            double s = 0.0;
            for (int k = 0; k < 4; ++k)
                s += a[k * 4 + row] * b[c * 4 + k];
            r[c * 4 + row] = s;
        }
    std::copy(r, r + 16, out);
}

void Translation(double m[16], double x, double y, double z) {
    Identity(m);
    m[12] = x;
    m[13] = y;
    m[14] = z;
}

void Scale(double m[16], double x, double y, double z) {
    Identity(m);
    m[0] = x;
    m[5] = y;
    m[10] = z;
}

bool IsSphereDisplay(int32_t d) {
    return d == SPH_DISPLAY_VR || d == SPH_DISPLAY_SPHERE || d == SPH_DISPLAY_CYLINDER ||
           d == SPH_DISPLAY_CYLINDER_INSIDE;
}

// Rotations of a point as the shaders do them (degrees).
void RotateY(double p[3], double degrees) {
    const double a = degrees * kPi / 180.0, c = std::cos(a), s = std::sin(a);
    const double x = p[0] * c + p[2] * s, z = -p[0] * s + p[2] * c;
    p[0] = x;
    p[2] = z;
}

void RotateZ(double p[3], double degrees) {
    const double a = degrees * kPi / 180.0, c = std::cos(a), s = std::sin(a);
    const double x = p[0] * c - p[1] * s, y = p[0] * s + p[1] * c;
    p[0] = x;
    p[1] = y;
}

double Length(const double p[3]) {
    return std::sqrt(p[0] * p[0] + p[1] * p[1] + p[2] * p[2]);
}

// A size factor is stored unchecked: a render-target side is kept within [0, 2^31 - 1]
// (NaN gives 0) instead of converting an out-of-range double.
uint32_t ToSize(double v) {
    if (!(v > 0.0))
        return 0;
    return static_cast<uint32_t>(std::min(v, 2147483647.0));
}

double SafeAcos(double v) {
    return std::acos(std::clamp(v, -1.0, 1.0));
}

}  // namespace

std::vector<int32_t> DisplayTypeList(int32_t modelType, uint32_t cameraCount) {
    std::vector<int32_t> list;
    switch (modelType) {
        case SPH_MODEL_FISHEYE:
        case SPH_MODEL_VR360:
        case SPH_MODEL_VR360_2:
            // The perspective view comes last, so that the first entry, which a region gets
            // when enabled without a display type, stays what it was.
            list = {SPH_DISPLAY_SPHERE, SPH_DISPLAY_PLANE180, SPH_DISPLAY_PLANE360,
                    SPH_DISPLAY_PLANE, SPH_DISPLAY_VR};
            break;
        case SPH_MODEL_VR720:
            list = {SPH_DISPLAY_VR, SPH_DISPLAY_SPHERE, SPH_DISPLAY_PLANE360, SPH_DISPLAY_PLANE};
            break;
        case SPH_MODEL_RING:
            list = {SPH_DISPLAY_CYLINDER, SPH_DISPLAY_CYLINDER_INSIDE, SPH_DISPLAY_PLANE360,
                    SPH_DISPLAY_PLANE360_FRONTBACK, SPH_DISPLAY_PLANE};
            break;
        default:
            list = {SPH_DISPLAY_PLANE};
            break;
    }
    if (cameraCount >= 2)
        list.push_back(SPH_DISPLAY_MULTI);
    return list;
}

bool IsDisplayTypeSupported(int32_t modelType, uint32_t cameraCount, int32_t displayType) {
    const auto list = DisplayTypeList(modelType, cameraCount);
    return std::find(list.begin(), list.end(), displayType) != list.end();
}

int32_t ScreenOffDisplayType(int32_t modelType, int32_t current) {
    switch (modelType) {
        case SPH_MODEL_VR720:
        case SPH_MODEL_RING:
            return SPH_DISPLAY_PLANE360_FIXED;
        case SPH_MODEL_FISHEYE:
        case SPH_MODEL_VR360:
        case SPH_MODEL_VR360_2:
            return SPH_DISPLAY_PLANE180;
        default:
            return current;
    }
}

void Frustum(float m[16], double l, double r, double b, double t, double n, double f) {
    for (int i = 0; i < 16; ++i)
        m[i] = (i % 5 == 0) ? 1.0f : 0.0f;
    if (l == r || b == t || n == f || n < 0.0 || f < 0.0)
        return;
    for (int i = 0; i < 16; ++i)
        m[i] = 0.0f;
    m[0] = static_cast<float>(2.0 * n / (r - l));
    m[5] = static_cast<float>(2.0 * n / (t - b));
    m[8] = static_cast<float>((r + l) / (r - l));
    m[9] = static_cast<float>((t + b) / (t - b));
    m[10] = static_cast<float>(-(f + n) / (f - n));
    m[11] = -1.0f;
    m[14] = static_cast<float>(-2.0 * f * n / (f - n));
}

void Ortho(float m[16], double l, double r, double b, double t, double n, double f) {
    for (int i = 0; i < 16; ++i)
        m[i] = (i % 5 == 0) ? 1.0f : 0.0f;
    if (l == r || b == t || n == f)
        return;
    m[0] = static_cast<float>(2.0 / (r - l));
    m[5] = static_cast<float>(2.0 / (t - b));
    m[10] = static_cast<float>(-2.0 / (f - n));
    m[12] = static_cast<float>(-(r + l) / (r - l));
    m[13] = static_cast<float>(-(t + b) / (t - b));
    m[14] = static_cast<float>(-(f + n) / (f - n));
    m[15] = 1.0f;
}

void ComputeViewValues(RegionView& view, const ViewSource& src, uint32_t regionIndex,
                       float sizeFactor) {
    const int32_t d = view.displayType;
    const bool offScreen = regionIndex == 9;
    const double f = offScreen ? static_cast<double>(sizeFactor) : 1.0;
    const bool multi = src.cameraCount >= 2;

    // Render-target size first: the off-screen region takes it as its rectangle, and every
    // value below depends on the rectangle.
    uint32_t w = 0, h = 0;
    double stitchedAspect = src.stitchedAspect;
    if (!(stitchedAspect > 0.0) || !std::isfinite(stitchedAspect))
        stitchedAspect = 0.0;
    if (!multi) {
        if (src.cameraCount > 0) {
            w = src.firstWidth;
            h = src.firstHeight;
        }
        if (offScreen) {
            w = ToSize(w * f);
            h = ToSize(h * f);
            // The unrolled panoramas have a shape of their own (the half panorama is square):
            // the capture takes that shape, widening the source's smaller side, so that the
            // picture fills it without bars.
            const bool ring = src.modelType == SPH_MODEL_RING;
            const double shape =
                d == SPH_DISPLAY_PLANE180 ? 1.0
                : (d == SPH_DISPLAY_PLANE360 || d == SPH_DISPLAY_PLANE360_FIXED) && !ring
                    ? (src.modelType == SPH_MODEL_VR720 ? 2.0 : 4.0)
                    : 0.0;
            if (shape > 0.0 && w > 0 && h > 0) {
                if (static_cast<double>(w) / h > shape)
                    h = ToSize(w / shape);
                else
                    w = ToSize(h * shape);
            }
            const uint32_t cap =
                src.maxTextureSize > 0 ? static_cast<uint32_t>(src.maxTextureSize) / 3 : 0;
            const uint32_t larger = std::max(w, h);
            if (src.maxTextureSize != 0 && larger > cap) {
                const double s = static_cast<double>(cap) / larger;
                w = static_cast<uint32_t>(w * s);
                h = static_cast<uint32_t>(h * s);
            }
        } else {
            // Before the first picture the region is drawn at its own size, so that it shows
            // the shaders' fixed colour rather than nothing.
            if ((w == 0 || h == 0) && view.width > 0 && view.height > 0) {
                w = static_cast<uint32_t>(view.width);
                h = static_cast<uint32_t>(view.height);
            }
            if (src.screenWidth != 0)
                w = std::min(w, src.screenWidth);
            if (src.screenHeight != 0)
                h = std::min(h, src.screenHeight);
        }
    }

    // Video aspect (needs the rectangle of region 9, which in the multi-sensor case needs the
    // stitched aspect, which does not depend on the rectangle).
    auto rectAspect = [&view]() {
        return view.height != 0 ? static_cast<double>(view.width) / view.height : 1.0;
    };
    auto videoAspect = [&]() -> double {
        if (d == SPH_DISPLAY_MULTI || d == SPH_DISPLAY_VR || d == SPH_DISPLAY_SPHERE)
            return rectAspect();
        if ((d == SPH_DISPLAY_PLANE360 || d == SPH_DISPLAY_PLANE360_FIXED) &&
            src.modelType != SPH_MODEL_RING)
            return src.modelType == SPH_MODEL_VR720 ? 2.0 : 4.0;
        if (d == SPH_DISPLAY_PLANE180)
            return 1.0;
        if (!multi) {
            double a = (src.cameraCount > 0 && src.firstHeight != 0)
                           ? static_cast<double>(src.firstWidth) / src.firstHeight
                           : rectAspect();
            if (d == SPH_DISPLAY_PLANE360_FRONTBACK)
                a /= 2.0;
            return a;
        }
        // A model-data block without a usable stitched aspect falls back to the rectangle.
        return stitchedAspect > 0.0 ? stitchedAspect : rectAspect();
    };

    if (multi) {
        // The target holds the stitched picture, whatever the display type makes of it: its
        // shape is the stitched one (the video aspect of the sphere views is the rectangle's,
        // of the half panorama 1).
        const double va = stitchedAspect > 0.0 ? stitchedAspect : videoAspect();
        if (src.stitchedWidth != 0) {
            w = ToSize(src.stitchedWidth * f);
            h = va > 0.0 ? ToSize(src.stitchedWidth * f / va) : 0;
        } else {
            double n = std::floor(f * f * static_cast<double>(src.totalPixels));
            if (src.maxTextureBufferSize > 0)
                n = std::min(n, static_cast<double>(src.maxTextureBufferSize));
            n = std::max(n, 0.0);
            w = static_cast<uint32_t>(std::sqrt(n));
            h = va > 0.0 ? ToSize(w / va) : 0;
        }
    }
    view.targetWidth = w;
    view.targetHeight = h;
    if (offScreen) {
        view.x = 0;
        view.y = 0;
        view.width = static_cast<int32_t>(std::min<uint32_t>(w, 0x7FFFFFFF));
        view.height = static_cast<int32_t>(std::min<uint32_t>(h, 0x7FFFFFFF));
    }
    view.rectAspect = static_cast<float>(rectAspect());

    const double a = videoAspect();
    view.videoAspect = static_cast<float>(a);
    switch (view.ratioType) {
        case 1:
            view.adaptMode = view.videoAspect >= view.rectAspect ? 1 : 2;
            break;
        case 2:
            view.adaptMode = 1;
            break;
        case 3:
            view.adaptMode = 2;
            break;
        default:
            view.adaptMode = 0;
            break;
    }
    view.panUniform = d == SPH_DISPLAY_PLANE360_FIXED ? 0.0f : view.pan;
    view.modelType = src.modelType;
    view.mount = src.mount;

    if (view.height != 0) {
        const double ra = static_cast<double>(view.width) / view.height;
        if (d == SPH_DISPLAY_CYLINDER) {
            Ortho(view.project, -ra * kHalfFovTan * 20.0, ra * kHalfFovTan * 20.0,
                  -kHalfFovTan * 20.0, kHalfFovTan * 20.0, -20.0, 20.0);
        } else {
            Frustum(view.project, -ra * kHalfFovTan * 0.1, ra * kHalfFovTan * 0.1,
                    -kHalfFovTan * 0.1, kHalfFovTan * 0.1, 0.1, 100.0);
        }
    }
}

bool LimitPtz(int32_t displayType, float& pan, float& tilt, float& zoom) {
    static_assert(kMinZoom == 0.001f && kMaxZoom == 16.0f, "the de-warp geometry's zoom range");
    return DEWARP::LimitPtz(displayType, pan, tilt, zoom);
}

bool ClampView(RegionView& view) {
    view.panShift = 0.0f;
    view.tiltShift = 0.0f;
    const int32_t d = view.displayType;
    const double a = view.videoAspect, ar = view.rectAspect;
    if (DEWARP::IsLensPerspective(view.modelType, d)) {
        const bool changed =
            DEWARP::LimitPerspective(view.mount, view.rectAspect, view.pan, view.tilt, view.zoom);
        view.panUniform = view.pan;
        return changed;
    }
    if (IsSphereDisplay(d) || a == 0.0 || ar == 0.0)
        return false;
    double px = 0.0, py = 0.0;
    const bool changed =
        DEWARP::LimitFlatView(d, view.adaptMode, a, ar, view.project[0], view.project[5],
                              view.blankPtz, view.pan, view.tilt, view.zoom, &px, &py);
    view.panShift = static_cast<float>(px);
    view.tiltShift = static_cast<float>(py);
    return changed;
}

void BuildModelView(RegionView& view, int32_t modelType) {
    const int32_t d = view.displayType;
    double s[16], mv[16];
    Scale(s, view.zoom, view.zoom, 1.0);
    if (IsSphereDisplay(d)) {
        // The turn by pan and tilt (and, for the perspective view of a lens, by its mount) is
        // the de-warp geometry's, so both renderers turn the same way; seen from the centre
        // (display 10) or from 1.4 units away.
        double r[9], turn[16], t[16];
        DEWARP::ViewRotation(modelType, d, view.mount, view.pan, view.tilt, r);
        Identity(turn);
        for (int row = 0; row < 3; ++row)
            for (int col = 0; col < 3; ++col)
                turn[col * 4 + row] = r[row * 3 + col];
        if (d == SPH_DISPLAY_VR)
            Identity(t);
        else
            Translation(t, 0.0, 0.0, -1.4);
        Multiply(t, s, mv);
        Multiply(mv, turn, mv);
    } else {
        double t[16];
        Translation(t, d == SPH_DISPLAY_PLANE360 ? 0.0 : view.panShift, view.tiltShift, 0.0);
        Multiply(s, t, mv);
    }
    for (int i = 0; i < 16; ++i)
        view.modelView[i] = static_cast<float>(mv[i]);
}

ImageRect ComputeImageRect(const RegionView& view) {
    ImageRect r;
    const int32_t d = view.displayType;
    const int32_t rw = view.width, rh = view.height;
    if (d != SPH_DISPLAY_PLANE && d != SPH_DISPLAY_PLANE180 && d != SPH_DISPLAY_PLANE360 &&
        d != SPH_DISPLAY_PLANE360_FIXED) {
        r.width = rw;
        r.height = rh;
        return r;
    }
    const double z = view.zoom, a = view.videoAspect;
    // The 360-degree panorama is drawn fitting the width in every non-zero mode.
    int32_t mode = view.adaptMode;
    if (d == SPH_DISPLAY_PLANE360 && mode != 0)
        mode = 1;
    double w, h;
    if (mode == 1) {
        w = rw * z;
        h = a > 0.0 ? rw * z / a : rh * z;
    } else if (mode == 2) {
        h = rh * z;
        w = rh * z * a;
    } else {
        w = rw * z;
        h = rh * z;
    }
    auto toInt = [](double v) { return static_cast<int32_t>(std::clamp(v, -2.0e9, 2.0e9)); };
    r.width = toInt(w);
    r.height = toInt(h);
    if (rw > r.width) {
        r.x = (rw - r.width) / 2;
    } else {
        r.x = 0;
        r.width = rw;
    }
    if (rh > r.height) {
        r.y = (rh - r.height) / 2;
    } else {
        r.y = 0;
        r.height = rh;
    }
    return r;
}

void UnrollScale(const RegionView& view, double& sx, double& sy) {
    int32_t m = view.adaptMode;
    if (view.displayType == SPH_DISPLAY_PLANE360)
        m = view.adaptMode != 0 ? 1 : 0;
    const double p00 = view.project[0], p11 = view.project[5], a = view.videoAspect;
    if (m == 1) {
        sx = 1.0 / p00;
        sy = sx / a;
    } else if (m == 2) {
        sy = 1.0 / p11;
        sx = sy * a;
    } else {
        sx = 1.0 / p00;
        sy = 1.0 / p11;
    }
}

void ToObject(const RegionView& view, int32_t modelType, double x, double y, double o[3]) {
    const int32_t d = view.displayType;
    const double X = kPi * x, Y = kPi * y;
    const double pan = view.panUniform;
    double sx, sy;
    UnrollScale(view, sx, sy);
    o[0] = x;
    o[1] = y;
    // The flat picture lies on z = -1, where UnProject finds it; anything else starts 10 away.
    o[2] = d == SPH_DISPLAY_PLANE ? -1.0 : -10.0;
    if (d == SPH_DISPLAY_PLANE360 || d == SPH_DISPLAY_PLANE360_FIXED) {
        if (modelType == SPH_MODEL_VR720 || modelType == SPH_MODEL_RING) {
            double p[3];
            if (modelType == SPH_MODEL_VR720) {
                p[0] = std::cos(X) * std::sin(Y);
                p[1] = std::sin(X) * std::sin(Y);
                p[2] = -std::cos(Y);
            } else {
                p[0] = std::sin(X) * std::cos(Y);
                p[1] = std::sin(Y);
                p[2] = std::cos(X) * std::cos(Y);
            }
            RotateY(p, (1.0 - pan) * 180.0);
            o[0] = -std::atan2(p[0], p[2]) / kPi * sx;
            o[1] = (0.5 - SafeAcos(p[1] / Length(p)) / kPi) * 2.0 * sy;
            o[2] = -1.0;
        } else if (modelType == SPH_MODEL_FISHEYE || modelType == SPH_MODEL_VR360 ||
                   modelType == SPH_MODEL_VR360_2) {
            double p[3] = {std::cos(X) * std::sin(Y), std::sin(X) * std::sin(Y), -std::cos(Y)};
            RotateZ(p, -pan * 180.0);
            o[0] = std::atan2(p[0], p[1]) / kPi * sx;
            o[1] = (0.75 - SafeAcos(p[2] / Length(p)) / kPi) * 4.0 * sy;
            o[2] = -1.0;
        }
    } else if (d == SPH_DISPLAY_PLANE180) {
        double p[3] = {std::cos(X) * std::sin(Y), std::sin(X) * std::sin(Y), -std::cos(Y)};
        RotateY(p, 180.0);
        o[0] = -2.0 * std::atan2(p[0], p[2]) / kPi * sx;
        o[1] = (0.5 - SafeAcos(p[1] / Length(p)) / kPi) * 2.0 * sy;
        o[2] = -1.0;
    } else if (d == SPH_DISPLAY_SPHERE || d == SPH_DISPLAY_VR) {
        o[0] = std::cos(X) * std::sin(Y);
        o[1] = std::sin(X) * std::sin(Y);
        o[2] = -std::cos(Y);
    } else if (d == SPH_DISPLAY_CYLINDER) {
        o[0] = 10.0 * std::cos(X);
        o[1] = 10.0 * std::sin(X);
        o[2] = 10.0 * y;
    } else if (d == SPH_DISPLAY_CYLINDER_INSIDE) {
        o[0] = std::cos(X);
        o[1] = std::sin(X);
        o[2] = y;
    } else if (d == SPH_DISPLAY_PLANE360_FRONTBACK) {
        const double p11 = view.project[5], a = view.videoAspect;
        const bool back = -x < 0.0;
        const double ang = back ? -x - 1.0 : -x;
        const double pol = kPi * (y + 0.5);
        double p[3] = {std::cos(kPi * ang) * std::sin(pol), std::sin(kPi * ang) * std::sin(pol),
                       std::cos(pol)};
        o[0] = (std::atan2(p[1], p[0]) / kPi - 0.5) * a / p11;
        o[1] = SafeAcos(p[2] / Length(p)) / kPi / p11 - (back ? 1.0 / p11 : 0.0);
        o[2] = -1.0;
    }
}

void ToSource(const RegionView& view, int32_t modelType, const double o[3], double& x, double& y) {
    const int32_t d = view.displayType;
    const double pan = view.panUniform;
    double sx, sy;
    UnrollScale(view, sx, sy);
    x = o[0];
    y = o[1];
    if (d == SPH_DISPLAY_PLANE360 || d == SPH_DISPLAY_PLANE360_FIXED) {
        if (modelType == SPH_MODEL_FISHEYE || modelType == SPH_MODEL_VR360 ||
            modelType == SPH_MODEL_VR360_2) {
            const double X = kPi * o[0] / sx, Y = kPi * (0.75 - o[1] / (4.0 * sy));
            double p[3] = {std::sin(X) * std::sin(Y), std::cos(X) * std::sin(Y), std::cos(Y)};
            RotateZ(p, pan * 180.0);
            x = std::atan2(p[1], p[0]) / kPi;
            y = SafeAcos(-p[2] / Length(p)) / kPi;
        } else if (modelType == SPH_MODEL_VR720 || modelType == SPH_MODEL_RING) {
            const double X = -kPi * o[0] / sx, Y = kPi * (0.5 - o[1] / (2.0 * sy));
            double p[3] = {std::sin(X) * std::sin(Y), std::cos(Y), std::cos(X) * std::sin(Y)};
            RotateY(p, (pan - 1.0) * 180.0);
            if (modelType == SPH_MODEL_VR720) {
                x = std::atan2(p[1], p[0]) / kPi;
                y = SafeAcos(-p[2] / Length(p)) / kPi;
            } else {
                x = std::atan2(p[0], p[2]) / kPi;
                y = 0.5 - SafeAcos(p[1] / Length(p)) / kPi;
            }
        }
    } else if (d == SPH_DISPLAY_PLANE180) {
        const double X = -kPi * o[0] / (2.0 * sx), Y = kPi * (0.5 - o[1] / (2.0 * sy));
        double p[3] = {std::sin(X) * std::sin(Y), std::cos(Y), std::cos(X) * std::sin(Y)};
        RotateY(p, -180.0);
        x = std::atan2(p[1], p[0]) / kPi;
        y = SafeAcos(-p[2] / Length(p)) / kPi;
    } else if (d == SPH_DISPLAY_SPHERE || d == SPH_DISPLAY_VR) {
        x = std::atan2(o[1], o[0]) / kPi;
        y = SafeAcos(-o[2] / Length(o)) / kPi;
    } else if (d == SPH_DISPLAY_CYLINDER) {
        x = std::atan2(o[1], o[0]) / kPi;
        y = o[2] / 10.0;
    } else if (d == SPH_DISPLAY_CYLINDER_INSIDE) {
        x = std::atan2(o[1], o[0]) / kPi;
        y = o[2];
    } else if (d == SPH_DISPLAY_PLANE360_FRONTBACK) {
        const double p11 = view.project[5], a = view.videoAspect;
        const bool back = o[1] < 0.0;
        const double yy = (back ? o[1] + 1.0 / p11 : o[1]) * p11;
        const double X = kPi * (o[0] * p11 / a + 0.5), Y = kPi * yy;
        double p[3] = {std::cos(X) * std::sin(Y), std::sin(X) * std::sin(Y), std::cos(Y)};
        x = -std::atan2(p[1], p[0]) / kPi + (back ? 1.0 : 0.0);
        y = SafeAcos(p[2] / Length(p)) / kPi - 0.5;
    }
}

bool GluProject(const double obj[3], const double mv[16], const double proj[16],
                const int32_t vp[4], double win[3]) {
    double in[4] = {obj[0], obj[1], obj[2], 1.0}, eye[4], clip[4];
    for (int r = 0; r < 4; ++r)
        eye[r] = mv[r] * in[0] + mv[4 + r] * in[1] + mv[8 + r] * in[2] + mv[12 + r] * in[3];
    for (int r = 0; r < 4; ++r)
        clip[r] =
            proj[r] * eye[0] + proj[4 + r] * eye[1] + proj[8 + r] * eye[2] + proj[12 + r] * eye[3];
    if (clip[3] == 0.0)
        return false;
    const double nx = clip[0] / clip[3], ny = clip[1] / clip[3], nz = clip[2] / clip[3];
    win[0] = vp[0] + (nx * 0.5 + 0.5) * vp[2];
    win[1] = vp[1] + (ny * 0.5 + 0.5) * vp[3];
    win[2] = nz * 0.5 + 0.5;
    return true;
}

bool HasSourceCoordinates(int32_t displayType) {
    return displayType != SPH_DISPLAY_MULTI;
}

void ApplyFlip(uint32_t flip, double& x, double& y) {
    if (flip == SPH_FLIP_HORIZONTAL || flip == SPH_FLIP_BOTH)
        x = 1.0 - x;
    if (flip == SPH_FLIP_VERTICAL || flip == SPH_FLIP_BOTH)
        y = 1.0 - y;
}

bool ShownPointPixel(const RegionView& view, const int32_t vp[4], double x, double y, int32_t& px,
                     int32_t& py) {
    if (!(x >= 0.0 && x <= 1.0 && y >= 0.0 && y <= 1.0) || vp[2] <= 0 || vp[3] <= 0)
        return false;
    ApplyFlip(view.flip, x, y);
    const double vw = vp[2], vh = vp[3];
    px = static_cast<int32_t>(std::clamp(std::floor(x * vw), 0.0, vw - 1.0));
    py = static_cast<int32_t>(std::clamp(std::floor(vh - vh * y), 0.0, vh - 1.0));
    return true;
}

bool UnProjectPoint(const RegionView& view, int32_t modelType, const int32_t vp[4], double x,
                    double y, double depth, double& sx, double& sy) {
    int32_t px = 0, py = 0;
    if (!HasSourceCoordinates(view.displayType) || !ShownPointPixel(view, vp, x, y, px, py))
        return false;
    // Bars, the cylinder's hole, the space around the sphere: the camera pass left the
    // cleared far plane there, and no source point lies under them.
    if (!(depth >= 0.0 && depth < 1.0))
        return false;
    ApplyFlip(view.flip, x, y);
    double mv[16], proj[16];
    for (int i = 0; i < 16; ++i) {
        mv[i] = view.modelView[i];
        proj[i] = view.project[i];
    }
    const double win[3] = {vp[0] + x * vp[2], vp[1] + vp[3] - vp[3] * y, depth};
    double obj[3];
    if (!GluUnProject(win, mv, proj, vp, obj))
        return false;
    ToSource(view, modelType, obj, sx, sy);
    return std::isfinite(sx) && std::isfinite(sy);
}

bool ProjectPoint(const RegionView& view, int32_t modelType, const int32_t vp[4], double x,
                  double y, double& outX, double& outY) {
    if (!HasSourceCoordinates(view.displayType) || vp[2] <= 0 || vp[3] <= 0 || !std::isfinite(x) ||
        !std::isfinite(y))
        return false;
    double mv[16], proj[16];
    for (int i = 0; i < 16; ++i) {
        mv[i] = view.modelView[i];
        proj[i] = view.project[i];
    }
    double obj[3], win[3];
    ToObject(view, modelType, x, y, obj);
    // Behind the viewer (inside the sphere, or the far side of the panorama's turn) a point
    // would land mirrored on the screen.
    double eye[4];
    const double in[4] = {obj[0], obj[1], obj[2], 1.0};
    for (int r = 0; r < 4; ++r)
        eye[r] = mv[r] * in[0] + mv[4 + r] * in[1] + mv[8 + r] * in[2] + mv[12 + r] * in[3];
    double w = 0.0;
    for (int k = 0; k < 4; ++k)
        w += proj[k * 4 + 3] * eye[k];
    if (!(w > 0.0) || !GluProject(obj, mv, proj, vp, win))
        return false;
    outX = (win[0] - vp[0]) / vp[2];
    outY = (vp[3] - (win[1] - vp[1])) / vp[3];
    ApplyFlip(view.flip, outX, outY);
    return std::isfinite(outX) && std::isfinite(outY);
}

namespace {
bool Invert(const double m[16], double inv[16]) {
    double r[16];
    r[0] = m[5] * m[10] * m[15] - m[5] * m[11] * m[14] - m[9] * m[6] * m[15] + m[9] * m[7] * m[14] +
           m[13] * m[6] * m[11] - m[13] * m[7] * m[10];
    r[4] = -m[4] * m[10] * m[15] + m[4] * m[11] * m[14] + m[8] * m[6] * m[15] -
           m[8] * m[7] * m[14] - m[12] * m[6] * m[11] + m[12] * m[7] * m[10];
    r[8] = m[4] * m[9] * m[15] - m[4] * m[11] * m[13] - m[8] * m[5] * m[15] + m[8] * m[7] * m[13] +
           m[12] * m[5] * m[11] - m[12] * m[7] * m[9];
    r[12] = -m[4] * m[9] * m[14] + m[4] * m[10] * m[13] + m[8] * m[5] * m[14] -
            m[8] * m[6] * m[13] - m[12] * m[5] * m[10] + m[12] * m[6] * m[9];
    r[1] = -m[1] * m[10] * m[15] + m[1] * m[11] * m[14] + m[9] * m[2] * m[15] -
           m[9] * m[3] * m[14] - m[13] * m[2] * m[11] + m[13] * m[3] * m[10];
    r[5] = m[0] * m[10] * m[15] - m[0] * m[11] * m[14] - m[8] * m[2] * m[15] + m[8] * m[3] * m[14] +
           m[12] * m[2] * m[11] - m[12] * m[3] * m[10];
    r[9] = -m[0] * m[9] * m[15] + m[0] * m[11] * m[13] + m[8] * m[1] * m[15] - m[8] * m[3] * m[13] -
           m[12] * m[1] * m[11] + m[12] * m[3] * m[9];
    r[13] = m[0] * m[9] * m[14] - m[0] * m[10] * m[13] - m[8] * m[1] * m[14] + m[8] * m[2] * m[13] +
            m[12] * m[1] * m[10] - m[12] * m[2] * m[9];
    r[2] = m[1] * m[6] * m[15] - m[1] * m[7] * m[14] - m[5] * m[2] * m[15] + m[5] * m[3] * m[14] +
           m[13] * m[2] * m[7] - m[13] * m[3] * m[6];
    r[6] = -m[0] * m[6] * m[15] + m[0] * m[7] * m[14] + m[4] * m[2] * m[15] - m[4] * m[3] * m[14] -
           m[12] * m[2] * m[7] + m[12] * m[3] * m[6];
    r[10] = m[0] * m[5] * m[15] - m[0] * m[7] * m[13] - m[4] * m[1] * m[15] + m[4] * m[3] * m[13] +
            m[12] * m[1] * m[7] - m[12] * m[3] * m[5];
    r[14] = -m[0] * m[5] * m[14] + m[0] * m[6] * m[13] + m[4] * m[1] * m[14] - m[4] * m[2] * m[13] -
            m[12] * m[1] * m[6] + m[12] * m[2] * m[5];
    r[3] = -m[1] * m[6] * m[11] + m[1] * m[7] * m[10] + m[5] * m[2] * m[11] - m[5] * m[3] * m[10] -
           m[9] * m[2] * m[7] + m[9] * m[3] * m[6];
    r[7] = m[0] * m[6] * m[11] - m[0] * m[7] * m[10] - m[4] * m[2] * m[11] + m[4] * m[3] * m[10] +
           m[8] * m[2] * m[7] - m[8] * m[3] * m[6];
    r[11] = -m[0] * m[5] * m[11] + m[0] * m[7] * m[9] + m[4] * m[1] * m[11] - m[4] * m[3] * m[9] -
            m[8] * m[1] * m[7] + m[8] * m[3] * m[5];
    r[15] = m[0] * m[5] * m[10] - m[0] * m[6] * m[9] - m[4] * m[1] * m[10] + m[4] * m[2] * m[9] +
            m[8] * m[1] * m[6] - m[8] * m[2] * m[5];
    const double det = m[0] * r[0] + m[1] * r[4] + m[2] * r[8] + m[3] * r[12];
    if (det == 0.0 || !std::isfinite(det))
        return false;
    for (int i = 0; i < 16; ++i)
        inv[i] = r[i] / det;
    return true;
}
}  // namespace

bool GluUnProject(const double win[3], const double mv[16], const double proj[16],
                  const int32_t vp[4], double obj[3]) {
    double pm[16], inv[16];
    Multiply(proj, mv, pm);
    if (!Invert(pm, inv) || vp[2] == 0 || vp[3] == 0)
        return false;
    const double in[4] = {(win[0] - vp[0]) / vp[2] * 2.0 - 1.0,
                          (win[1] - vp[1]) / vp[3] * 2.0 - 1.0, win[2] * 2.0 - 1.0, 1.0};
    double out[4];
    for (int r = 0; r < 4; ++r)
        out[r] = inv[r] * in[0] + inv[4 + r] * in[1] + inv[8 + r] * in[2] + inv[12 + r] * in[3];
    if (out[3] == 0.0)
        return false;
    obj[0] = out[0] / out[3];
    obj[1] = out[1] / out[3];
    obj[2] = out[2] / out[3];
    return true;
}

GridSize FullGridDensity(int32_t modelType, int32_t displayType) {
    GridSize g;
    const bool wide =
        (displayType == SPH_DISPLAY_PLANE360 || displayType == SPH_DISPLAY_PLANE360_FIXED) &&
        (modelType == SPH_MODEL_FISHEYE || modelType == SPH_MODEL_VR360 ||
         modelType == SPH_MODEL_VR360_2);
    g.columns = wide ? 3000 : 1000;
    g.rows = 2000;
    return g;
}

namespace {
std::atomic<bool> g_forceFullGrid{false};

// The largest of `steps` that divides `full` and keeps `spacing * step` within `limit`.
int32_t CoarsestStep(int32_t full, double spacing, double limit) {
    static const int32_t kSteps[] = {1, 2, 3, 4, 5, 6, 8, 10, 12, 15, 20, 25, 40, 50};
    int32_t best = 1;
    for (int32_t s : kSteps)
        if (full % s == 0 && full / s >= 20 && (spacing * s <= limit || !std::isfinite(spacing)))
            best = s;
    return best;
}
}  // namespace

void ForceFullGridDensity(bool full) {
    g_forceFullGrid.store(full);
}

namespace {
std::atomic<bool> g_pictureSizedTargets{false};
}  // namespace

void ForcePictureSizedTargets(bool force) {
    g_pictureSizedTargets.store(force);
}

void FitTargetToRect(RegionView& view, uint32_t regionIndex) {
    if (regionIndex == 9 || g_pictureSizedTargets.load() || view.width <= 0 || view.height <= 0)
        return;
    view.targetWidth = std::min(view.targetWidth, static_cast<uint32_t>(view.width));
    view.targetHeight = std::min(view.targetHeight, static_cast<uint32_t>(view.height));
}

GridSize GridDensity(int32_t modelType, const RegionView& view) {
    const int32_t d = view.displayType;
    const GridSize full = FullGridDensity(modelType, d);
    if (g_forceFullGrid.load())
        return full;

    // F: pixels of the render target per unit of length at unit distance in front of the
    // camera (the larger of the two axes, since the target is stretched onto the rectangle).
    const double a = view.rectAspect > 0.0f ? view.rectAspect : 1.0;
    const double zoom =
        std::isfinite(view.zoom) ? std::max(1.0, static_cast<double>(view.zoom)) : 1.0;
    const double f = std::max(view.targetWidth / (2.0 * a * kHalfFovTan),
                              view.targetHeight / (2.0 * kHalfFovTan)) *
                     zoom;
    const bool hemisphere = modelType == SPH_MODEL_FISHEYE || modelType == SPH_MODEL_VR360 ||
                            modelType == SPH_MODEL_VR360_2;
    const double columnAngle = (hemisphere ? kPi : 2.0 * kPi) / full.columns;
    const double rowAngle = kPi / full.rows;

    // Spacing of neighbouring vertices of the full mesh, in target pixels, per axis.
    double colPx = 0.0, rowPx = 0.0;
    double colLimit = kGridSpacingPx, rowLimit = kGridSpacingPx;
    double sx = 1.0, sy = 1.0;
    UnrollScale(view, sx, sy);
    const double p11 = view.project[5];
    switch (d) {
        case SPH_DISPLAY_VR:
            // Seen from the centre: a radian is about F pixels in the middle, up to half as much
            // again towards the corners of a wide view.
            colPx = 1.5 * f * columnAngle;
            rowPx = 1.5 * f * rowAngle;
            break;
        case SPH_DISPLAY_SPHERE:
        case SPH_DISPLAY_MULTI:
            // The near side of the unit sphere is 0.4 units from the camera.
            colPx = 2.5 * f * columnAngle;
            rowPx = 2.5 * f * rowAngle;
            break;
        case SPH_DISPLAY_CYLINDER:  // orthographic, radius 10 over a 20-times wider volume
            colPx = f / 20.0 * 10.0 * 2.0 * kPi / full.columns;
            rowPx = f / 20.0 * 10.0 / full.rows;
            break;
        case SPH_DISPLAY_CYLINDER_INSIDE:
            colPx = 2.5 * f * 2.0 * kPi / full.columns;
            rowPx = 2.5 * f / full.rows;
            break;
        case SPH_DISPLAY_PLANE180:
            colPx = f * 2.0 * sx / full.columns;
            rowPx = f * 2.0 * sy / full.rows;
            break;
        case SPH_DISPLAY_PLANE360:
        case SPH_DISPLAY_PLANE360_FIXED:
            if (hemisphere) {
                // Drawn on a grid laid out in the panorama (see the vertex shader): the mesh
                // spans 2 sx by 2 sy units of the picture plane, positions are linear in it and the
                // texture coordinates bend gently (a fisheye's by at most pi^2/2 texture units per
                // unit squared), so cells four times wider still stay well within a texel.
                colPx = f * 2.0 * sx / full.columns;
                rowPx = f * 2.0 * sy / full.rows;
                colLimit = 4.0 * kGridSpacingPx;
                rowLimit = kGridSpacingPx;
            } else {
                colPx = f * 2.0 * sx / full.columns;
                rowPx = f * 2.0 * sy / full.rows;
                // The grid cell across the panorama's cut is culled: keep that gap narrow.
                colLimit = 2.0;
            }
            break;
        case SPH_DISPLAY_PLANE360_FRONTBACK:
            colPx = p11 > 0.0 ? f * view.videoAspect / p11 / full.columns : 0.0;
            rowPx = p11 > 0.0 ? f / p11 / full.rows : 0.0;
            break;
        default:
            // The flat picture is linear in the grid: any density draws it exactly.
            colPx = rowPx = 0.0;
            break;
    }
    GridSize g;
    g.columns = full.columns / CoarsestStep(full.columns, colPx, colLimit);
    g.rows = full.rows / CoarsestStep(full.rows, rowPx, rowLimit);
    return g;
}

}  // namespace SPHERA
