#pragma once
// The GL-free mathematics of a region's view: display-type lists, the per-frame derived values
// (video aspect, adapt mode, render-target size, matrices), the PTZ limits, the picture
// rectangle, the point conversions between the view and the source sphere, and the grid
// density. Everything here is plain arithmetic so that it can be checked without a context.

#include <cstdint>
#include <vector>

namespace SPHERA {

// Projection models: what kind of lens picture a source delivers.
enum : int32_t {
    SPH_MODEL_NORMAL = 1,
    SPH_MODEL_FISHEYE = 2,
    SPH_MODEL_VR720 = 3,
    SPH_MODEL_VR360 = 4,
    SPH_MODEL_RING = 5,
    SPH_MODEL_VR360_2 = 6,
};

// Display types: how a region shows the source. 9 has no name; it is offered only to
// multi-sensor renderers.
enum : int32_t {
    SPH_DISPLAY_PLANE = 0,
    SPH_DISPLAY_MULTI = 9,
    SPH_DISPLAY_VR = 10,
    SPH_DISPLAY_SPHERE = 11,
    SPH_DISPLAY_PLANE180 = 12,
    SPH_DISPLAY_PLANE360 = 13,
    SPH_DISPLAY_PLANE360_FIXED = 14,
    SPH_DISPLAY_PLANE360_FRONTBACK = 15,
    SPH_DISPLAY_CYLINDER = 16,
    SPH_DISPLAY_CYLINDER_INSIDE = 17,
};

enum : int32_t { SPH_FLIP_HORIZONTAL = 1, SPH_FLIP_VERTICAL = 2, SPH_FLIP_BOTH = 3 };
enum : int32_t { SPH_DRAW_FG = 0, SPH_DRAW_BK = 1, SPH_DWAW_BK_WITH_FLIP = 2 };
enum : int32_t { SPH_FORMAT_RGB = 2, SPH_FORMAT_BGR = 4, SPH_FORMAT_YUV420 = 20 };

// Locations of the shader uniforms, in the order the renderer looks them up.
enum EUniform : uint32_t {
    U_PROJECT,
    U_MODELVIEW,
    U_MODELTYPE,
    U_DISPLAYTYPE,
    U_MULTISENSOR,
    U_DRAWBK,
    U_FLIP,
    U_BRIGHTNESS,
    U_SATURATION,
    U_CONTRAST,
    U_ADAPTMODE,
    U_DOUBLEPLANE,
    U_PAN,
    U_CENTER,
    U_SCALEWIDTH,
    U_VIEWSIZE,
    U_VIDEOASPECT,
    U_K,
    U_R,
    U_D,
    U_KDINV,
    U_TEX,
    U_TEX_U,
    U_TEX_V,
    U_TEX_BKG,
    U_DATAFLAG,
    U_MAP,
    U_MAPORIGIN,
    U_YUVMATRIX,
    U_YUVOFFSET,
    U_COUNT
};
extern const char* const kUniformNames[U_COUNT];

// Tilt of the outside cylinder view when it is selected: 55 degrees below the horizon.
constexpr float kCylinderTilt = -0.30555555f;
constexpr double kPi = 3.1415926535897932384626433832795;
// Zoom range of every view. Beyond 16 a source pixel covers dozens of view pixels while the
// sphere mesh needs its full density and its cells grow to many times the view: a frame then
// takes seconds on a software rasteriser and stalls the region's captures and projections.
constexpr float kMinZoom = 0.001f;
constexpr float kMaxZoom = 16.0f;

// The per-frame copy of a region plus the values derived from it. A disabled region yields
// only its enabled flag.
struct RegionView {
    bool enabled = false;
    int32_t x = 0, y = 0, width = 0, height = 0;  // window GL coordinates, y from the bottom
    float pan = 0.0f, tilt = 0.0f, zoom = 1.0f;
    int32_t displayType = -1;
    uint32_t flip = 0;
    float brightness = 1.0f, saturation = 1.0f, contrast = 1.0f;
    uint32_t ratioType = 1;
    float rectAspect = 1.0f;
    bool blankPtz = false;

    // Derived (ComputeViewValues, ClampView, BuildModelView).
    int32_t modelType = SPH_MODEL_NORMAL;  // the renderer's, and its camera's mount
    int32_t mount = 0;
    uint32_t targetWidth = 0, targetHeight = 0;
    float videoAspect = 1.0f;
    int32_t adaptMode = 0;
    float panUniform = 0.0f;
    float panShift = 0.0f, tiltShift = 0.0f;  // pan and tilt in picture-plane units
    float project[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
    float modelView[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
};

// What the renderer knows about its sources and its GL limits.
struct ViewSource {
    int32_t modelType = SPH_MODEL_NORMAL;
    uint32_t cameraCount = 0;
    uint32_t firstWidth = 0, firstHeight = 0;  // picture size of the first camera
    uint64_t totalPixels = 0;                  // sum of width x height over the cameras
    uint16_t stitchedWidth = 0;
    float stitchedAspect = 0.0f;
    int32_t maxTextureSize = 0;
    int32_t maxTextureBufferSize = 0;
    uint32_t screenWidth = 0, screenHeight = 0;
    int32_t mount = 0;  // DEWARP::MOUNT_*: what pan and tilt mean in the perspective view of a lens
};

// Display-type list of a model in menu order; 9 is appended for two or more cameras.
std::vector<int32_t> DisplayTypeList(int32_t modelType, uint32_t cameraCount);
bool IsDisplayTypeSupported(int32_t modelType, uint32_t cameraCount, int32_t displayType);
// The display type the off-screen capture region draws for a model (model 1 keeps `current`).
int32_t ScreenOffDisplayType(int32_t modelType, int32_t current);

// Column-major matrices; both return the identity for degenerate bounds.
void Frustum(float m[16], double l, double r, double b, double t, double n, double f);
void Ortho(float m[16], double l, double r, double b, double t, double n, double f);

// Video aspect, adapt mode, pan uniform, render-target size (region 9 also takes it as its
// rectangle) and projection.
void ComputeViewValues(RegionView& view, const ViewSource& src, uint32_t regionIndex,
                       float sizeFactor);

// The PTZ limits applied when a value is stored. Returns whether tilt is to be stored.
bool LimitPtz(int32_t displayType, float& pan, float& tilt, float& zoom);

// Keeps the zoomed picture covering the view, and the perspective view of a lens inside its
// circle. Fills view.panShift/tiltShift and returns true when pan, tilt or zoom changed (the
// limited normalised values are then in view.pan/tilt/zoom).
bool ClampView(RegionView& view);

// The model-view of the region for the given model (after ClampView).
void BuildModelView(RegionView& view, int32_t modelType);

// The picture rectangle inside the region (relative coordinates) for the draw callback.
struct ImageRect {
    int32_t x = 0, y = 0, width = 0, height = 0;
};
ImageRect ComputeImageRect(const RegionView& view);

// Picture scale (sx, sy) of the panorama unrolls on the picture plane.
void UnrollScale(const RegionView& view, double& sx, double& sy);
// Source point (normalised pan/tilt) to object point; `handled` false leaves (x, y, -10).
void ToObject(const RegionView& view, int32_t modelType, double x, double y, double out[3]);
// Object point back to source coordinates.
void ToSource(const RegionView& view, int32_t modelType, const double o[3], double& x, double& y);

// Whether Project/UnProject can answer for a display type: the multi-sensor view (9) shows the
// cameras side by side without one common source coordinate.
bool HasSourceCoordinates(int32_t displayType);
// A point of the region as shown (fractions, y down) to the same point of the camera pass,
// which the compose pass mirrors for the flip; its own inverse.
void ApplyFlip(uint32_t flip, double& x, double& y);
// Window pixel (x from the left, y from the bottom of the viewport) under a shown point;
// false when the point lies outside the region.
bool ShownPointPixel(const RegionView& view, const int32_t vp[4], double x, double y, int32_t& px,
                     int32_t& py);
// UnProject of one shown point whose depth `depth` was read at ShownPointPixel: false (the
// answer is undefined) where nothing of the picture was drawn (depth 1, the cleared far plane).
bool UnProjectPoint(const RegionView& view, int32_t modelType, const int32_t vp[4], double x,
                    double y, double depth, double& sx, double& sy);
// Project of one source point to the region as shown; false when it lies behind the viewer.
bool ProjectPoint(const RegionView& view, int32_t modelType, const int32_t vp[4], double x,
                  double y, double& outX, double& outY);

// The standard project/unproject of a point through projection x model-view and a viewport.
bool GluProject(const double obj[3], const double mv[16], const double proj[16],
                const int32_t vp[4], double win[3]);
bool GluUnProject(const double win[3], const double mv[16], const double proj[16],
                  const int32_t vp[4], double obj[3]);

// Grid density of the sphere mesh for a region. The design's full density (3000 or 1000
// columns by 2000 rows) is the upper bound; below it the mesh follows the render-target size,
// the projection and the zoom so that neighbouring vertices land about kGridSpacingPx pixels
// apart. Counts are divisors of the full counts, so every coarse grid is a subset of the full one.
struct GridSize {
    int32_t columns = 0, rows = 0;
};
constexpr double kGridSpacingPx = 4.0;
GridSize FullGridDensity(int32_t modelType, int32_t displayType);
// `view` after ComputeViewValues (target size, projection, adapt mode, zoom).
GridSize GridDensity(int32_t modelType, const RegionView& view);
// Benchmarks and the tessellation tests compare against the full mesh.
void ForceFullGridDensity(bool full);

// An on-screen region is finally shown in its rectangle, so a render target larger than the
// rectangle on either side only adds fragments that the blit throws away (and aliases, since
// it scales without filtering). After ComputeViewValues, the target of regions 0-8 is brought
// down to the rectangle per side; region 9, which is read back at its own size, keeps it.
void FitTargetToRect(RegionView& view, uint32_t regionIndex);
// Benchmarks compare against targets of the picture's size.
void ForcePictureSizedTargets(bool force);

}  // namespace SPHERA
