#pragma once
// De-warp geometry: for a pixel of a view, the point of the lens picture that it shows.
//
// The OpenGL renderer draws a mesh forward (a grid on the source sphere, pushed through the
// region's model-view and projection, textured per vertex); the CPU path walks the other way,
// from each view pixel back to the picture, so every step below is the inverse of one step of
// the shaders and the two agree to within the mesh's own linearisation.
//
// The mathematics
// ---------------
// 0. Pixel to camera ray. A view of w x h pixels (rows top-down) shows the camera pass
//    mirrored by the flip; pixel centre (x, y) of the camera pass has the normalised device
//    coordinates nx = 2 (x + 1/2) / w - 1, ny = 1 - 2 (y + 1/2) / h. The projection is a
//    65-degree perspective (P00 = 1 / (a T), P11 = 1 / T, T = tan 32.5 deg, a = rectangle
//    width / height), so the eye ray through it has direction (nx / P00, ny / P11, -1); the
//    outside cylinder is orthographic (P00 and P11 twenty times smaller), its rays are
//    parallel to -z through (nx / P00, ny / P11).
//
// 1. Flat layouts (display 0, 12, 13, 14, 15): the picture lies on the plane z = -1 and the
//    model-view only scales by the zoom and shifts by the limited pan and tilt, so the ray
//    meets the plane at o = (nx / (P00 zoom) - panShift, ny / (P11 zoom) - tiltShift). The
//    fit mode stretched the layout's square [-1, 1]^2 by (1/P00, 1/(A P00)) when fitting the
//    width, (A/P11, 1/P11) when fitting the height, (1/P00, 1/P11) when filling (A = video
//    aspect); undoing it gives the layout coordinates (U, V), and outside [-1, 1]^2 (or the
//    layout's own part of it) nothing is drawn: the bars.
//      plane (0):     texture (s, t) = ((U + 1) / 2, (1 - V) / 2).
//      180 degrees (12, hemisphere models): longitude lam = pi (-U) / 2 and latitude
//                     pi V / 2 about +y, both within +-90 degrees; the sphere point is
//                     q = (cos lat sin lam, sin lat, cos lat cos lam) turned by 180 degrees
//                     about y.
//      360 degrees (13, 14) of a hemisphere: U is the longitude about the lens axis (-z) in half
//                     turns, the angle from the axis alpha = (V + 1) pi / 4 runs from the lens
//                     centre (bottom edge) to its rim (top); P = Rz(pan) (sin alpha sin pi U,
//                     sin alpha cos pi U, -cos alpha).
//      360 degrees of a full sphere or ring (models 3, 5): longitude pi (-U) about +y, latitude
//                     pi V / 2, turned back about y by (pan - 1) half turns.
//      front/back (15, ring): two half panoramas, the front (s in [0, 1/2]) above the centre
//                     line and the back (s in [1/2, 1]) below it, each 1/P11 high.
//
// 2. Sphere and cylinder views (display 10, 11, 16, 17): the model-view is
//    translate(0, 0, -1.4) scale(zoom, zoom, 1) Rx(tilt) R(pan) (no translation for display 10;
//    R about y for the full sphere, about z otherwise); the ray is carried back into the
//    object's frame by the inverse of each factor and intersected with the unit sphere
//    (10, 11), the cylinder x^2 + y^2 = 1, |z| <= 1/2 (17) or x^2 + y^2 = 100, |z| <= 5 (16).
//    Scaling x and y by the zoom narrows the perspective views: display 10 at zoom z sees
//    2 atan(tan(32.5 deg) / z) from top to bottom (65 degrees at zoom 1, 35.4 at zoom 2) and
//    2 atan(a tan(32.5 deg) / z) across, a the rectangle's width / height.
//
// 2a. Perspective view of a lens (display 10 of the fisheye and hemisphere models). Seen from
//    the centre of the hemisphere, every straight line of the scene lies in a plane through the
//    eye and stays straight in the view: a rectilinear PTZ. In the mesh's frame the lens looks
//    down -z with the picture's right along +x and its top along +y. What pan and tilt mean
//    depends on how the camera is mounted; in a world frame W (y up, the view at pan 0 and
//    tilt 0 looking down -z) the model-view turns by R = Rx(tilt) Ry(-pan) M, so on every mount
//    pan + turns the view to the left and tilt + turns it down (the sense of the 360-degree
//    panorama's pan and of the flat views' tilt). M carries the mesh's frame into W:
//      ceiling (looking down): M = Rx(-90 deg); tilt 0 looks at the horizon (the rim) towards
//                the top of the picture, tilt 1/2 straight down at the lens centre, and
//                R = Rx(tilt - 1/2) Rz(-pan): the view's centre at pan p is the centre column
//                of the 360-degree panorama at pan p.
//      wall (looking forward): M = identity; pan 0 and tilt 0 look along the lens axis.
//      desk (looking up): M = Rx(90 deg); tilt 0 looks at the horizon towards the bottom of
//                the picture, tilt -1/2 straight up at the lens centre.
//    The lens saw the half space z <= 0 of the mesh's frame only. The view is the pyramid of
//    the four corner rays (+-a T / z, +-T / z, -1) (T = tan 32.5 deg); it stays inside that
//    half space, less a margin at the rim, when each corner ray does (the pyramid is the convex
//    hull of those rays, and the cone within the margin is convex), which LimitPerspective
//    enforces for the stored pan, tilt and zoom: the zoom keeps the view's diagonal within 160
//    degrees; on the ceiling and the desk the tilt stays between the axis and the rim (pan
//    turns about the axis and never leaves the circle); on the wall the tilt is brought back
//    first (with pan 0), then the pan for that tilt.
//    The mesh's triangles face inwards and back faces are culled, so where the ray enters and
//    leaves the surface only the exit point is drawn (the inside of the bowl); the orthographic
//    outside cylinder is drawn without culling and shows the nearer hit. A hemisphere exists
//    only where z <= 0 in its frame.
//
// 3. Sphere point to lens picture (P on the unit sphere, in the frame of the mesh):
//      full sphere (3):  s = 1 - atan2(P.x, P.z) / 2 pi (mod 1), t = acos(P.y) / pi.
//      hemisphere (4):   s = 1 - (pi - |atan2(P.z, -P.x)|) / pi, t = acos(P.y) / pi.
//      second hemisphere layout (6): P itself re-expressed about the lens axis,
//                        s = (atan2(P.x, P.y) / pi + 1) / 2, t = 2 acos(P.z) / pi - 1.
//      fisheye (2), equidistant: angle from the axis alpha = pi/2 - atan(-P.z / rho) with
//                        rho = |(P.x, P.y)|, radius r = alpha / pi (0.5 at 90 degrees), azimuth
//                        az = atan2(P.y, -P.x); (a, b) = r (cos az, sin az) goes through the
//                        lens matrix K: s = 1 - (k0 a + k1 b + k2), t = 1 - (k3 a + k4 b + k5).
//      ring cylinders:   s = 1 - phi / 2 pi with phi = atan2(P.y, P.x) (mod 2 pi);
//                        t = 1/2 - z inside (17), 1/2 - z / 10 outside (16).
//
// 4. Texture to pixels: the texture is sampled bilinearly with its edges clamped, texel
//    centres at (i + 1/2) / width, so the picture's pixel coordinate is s width - 1/2.
//
// Everything is plain double arithmetic on plain numbers: no GL, no renderer types.

#include <cstdint>

namespace DEWARP {

// Projection models and display types, by the numbers the host and the model data use.
enum : int32_t {
    MODEL_NORMAL = 1,
    MODEL_FISHEYE = 2,
    MODEL_VR720 = 3,
    MODEL_VR360 = 4,
    MODEL_RING = 5,
    MODEL_VR360_2 = 6,
};
enum : int32_t {
    DISPLAY_PLANE = 0,
    DISPLAY_VR = 10,
    DISPLAY_SPHERE = 11,
    DISPLAY_PLANE180 = 12,
    DISPLAY_PLANE360 = 13,
    DISPLAY_PLANE360_FIXED = 14,
    DISPLAY_PLANE360_FRONTBACK = 15,
    DISPLAY_CYLINDER = 16,
    DISPLAY_CYLINDER_INSIDE = 17,
};
enum : uint32_t { FLIP_HORIZONTAL = 1, FLIP_VERTICAL = 2, FLIP_BOTH = 3 };

// How a lens camera hangs (see 2a): the meaning of pan and tilt in its perspective view.
enum : int32_t { MOUNT_CEILING = 0, MOUNT_WALL = 1, MOUNT_DESK = 2 };

// The lens picture: its model, its size in pixels, the camera matrix K (nine numbers in
// memory order; the default centres a lens circle of radius 1/2 in the picture) and its mount.
struct LensData {
    int32_t model = MODEL_NORMAL;
    int32_t mount = MOUNT_CEILING;
    uint32_t width = 0, height = 0;
    float K[9] = {1, 0, 0.5f, 0, 1, 0.5f, 0, 0, 1};
};

// A region as the host set it: display type, ratio type (0 fill, 1 automatic, 2 fit width,
// 3 fit height), the stored pan/tilt/zoom (see LimitPtz), flip, blank PTZ and the rectangle.
struct ViewSettings {
    int32_t display = DISPLAY_PLANE;
    uint32_t ratioType = 1;
    float pan = 0.0f, tilt = 0.0f, zoom = 1.0f;
    uint32_t flip = 0;
    bool blankPtz = false;
    int32_t rectWidth = 0, rectHeight = 0;
};

// Everything a pixel's answer depends on, derived once per view.
struct ViewGeometry {
    int32_t model = MODEL_NORMAL;
    int32_t display = DISPLAY_PLANE;
    uint32_t flip = 0;
    double videoAspect = 1.0, rectAspect = 1.0;
    int32_t adaptMode = 0;
    double p00 = 1.0, p11 = 1.0;   // projection diagonal
    double pan = 0.0, tilt = 0.0;  // after the view limits (normalised, 1 = 180 degrees)
    double zoom = 1.0;
    double panUniform = 0.0;                 // the pan that turns the unrolled panoramas
    double panShift = 0.0, tiltShift = 0.0;  // picture-plane shift of the flat layouts
    double K[9] = {1, 0, 0.5, 0, 1, 0.5, 0, 0, 1};
    // Cosine and sine of the turns every pixel applies: the pan and tilt of the sphere views
    // and the panorama's turn about its pole.
    double panCos = 1.0, panSin = 0.0, tiltCos = 1.0, tiltSin = 0.0;
    double turnCos = 1.0, turnSin = 0.0;
    int32_t mount = MOUNT_CEILING;
    // The sphere views' turn from the mesh's frame to the eye's, row-major (ViewRotation).
    double rotation[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
};

// Whether the view of a model is drawn here: every display type a model offers (2, 4, 6:
// 11 12 13 0 10; 3: 10 11 13 0; 5: 16 17 13 15 0), 14 for models 2 to 6 (the full-picture
// capture), and the flat picture (0) of the normal model; an unknown model counts as normal.
bool IsSupported(int32_t model, int32_t display);

// The limits a region applies when pan, tilt and zoom are stored. Returns whether the tilt is
// to be stored (the outside cylinder keeps its own tilt outside 55 to 90 degrees down).
bool LimitPtz(int32_t display, float& pan, float& tilt, float& zoom);

// The limit of the flat layouts (1): the zoomed picture keeps covering the view (unless blank
// PTZ) and is centred along an axis where it is smaller than the view; the 360-degree
// panorama scrolls instead of shifting across and is never zoomed out of. From the display
// type, adapt mode, video and rectangle aspects and the projection's diagonal, the stored pan,
// tilt and zoom become the limited ones, and the picture-plane shifts are returned. Returns
// whether a value changed (unchanged values are left exactly as they were).
bool LimitFlatView(int32_t display, int32_t adaptMode, double videoAspect, double rectAspect,
                   double p00, double p11, bool blankPtz, float& pan, float& tilt, float& zoom,
                   double* panShift, double* tiltShift);

// Whether the view is the perspective view of a lens (2a).
bool IsLensPerspective(int32_t model, int32_t display);

// The turn of the sphere views from the mesh's frame to the eye's (row-major 3 x 3), for pan
// and tilt in half turns: Rx(tilt) Ry(pan) for the full sphere, Rx(tilt) Rz(pan) for the other
// models' sphere views, and the mount's turn of 2a for the perspective view of a lens.
void ViewRotation(int32_t model, int32_t display, int32_t mount, double pan, double tilt,
                  double r[9]);

// Keeps the perspective view of a lens (2a) inside the lens circle: the view of a rectangle of
// aspect `rectAspect` (width / height) at the given pan, tilt (half turns) and zoom. Returns
// whether a value changed. The one limit both renderers apply.
constexpr double kLensRimMarginDegrees = 0.5;             // the view's edge stays this far inside
constexpr double kPerspectiveMaxDiagonalDegrees = 160.0;  // the widest view (zoom-out limit)
bool LimitPerspective(int32_t mount, double rectAspect, float& pan, float& tilt, float& zoom);

// Video aspect, adapt mode, projection, the view limits (the zoomed picture keeps covering the
// view) and the shifts. false: the pair is not supported or the rectangle is empty.
bool DeriveView(const ViewSettings& settings, const LensData& lens, ViewGeometry* out);

// Texture coordinate (s, t) in [0, 1]^2 at normalised device coordinates of the camera pass;
// false where nothing is drawn.
bool SourceAtNdc(const ViewGeometry& view, double nx, double ny, double* s, double* t);

// The same for a position of a width x height view in pixels (x right, y down; integers are
// pixel centres), with the flip applied: the answer in the lens picture's pixel coordinates
// (s * lens width - 1/2, t * lens height - 1/2).
bool SourceAtPixel(const ViewGeometry& view, uint32_t width, uint32_t height, double x, double y,
                   uint32_t lensWidth, uint32_t lensHeight, double* sx, double* sy);

// For the view's point conversions (project and unproject): the object point under a view
// position (the point of the picture plane, sphere or cylinder before the model-view, which
// the source coordinates of the views are formulas of), false where nothing is drawn; and the
// view position of an object point, false when it lies behind the eye (an object point hidden
// behind another part of the surface still gets its position).
bool ObjectAtPixel(const ViewGeometry& view, uint32_t width, uint32_t height, double x, double y,
                   double obj[3]);
bool PixelOfObject(const ViewGeometry& view, uint32_t width, uint32_t height, const double obj[3],
                   double* x, double* y);

// Render-target size of a region of one camera: the picture's size; the off-screen capture
// region (index 9) scales it by its size factor and keeps its larger side within a third of
// the maximum texture size; the others are limited to the screen and then to their rectangle.
// Zeros stand for "no limit".
struct TargetSizeInput {
    uint32_t pictureWidth = 0, pictureHeight = 0;
    uint32_t regionIndex = 0;
    float sizeFactor = 1.0f;
    int32_t maxTextureSize = 0;
    uint32_t screenWidth = 0, screenHeight = 0;
    int32_t rectWidth = 0, rectHeight = 0;
};
void TargetSize(const TargetSizeInput& in, uint32_t* width, uint32_t* height);

}  // namespace DEWARP
