#pragma once
// CPU reference of the sphere shaders: the same formulas in double precision, written out
// independently of the GLSL text, so that pictures drawn by the GPU can be checked point by
// point. For a grid vertex (u, v) it gives the clip-space position and the texture coordinate
// (after the second-hemisphere remap of the fragment stage), and it converts YUV like the
// fragment shader.
//
// How the checks use it: the grid's parameter square is sampled densely; each sample's window
// position tells where the GPU must have drawn the source colour at its texture coordinate.
// A sample is trusted only where the surface is front-facing (or culling is off), lies well
// inside the view, is not overlapped by another part of the surface, and the texture does not
// change too fast per window pixel.

#include <cstdint>
#include <vector>

namespace projref {

struct Params {
    int model = 1;
    int display = 0;
    int adaptMode = 0;
    double aspect = 1.0;  // video aspect
    double pan = 0.0;     // pan uniform
    double project[16];
    double modelView[16];
    double K[9] = {1, 0, 0.5, 0, 1, 0.5, 0, 0, 1};
    int doublePlane = 0;
};

struct Vertex {
    double clip[4];
    double s, t;    // texture coordinate the fragment stage samples
    double obj[3];  // the point before the model-view (the object point of project/unproject)
};

// A region's settings as a host makes them (one camera), and the values a renderer must derive
// from them by the documented formulas: video aspect, adapt mode, the PTZ limits, the
// projection and the model-view. Written from the formulas alone, never from the renderer's
// own matrices, so that a renderer turning the wrong way is caught.
struct View {
    int model = 1, display = 0;
    int rectW = 256, rectH = 256;
    int picW = 256, picH = 256;
    int ratioType = 1;
    double pan = 0, tilt = 0, zoom = 1;  // as asked (display 16 starts at its own tilt)
    bool blankPtz = false;
    int mount = 0;  // a lens's perspective view (display 10 of models 2, 4, 6): 0 ceiling,
                    // 1 wall, 2 desk
};
struct Derived {
    Params params;
    double pan = 0, tilt = 0, zoom = 1;  // as the renderer must hold them after its limits
};
Derived Derive(const View& v);

// The documented source coordinates (normalised pan/tilt) of an object point of the view.
void SourceOf(const Params& p, const double obj[3], double& x, double& y);

// Window pixels (x, y from the bottom) that no front-facing part of the surface comes within
// `margin` pixels of: nothing of the picture is drawn there.
std::vector<bool> Uncovered(const Params& p, int viewW, int viewH, bool culling, double margin);

Vertex Shade(const Params& p, double u, double v);

// Window position (pixels, y up) of a clip position in a viewport of w x h; false when behind
// the camera or outside the depth range.
bool ToWindow(const Vertex& v, int w, int h, double& x, double& y);

// Limited-range BT.601 to RGB (how a picture given without its colour is shown), all in [0, 1].
void YuvToRgb(double y, double u, double v, double rgb[3]);

// A packed RGB picture (top-down rows) with GL-style bilinear sampling and clamp to edge.
struct Picture {
    int width = 0, height = 0;
    std::vector<uint8_t> rgb;
    void Sample(double s, double t, double out[3]) const;
};

// One trustworthy expectation: window position, texture coordinate there, and how the texture
// coordinate changes per window pixel (ds/dx, ds/dy, dt/dx, dt/dy), so that the colour can be
// predicted at any nearby pixel centre.
struct Expectation {
    double x, y;
    double s, t;
    double obj[3];
    double jac[4];
    // Expected colour (0-255) at window position (px, py) near (x, y).
    void ColourAt(const Picture& src, double px, double py, double rgb[3]) const;
};

// Samples the grid on a lattice and returns the expectations that can be checked.
// `culling` false for the orthographic outside cylinder. `columns` x `rows` is the mesh the GPU
// draws: points inside a mesh cell that flat triangles cannot follow (the cell's centre strays
// from the mean of its corners by more than a pixel or a texel, as around the singular points
// of the unrolled panoramas) are not checked.
std::vector<Expectation> Expect(const Params& p, const Picture& src, int viewW, int viewH,
                                bool culling, double maxTexelsPerPixel, int columns, int rows);

}  // namespace projref
