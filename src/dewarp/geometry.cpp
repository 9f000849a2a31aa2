#include "dewarp/geometry.h"

#include <algorithm>
#include <cmath>

namespace DEWARP {

namespace {

constexpr double kPi = 3.1415926535897932384626433832795;
// tan(half of 65 degrees): the vertical half-extent of the view at unit distance.
const double kHalfFovTan = std::tan(0.567232);

bool IsSphereDisplay(int32_t d) {
    return d == DISPLAY_VR || d == DISPLAY_SPHERE || d == DISPLAY_CYLINDER ||
           d == DISPLAY_CYLINDER_INSIDE;
}

bool IsHemisphere(int32_t model) {
    return model == MODEL_FISHEYE || model == MODEL_VR360 || model == MODEL_VR360_2;
}

bool IsKnownModel(int32_t model) {
    return model >= MODEL_FISHEYE && model <= MODEL_VR360_2;
}

// Wraps into [-1, 1] as repeated steps of 100000 and then of 2 would, without looping.
double WrapUnit(double v) {
    if (v > 100001.0)
        v -= std::ceil((v - 100001.0) / 100000.0) * 100000.0;
    if (v < -100001.0)
        v += std::ceil((-100001.0 - v) / 100000.0) * 100000.0;
    if (v > 1.0)
        v -= std::ceil((v - 1.0) / 2.0) * 2.0;
    if (v < -1.0)
        v += std::ceil((-1.0 - v) / 2.0) * 2.0;
    return std::clamp(v, -1.0, 1.0);
}

double SafeAcos(double v) {
    return std::acos(std::clamp(v, -1.0, 1.0));
}

double Atan2(double y, double x) {
    return (x == 0.0 && y == 0.0) ? 0.0 : std::atan2(y, x);
}

// Turns (a, b) by the angle of cosine c and sine s: a' = a c - b s, b' = a s + b c.
void Turn(double& a, double& b, double c, double s) {
    const double na = a * c - b * s, nb = a * s + b * c;
    a = na;
    b = nb;
}

// The adapt mode the unrolled 360-degree panorama is laid out with: never fit-height.
int32_t UnrollMode(const ViewGeometry& v) {
    if (v.display == DISPLAY_PLANE360)
        return v.adaptMode != 0 ? 1 : 0;
    return v.adaptMode;
}

// Undoes the fit of the layout square [-1, 1]^2 onto the picture plane.
void Unfit(const ViewGeometry& v, int32_t mode, double ox, double oy, double& u, double& w) {
    if (mode == 1) {
        u = ox * v.p00;
        w = oy * v.p00 * v.videoAspect;
    } else if (mode == 2) {
        u = ox * v.p11 / v.videoAspect;
        w = oy * v.p11;
    } else {
        u = ox * v.p00;
        w = oy * v.p11;
    }
}

// Texture coordinate of a point of the unit sphere in the mesh's frame (step 3).
void SphereTexture(const ViewGeometry& v, const double p[3], double* s, double* t) {
    const double len = std::sqrt(p[0] * p[0] + p[1] * p[1] + p[2] * p[2]);
    const double inv = len > 0.0 ? 1.0 / len : 0.0;
    const double x = p[0] * inv, y = p[1] * inv, z = p[2] * inv;
    switch (v.model) {
        case MODEL_VR720:
        case MODEL_RING: {
            double u = Atan2(x, z) / (2.0 * kPi);
            if (u < 0.0)
                u += 1.0;
            *s = 1.0 - u;
            *t = SafeAcos(y) / kPi;
            return;
        }
        case MODEL_FISHEYE: {
            // (a, b) = r (cos az, sin az) with az = atan2(y, -x), without the angle.
            const double rho = std::sqrt(x * x + y * y);
            const double r = 0.5 - Atan2(-z, rho) / kPi;
            const double a = rho > 0.0 ? r * -x / rho : r, b = rho > 0.0 ? r * y / rho : 0.0;
            const double* k = v.K;
            *s = 1.0 - (k[0] * a + k[1] * b + k[2]);
            *t = 1.0 - (k[3] * a + k[4] * b + k[5]);
            return;
        }
        case MODEL_VR360_2:
            *s = (Atan2(x, y) / kPi + 1.0) / 2.0;
            *t = 2.0 * SafeAcos(z) / kPi - 1.0;
            return;
        default:  // MODEL_VR360
            *s = 1.0 - (kPi - std::fabs(Atan2(z, -x))) / kPi;
            *t = SafeAcos(y) / kPi;
            return;
    }
}

// Longitude/latitude layout about +y: lam and lat in radians.
void FromLonLat(double lam, double lat, double p[3]) {
    p[0] = std::cos(lat) * std::sin(lam);
    p[1] = std::sin(lat);
    p[2] = std::cos(lat) * std::cos(lam);
}

bool FlatLayout(const ViewGeometry& v, double ox, double oy, double* s, double* t) {
    double u = 0.0, w = 0.0;
    switch (v.display) {
        case DISPLAY_PLANE180: {
            Unfit(v, v.adaptMode, -ox, oy, u, w);
            if (!(std::fabs(u) <= 1.0 && std::fabs(w) <= 1.0))
                return false;
            double p[3];
            FromLonLat(kPi * u / 2.0, kPi * w / 2.0, p);
            p[0] = -p[0];  // turned by 180 degrees about y
            p[2] = -p[2];
            SphereTexture(v, p, s, t);
            return true;
        }
        case DISPLAY_PLANE360:
        case DISPLAY_PLANE360_FIXED: {
            if (IsHemisphere(v.model)) {
                Unfit(v, UnrollMode(v), ox, oy, u, w);
                if (!(std::fabs(u) <= 1.0 && std::fabs(w) <= 1.0))
                    return false;
                const double alpha = (w + 1.0) * kPi / 4.0, sa = std::sin(alpha);
                double p[3] = {sa * std::sin(kPi * u), sa * std::cos(kPi * u), -std::cos(alpha)};
                Turn(p[0], p[1], v.turnCos, v.turnSin);
                SphereTexture(v, p, s, t);
                return true;
            }
            Unfit(v, UnrollMode(v), -ox, oy, u, w);
            if (!(std::fabs(u) <= 1.0 && std::fabs(w) <= 1.0))
                return false;
            double p[3];
            FromLonLat(kPi * u, kPi * w / 2.0, p);
            // Back about y by (pan - 1) half turns.
            Turn(p[2], p[0], v.turnCos, v.turnSin);
            SphereTexture(v, p, s, t);
            return true;
        }
        case DISPLAY_PLANE360_FRONTBACK: {
            const double uu = ox * v.p11 / v.videoAspect + 0.5;
            if (!(uu >= 0.0 && uu <= 1.0))
                return false;
            double vv = oy * v.p11;
            double half = 0.0;
            if (!(vv >= 0.0 && vv <= 1.0)) {
                vv += 1.0;
                half = 0.5;
                if (!(vv >= 0.0 && vv <= 1.0))
                    return false;
            }
            *s = uu / 2.0 + half;
            *t = 1.0 - vv;
            return true;
        }
        default: {  // the flat picture
            Unfit(v, v.adaptMode, ox, oy, u, w);
            if (!(std::fabs(u) <= 1.0 && std::fabs(w) <= 1.0))
                return false;
            *s = (u + 1.0) / 2.0;
            *t = (1.0 - w) / 2.0;
            return true;
        }
    }
}

// Carries an eye-space vector back through the turn of the model-view (its transpose).
void ToObjectFrame(const ViewGeometry& v, double p[3]) {
    const double* r = v.rotation;
    const double x = r[0] * p[0] + r[3] * p[1] + r[6] * p[2];
    const double y = r[1] * p[0] + r[4] * p[1] + r[7] * p[2];
    const double z = r[2] * p[0] + r[5] * p[1] + r[8] * p[2];
    p[0] = x;
    p[1] = y;
    p[2] = z;
}

// out = a b, row-major 3 x 3.
void Multiply3(const double a[9], const double b[9], double out[9]) {
    double r[9];
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            r[i * 3 + j] = a[i * 3] * b[j] + a[i * 3 + 1] * b[3 + j] + a[i * 3 + 2] * b[6 + j];
    std::copy(r, r + 9, out);
}

// Turns about x, y and z by `a` radians (right-handed, as glRotate), row-major.
void TurnX(double a, double m[9]) {
    const double c = std::cos(a), s = std::sin(a);
    const double r[9] = {1, 0, 0, 0, c, -s, 0, s, c};
    std::copy(r, r + 9, m);
}
void TurnY(double a, double m[9]) {
    const double c = std::cos(a), s = std::sin(a);
    const double r[9] = {c, 0, s, 0, 1, 0, -s, 0, c};
    std::copy(r, r + 9, m);
}
void TurnZ(double a, double m[9]) {
    const double c = std::cos(a), s = std::sin(a);
    const double r[9] = {c, -s, 0, s, c, 0, 0, 0, 1};
    std::copy(r, r + 9, m);
}

bool SphereView(const ViewGeometry& v, double nx, double ny, double* s, double* t,
                double* obj = nullptr) {
    const int32_t d = v.display;
    double o[3], dir[3];
    // Eye space first: the ray's origin and direction, with t along it equal to the depth.
    if (d == DISPLAY_CYLINDER) {
        o[0] = nx / v.p00;
        o[1] = ny / v.p11;
        o[2] = 20.0;  // the near plane of the orthographic volume
        dir[0] = 0.0;
        dir[1] = 0.0;
        dir[2] = -1.0;
    } else {
        o[0] = o[1] = o[2] = 0.0;
        dir[0] = nx / v.p00;
        dir[1] = ny / v.p11;
        dir[2] = -1.0;
    }
    if (d != DISPLAY_VR)
        o[2] += 1.4;
    const double zoom = v.zoom;
    o[0] /= zoom;
    o[1] /= zoom;
    dir[0] /= zoom;
    dir[1] /= zoom;
    ToObjectFrame(v, o);
    ToObjectFrame(v, dir);
    // Depth range the projection keeps: 0.1 to 100 in front of the eye, or the 40 units of the
    // orthographic volume.
    const double tMin = d == DISPLAY_CYLINDER ? 0.0 : 0.1;
    const double tMax = d == DISPLAY_CYLINDER ? 40.0 : 100.0;

    if (d == DISPLAY_VR || d == DISPLAY_SPHERE) {
        const double a = dir[0] * dir[0] + dir[1] * dir[1] + dir[2] * dir[2];
        const double b = 2.0 * (o[0] * dir[0] + o[1] * dir[1] + o[2] * dir[2]);
        const double c = o[0] * o[0] + o[1] * o[1] + o[2] * o[2] - 1.0;
        const double disc = b * b - 4.0 * a * c;
        if (!(disc >= 0.0) || a == 0.0)
            return false;
        const double tt = (-b + std::sqrt(disc)) / (2.0 * a);  // where the ray leaves
        if (!(tt >= tMin && tt <= tMax))
            return false;
        const double p[3] = {o[0] + tt * dir[0], o[1] + tt * dir[1], o[2] + tt * dir[2]};
        if (IsHemisphere(v.model) && p[2] > 0.0)
            return false;
        SphereTexture(v, p, s, t);
        if (obj != nullptr)
            std::copy(p, p + 3, obj);
        return true;
    }
    // Cylinders about z.
    const double radius = d == DISPLAY_CYLINDER ? 10.0 : 1.0;
    const double halfLength = d == DISPLAY_CYLINDER ? 5.0 : 0.5;
    const double a = dir[0] * dir[0] + dir[1] * dir[1];
    const double b = 2.0 * (o[0] * dir[0] + o[1] * dir[1]);
    const double c = o[0] * o[0] + o[1] * o[1] - radius * radius;
    const double disc = b * b - 4.0 * a * c;
    if (!(disc >= 0.0) || a == 0.0)
        return false;
    const double root = std::sqrt(disc);
    double hits[2] = {(-b + root) / (2.0 * a), (-b - root) / (2.0 * a)};
    if (d == DISPLAY_CYLINDER)
        std::swap(hits[0], hits[1]);  // unculled: the nearer first
    const int candidates = d == DISPLAY_CYLINDER ? 2 : 1;
    for (int k = 0; k < candidates; ++k) {
        const double tt = hits[k];
        if (!(tt >= tMin && tt <= tMax))
            continue;
        const double p[3] = {o[0] + tt * dir[0], o[1] + tt * dir[1], o[2] + tt * dir[2]};
        if (!(std::fabs(p[2]) <= halfLength))
            continue;
        double u = Atan2(p[1], p[0]) / (2.0 * kPi);
        if (u < 0.0)
            u += 1.0;
        *s = 1.0 - u;
        *t = 0.5 - p[2] / radius;
        if (obj != nullptr)
            std::copy(p, p + 3, obj);
        return true;
    }
    return false;
}

}  // namespace

bool IsSupported(int32_t model, int32_t display) {
    if (!IsKnownModel(model))
        return display == DISPLAY_PLANE;
    switch (display) {
        case DISPLAY_PLANE:
        case DISPLAY_PLANE360:
        case DISPLAY_PLANE360_FIXED:
            return true;
        case DISPLAY_SPHERE:
            return model != MODEL_RING;
        case DISPLAY_PLANE180:
            return IsHemisphere(model);
        case DISPLAY_VR:
            return model == MODEL_VR720 || IsHemisphere(model);
        case DISPLAY_PLANE360_FRONTBACK:
        case DISPLAY_CYLINDER:
        case DISPLAY_CYLINDER_INSIDE:
            return model == MODEL_RING;
        default:
            return false;
    }
}

bool LimitPtz(int32_t display, float& pan, float& tilt, float& zoom) {
    double p = std::isfinite(pan) ? pan : 0.0;
    double t = std::isfinite(tilt) ? tilt : 0.0;
    double z = std::isfinite(zoom) ? zoom : 1.0;
    if (IsSphereDisplay(display)) {
        p = WrapUnit(p);
        t = WrapUnit(t);
    } else if (display == DISPLAY_PLANE360) {
        p = WrapUnit(p);
        t = std::clamp(t, -1.0, 1.0);
    } else {
        p = std::clamp(p, -1.0, 1.0);
        t = std::clamp(t, -1.0, 1.0);
    }
    z = std::clamp(z, 0.001, 16.0);
    pan = static_cast<float>(p);
    tilt = static_cast<float>(t);
    zoom = static_cast<float>(z);
    if (display == DISPLAY_CYLINDER)
        return t >= -0.5 && t < -0.3055555555555556;
    return true;
}

bool LimitFlatView(int32_t d, int32_t adaptMode, double a, double ar, double p00, double p11,
                   bool blankPtz, float& pan, float& tilt, float& zoom, double* panShift,
                   double* tiltShift) {
    const int32_t m = d == DISPLAY_PLANE360 ? (adaptMode != 0 ? 1 : 0) : adaptMode;
    double ix, iy, vx, vy;
    if (d == DISPLAY_PLANE360_FRONTBACK) {
        // The two half panoramas are laid out by the projection's height whatever the adapt
        // mode: A/P11 wide and two rows of 1/P11, one above and one below the centre.
        ix = a / 2.0 / p11;
        iy = 1.0 / p11;
        vx = 1.0 / p00;
        vy = 1.0 / p11;
    } else if (m == 1) {
        ix = 1.0 / p00;
        iy = 1.0 / (a * p00);
        vx = 1.0 / p00;
        vy = 1.0 / (ar * p00);
    } else if (m == 2) {
        ix = a / p11;
        iy = 1.0 / p11;
        vx = ar / p11;
        vy = 1.0 / p11;
    } else {
        ix = vx = 1.0 / p00;
        iy = vy = 1.0 / p11;
    }
    const double zoom0 = zoom;
    double z = zoom0;
    double px = ix * pan, py = iy * tilt;
    const double px0 = px, py0 = py;
    const double mx = (ix * z - vx) / z, my = (iy * z - vy) / z;
    if (d == DISPLAY_PLANE360 && z < 1.0)
        z = 1.0;
    if (!blankPtz) {
        if (d != DISPLAY_PLANE360)
            px = mx <= 0.0 ? 0.0 : std::clamp(px, -mx, mx);
        py = my <= 0.0 ? 0.0 : std::clamp(py, -my, my);
    }
    *panShift = px;
    *tiltShift = py;
    if (px == px0 && py == py0 && z == zoom0)
        return false;
    pan = static_cast<float>(px / ix);
    tilt = static_cast<float>(py / iy);
    zoom = static_cast<float>(z);
    return true;
}

bool IsLensPerspective(int32_t model, int32_t display) {
    return display == DISPLAY_VR && IsHemisphere(model);
}

void ViewRotation(int32_t model, int32_t display, int32_t mount, double pan, double tilt,
                  double r[9]) {
    double a[9], b[9];
    TurnX(tilt * kPi, a);
    if (IsLensPerspective(model, display)) {
        TurnY(-pan * kPi, b);
        Multiply3(a, b, r);
        if (mount == MOUNT_WALL)
            return;
        TurnX(mount == MOUNT_DESK ? kPi / 2.0 : -kPi / 2.0, b);
        Multiply3(r, b, r);
        return;
    }
    if (model == MODEL_VR720)
        TurnY(pan * kPi, b);
    else
        TurnZ(pan * kPi, b);
    Multiply3(a, b, r);
}

namespace {

// How far inside the lens's rim the view keeps: the least, over its four corner rays, of the
// sine of the ray's angle above the rim plane, less the sine of the margin. The view pyramid
// is the convex hull of those rays and the cone within the margin is convex, so the view is
// inside when this is not negative.
double RimSlack(int32_t mount, double h, double v, double pan, double tilt) {
    double r[9];
    ViewRotation(MODEL_FISHEYE, DISPLAY_VR, mount, pan, tilt, r);
    // The lens axis (0, 0, -1) of the mesh's frame, seen from the eye.
    const double ax = -r[2], ay = -r[5], az = -r[8];
    const double corner = std::sqrt(h * h + v * v + 1.0);
    double least = 2.0;
    for (double sx : {-1.0, 1.0})
        for (double sy : {-1.0, 1.0})
            least = std::min(least, (sx * h * ax + sy * v * ay - az) / corner);
    return least - std::sin(kLensRimMarginDegrees * kPi / 180.0);
}

// The value between `inside` (slack >= 0) and `outside` nearest to `outside` with the slack
// still >= 0, for a slack that changes sign once between them.
template <typename F>
double Boundary(double inside, double outside, F&& slack) {
    for (int i = 0; i < 60; ++i) {
        const double mid = (inside + outside) / 2.0;
        (slack(mid) >= 0.0 ? inside : outside) = mid;
    }
    return inside;
}

}  // namespace

bool LimitPerspective(int32_t mount, double rectAspect, float& pan, float& tilt, float& zoom) {
    const double a = std::isfinite(rectAspect) && rectAspect > 0.0 ? rectAspect : 1.0;
    const double diagonal = kHalfFovTan * std::sqrt(a * a + 1.0);
    const double minZoom = diagonal / std::tan(kPerspectiveMaxDiagonalDegrees / 2.0 * kPi / 180.0);
    double z = std::isfinite(zoom) ? zoom : 1.0;
    z = std::clamp(z, std::max(minZoom, 0.001), 16.0);
    double p = std::isfinite(pan) ? WrapUnit(pan) : 0.0;
    double t = std::isfinite(tilt) ? WrapUnit(tilt) : 0.0;
    const double h = a * kHalfFovTan / z, v = kHalfFovTan / z;
    // The view straight along the axis: ceiling and desk never tilt past it, and from there the
    // tilt and then the pan are brought back until the corners stay inside.
    const double axisTilt = mount == MOUNT_DESK ? -0.5 : (mount == MOUNT_WALL ? 0.0 : 0.5);
    if (mount == MOUNT_WALL) {
        if (RimSlack(mount, h, v, 0.0, t) < 0.0)
            t = Boundary(axisTilt, t, [&](double x) { return RimSlack(mount, h, v, 0.0, x); });
        if (RimSlack(mount, h, v, p, t) < 0.0)
            p = Boundary(0.0, p, [&](double x) { return RimSlack(mount, h, v, x, t); });
    } else {
        if (mount == MOUNT_DESK ? t < axisTilt : t > axisTilt)
            t = axisTilt;
        if (RimSlack(mount, h, v, p, t) < 0.0)
            t = Boundary(axisTilt, t, [&](double x) { return RimSlack(mount, h, v, p, x); });
    }
    const bool changed = static_cast<float>(p) != pan || static_cast<float>(t) != tilt ||
                         static_cast<float>(z) != zoom;
    pan = static_cast<float>(p);
    tilt = static_cast<float>(t);
    zoom = static_cast<float>(z);
    return changed;
}

bool DeriveView(const ViewSettings& in, const LensData& lens, ViewGeometry* out) {
    ViewGeometry v;
    if (in.rectWidth <= 0 || in.rectHeight <= 0)
        return false;
    v.model = IsKnownModel(lens.model) ? lens.model : MODEL_NORMAL;
    v.display = in.display;
    if (!IsSupported(v.model, v.display))
        return false;
    const int32_t d = v.display;
    v.flip = in.flip;
    for (int i = 0; i < 9; ++i)
        v.K[i] = std::isfinite(lens.K[i]) ? lens.K[i] : 0.0;

    // The renderer keeps these as floats; so does this, where it decides a branch.
    const float rectAspect = static_cast<float>(static_cast<double>(in.rectWidth) / in.rectHeight);
    float videoAspect;
    if (d == DISPLAY_VR || d == DISPLAY_SPHERE)
        videoAspect = rectAspect;
    else if ((d == DISPLAY_PLANE360 || d == DISPLAY_PLANE360_FIXED) && v.model != MODEL_RING)
        videoAspect = v.model == MODEL_VR720 ? 2.0f : 4.0f;
    else if (d == DISPLAY_PLANE180)
        videoAspect = 1.0f;
    else {
        double a = (lens.width > 0 && lens.height > 0)
                       ? static_cast<double>(lens.width) / lens.height
                       : static_cast<double>(rectAspect);
        if (d == DISPLAY_PLANE360_FRONTBACK)
            a /= 2.0;
        videoAspect = static_cast<float>(a);
    }
    v.rectAspect = rectAspect;
    v.videoAspect = videoAspect;
    switch (in.ratioType) {
        case 1:
            v.adaptMode = videoAspect >= rectAspect ? 1 : 2;
            break;
        case 2:
            v.adaptMode = 1;
            break;
        case 3:
            v.adaptMode = 2;
            break;
        default:
            v.adaptMode = 0;
            break;
    }
    const double ra = static_cast<double>(in.rectWidth) / in.rectHeight;
    const double scale = d == DISPLAY_CYLINDER ? 20.0 : 1.0;
    v.p00 = static_cast<float>(1.0 / (ra * kHalfFovTan * scale));
    v.p11 = static_cast<float>(1.0 / (kHalfFovTan * scale));

    float pan = in.pan, tilt = in.tilt, zoom = in.zoom;
    const float storedTilt = tilt;
    if (!LimitPtz(d, pan, tilt, zoom))
        tilt = storedTilt;
    v.mount = lens.mount;
    if (IsLensPerspective(v.model, d))
        LimitPerspective(v.mount, rectAspect, pan, tilt, zoom);
    v.pan = pan;
    v.tilt = tilt;
    v.zoom = zoom;
    v.panUniform = d == DISPLAY_PLANE360_FIXED ? 0.0 : pan;

    if (!IsSphereDisplay(d)) {
        float p = pan, t = tilt, z = zoom;
        double px = 0.0, py = 0.0;
        LimitFlatView(d, v.adaptMode, videoAspect, rectAspect, v.p00, v.p11, in.blankPtz, p, t, z,
                      &px, &py);
        // The renderer hands these to GL as floats.
        v.panShift = d == DISPLAY_PLANE360 ? 0.0 : static_cast<float>(px);
        v.tiltShift = static_cast<float>(py);
        v.pan = p;
        v.tilt = t;
        v.zoom = z;
    }
    v.panCos = std::cos(v.pan * kPi);
    v.panSin = std::sin(v.pan * kPi);
    v.tiltCos = std::cos(v.tilt * kPi);
    v.tiltSin = std::sin(v.tilt * kPi);
    const double turn = IsHemisphere(v.model) ? v.panUniform : v.panUniform - 1.0;
    v.turnCos = std::cos(turn * kPi);
    v.turnSin = std::sin(turn * kPi);
    ViewRotation(v.model, d, v.mount, v.pan, v.tilt, v.rotation);
    *out = v;
    return true;
}

bool SourceAtNdc(const ViewGeometry& v, double nx, double ny, double* s, double* t) {
    if (IsSphereDisplay(v.display))
        return SphereView(v, nx, ny, s, t);
    const double ox = nx / (v.p00 * v.zoom) - v.panShift;
    const double oy = ny / (v.p11 * v.zoom) - v.tiltShift;
    return FlatLayout(v, ox, oy, s, t);
}

namespace {

// The camera pass's normalised device coordinates of a view position (pixels, y down, the flip
// applied).
void PixelToNdc(const ViewGeometry& v, uint32_t width, uint32_t height, double x, double y,
                double& nx, double& ny) {
    if (v.flip == FLIP_HORIZONTAL || v.flip == FLIP_BOTH)
        x = width - 1.0 - x;
    if (v.flip == FLIP_VERTICAL || v.flip == FLIP_BOTH)
        y = height - 1.0 - y;
    nx = 2.0 * (x + 0.5) / width - 1.0;
    ny = 1.0 - 2.0 * (y + 0.5) / height;
}

}  // namespace

bool ObjectAtPixel(const ViewGeometry& v, uint32_t width, uint32_t height, double x, double y,
                   double obj[3]) {
    if (width == 0 || height == 0)
        return false;
    double nx = 0.0, ny = 0.0, s = 0.0, t = 0.0;
    PixelToNdc(v, width, height, x, y, nx, ny);
    if (IsSphereDisplay(v.display))
        return SphereView(v, nx, ny, &s, &t, obj);
    obj[0] = nx / (v.p00 * v.zoom) - v.panShift;
    obj[1] = ny / (v.p11 * v.zoom) - v.tiltShift;
    obj[2] = -1.0;
    return FlatLayout(v, obj[0], obj[1], &s, &t);
}

bool PixelOfObject(const ViewGeometry& v, uint32_t width, uint32_t height, const double obj[3],
                   double* x, double* y) {
    if (width == 0 || height == 0)
        return false;
    double nx = 0.0, ny = 0.0;
    if (IsSphereDisplay(v.display)) {
        const double* r = v.rotation;
        double e[3];
        for (int i = 0; i < 3; ++i)
            e[i] = r[i * 3] * obj[0] + r[i * 3 + 1] * obj[1] + r[i * 3 + 2] * obj[2];
        e[0] *= v.zoom;
        e[1] *= v.zoom;
        if (v.display != DISPLAY_VR)
            e[2] -= 1.4;
        if (v.display == DISPLAY_CYLINDER) {
            nx = v.p00 * e[0];
            ny = v.p11 * e[1];
        } else {
            if (!(-e[2] > 0.0))
                return false;  // behind the eye
            nx = v.p00 * e[0] / -e[2];
            ny = v.p11 * e[1] / -e[2];
        }
    } else {
        nx = v.p00 * v.zoom * (obj[0] + v.panShift);
        ny = v.p11 * v.zoom * (obj[1] + v.tiltShift);
    }
    double px = (nx + 1.0) / 2.0 * width - 0.5, py = (1.0 - ny) / 2.0 * height - 0.5;
    if (v.flip == FLIP_HORIZONTAL || v.flip == FLIP_BOTH)
        px = width - 1.0 - px;
    if (v.flip == FLIP_VERTICAL || v.flip == FLIP_BOTH)
        py = height - 1.0 - py;
    *x = px;
    *y = py;
    return std::isfinite(px) && std::isfinite(py);
}

bool SourceAtPixel(const ViewGeometry& v, uint32_t width, uint32_t height, double x, double y,
                   uint32_t lensWidth, uint32_t lensHeight, double* sx, double* sy) {
    if (width == 0 || height == 0)
        return false;
    double nx = 0.0, ny = 0.0, s = 0.0, t = 0.0;
    PixelToNdc(v, width, height, x, y, nx, ny);
    if (!SourceAtNdc(v, nx, ny, &s, &t) || !std::isfinite(s) || !std::isfinite(t))
        return false;
    *sx = s * lensWidth - 0.5;
    *sy = t * lensHeight - 0.5;
    return true;
}

void TargetSize(const TargetSizeInput& in, uint32_t* width, uint32_t* height) {
    auto toSize = [](double v) -> uint32_t {
        if (!(v > 0.0))
            return 0;
        return static_cast<uint32_t>(std::min(v, 2147483647.0));
    };
    uint32_t w = in.pictureWidth, h = in.pictureHeight;
    if (in.regionIndex == 9) {
        w = toSize(w * static_cast<double>(in.sizeFactor));
        h = toSize(h * static_cast<double>(in.sizeFactor));
        const uint32_t cap =
            in.maxTextureSize > 0 ? static_cast<uint32_t>(in.maxTextureSize) / 3 : 0;
        const uint32_t larger = std::max(w, h);
        if (in.maxTextureSize != 0 && larger > cap) {
            const double s = larger > 0 ? static_cast<double>(cap) / larger : 0.0;
            w = static_cast<uint32_t>(w * s);
            h = static_cast<uint32_t>(h * s);
        }
    } else {
        if ((w == 0 || h == 0) && in.rectWidth > 0 && in.rectHeight > 0) {
            w = static_cast<uint32_t>(in.rectWidth);
            h = static_cast<uint32_t>(in.rectHeight);
        }
        if (in.screenWidth != 0)
            w = std::min(w, in.screenWidth);
        if (in.screenHeight != 0)
            h = std::min(h, in.screenHeight);
        if (in.rectWidth > 0)
            w = std::min(w, static_cast<uint32_t>(in.rectWidth));
        if (in.rectHeight > 0)
            h = std::min(h, static_cast<uint32_t>(in.rectHeight));
    }
    *width = w;
    *height = h;
}

}  // namespace DEWARP
