#version 120
// Sphere vertex shader: turns a grid vertex (u, v) in [0, 1]^2 into a point of the view and the
// texture coordinate of the source picture that belongs to it.
//
// Interface
// ---------
// In:  attribute 3 g_vertexIn: xy the grid vertex (u, v) (z 1 on the grid), or a corner of the
//      unit square in the compose pass and for the plain picture of the normal model.
// Uniforms: per view (CRegion::SetViewUniforms) g_m4Project, g_m4ModelView, g_nDisplayType,
//      g_nDrawBK, g_nFlip, g_v2ViewSize, g_fVideoAspect, g_nAdaptMode, g_fPan, and
//      g_nDoublePlane per half of the front/back panorama (CRegion::RenderCamera); per frame
//      (CRender::SelectProgram) g_nModelType, g_nMultiSensor, g_v2Center, g_fScaleWidth; per
//      camera (CRender::SetCalibrationUniforms) g_m3K, g_m3R, g_m3KDinv, g_fD[5].
//      QX_FIXED_MODEL and QX_FIXED_DISPLAY, when defined, stand for g_nModelType and
//      g_nDisplayType (the renderer's program variants).
// Out: gl_Position; v_v2TexCoord, the texture coordinate of the source picture (in the compose
//      pass the flipped coordinate of the region's previous pass); v_v4Angles, the hemisphere
//      panorama's angles and pan turn, (0, 0, 1, 0) where they are not used. sphere.frag reads
//      both varyings.
//
// The mathematics
// ---------------
// Every non-planar source is described as a picture of (part of) the unit sphere; the grid is
// a parametrisation of that sphere and each display type is a different way of looking at it.
//
// 1. Sphere.  phi = 2*pi*u (full sphere) or pi*u (hemisphere), theta = pi*v.
//    Full sphere (equirectangular source):   P = (sin th sin ph, cos th, sin th cos ph),
//    texture (1 - u, v): longitude runs along the picture rows, latitude down its columns.
//    Hemisphere: x = sin th cos(ph - pi), z = sin th sin(ph - pi) <= 0, y = cos th and
//    P = (-x, y, z): the half looking down -z, the direction the camera faces.
//    Fisheye: the same hemisphere, textured through an equidistant lens: the angle from the
//    optical axis (-z) is alpha = pi/2 - atan(-z / sqrt(x^2 + y^2)), so the picture radius
//    r = alpha / pi runs from 0 at the centre to 0.5 at 90 degrees; the azimuth is
//    atan2(y, x). The point (r cos az, r sin az) goes through the camera matrix K, whose
//    default (1 0 .5 / 0 1 .5) centres the fisheye circle of radius 0.5 in the picture.
//
// 2. Views of the sphere (display 10, 11, 16, 17): the model-view rotates and places the
//    sphere (or the cylinder of a ring picture), the projection is a 65-degree perspective
//    (orthographic for the outside cylinder, so its apparent size does not depend on distance).
//    Display 10 of a lens (fisheye, hemispheres) is its perspective view: the hemisphere seen
//    from its centre, turned by the camera's mount as well (dewarp/geometry.h, 2a); nothing
//    here depends on the mount.
//
// 3. Unrolled panoramas (display 12 to 15): the sphere point is turned into longitude and
//    latitude about a chosen pole and those are laid out linearly on the picture plane
//    z = -1. 360 degrees about Y for the full sphere (u' = atan2(x, z)/pi,
//    v' = 1/2 - acos(y/|P|)/pi), 360 degrees about Z for the hemisphere and the fisheye so
//    that the rim of the lens is the top edge and its centre the bottom edge
//    (u' = atan2(x, y)/pi, v' = 3/4 - acos(z/|P|)/pi), 180 degrees about Y for the front
//    half. Pan turns the sphere about the pole first, which scrolls the panorama.
//    Seams: a grid cell that straddles the atan2 cut spans the whole panorama with the
//    opposite winding and is removed by back-face culling.
//    Poles: at theta = 0 and pi every column meets in one point whose longitude is undefined;
//    sin(theta) is kept at least 1e-7 there (float pi is slightly above pi, so sin(pi) comes
//    out negative) so that each column's pole vertex keeps its own column's longitude and the
//    unrolled pole rows stay thin fans instead of triangles across the whole panorama.
//
//    The 360-degree panorama of a hemisphere is not drawn on the sphere grid: its pole (the
//    lens centre) is a regular grid point whose few neighbouring cells would be stretched along
//    the whole bottom edge. Its grid is laid out in the panorama instead: u gives the longitude
//    about the lens axis (u' = 2u - 1) and v the angle from the axis (alpha = v pi/2), so the
//    picture-plane position is linear in (u, v); the sphere point P is turned back by the pan
//    and textured exactly as on the sphere. The picture is the same; the mesh can be as coarse
//    as the texture's curvature allows and no cell straddles the cut. The hemisphere layouts
//    (models 4 and 6) have their own poles on the rim, where the texture longitude turns
//    around within a pixel, and model 6 reads the longitude about the lens axis directly;
//    they are textured per fragment from the interpolated (linear) angles.
//
// 4. Fitting (AdjustPlaneRatio): the plane picture spans [-1, 1]^2 before fitting. Dividing by
//    the projection's P00 (P11) makes it exactly fill the frustum's width (height) at z = -1;
//    mode 1 keeps the picture's aspect by fitting the width, mode 2 the height, mode 0 fills.
//
// 5. Compose pass (g_nDrawBK != 0): a full-screen quad that reads back the camera pass,
//    mirrored for the region's flip.

const float PI = 3.1415926535897932384626433832795;

const int SPH_MODEL_NORMAL = 1;
const int SPH_MODEL_FISHEYE = 2;
const int SPH_MODEL_VR720 = 3;
const int SPH_MODEL_VR360 = 4;
const int SPH_MODEL_RING = 5;
const int SPH_MODEL_VR360_2 = 6;

const int SPH_DISPLAY_PLANE = 0;
const int SPH_DISPLAY_VR = 10;
const int SPH_DISPLAY_SPHERE = 11;
const int SPH_DISPLAY_PLANE180 = 12;
const int SPH_DISPLAY_PLANE360 = 13;
const int SPH_DISPLAY_PLANE360_FIXED = 14;
const int SPH_DISPLAY_PLANE360_FRONTBACK = 15;
const int SPH_DISPLAY_CYLINDER = 16;
const int SPH_DISPLAY_CYLINDER_INSIDE = 17;

const int SPH_FLIP_HORIZONTAL = 1;
const int SPH_FLIP_VERTICAL = 2;
const int SPH_FLIP_BOTH = 3;

const int SPH_DRAW_FG = 0;
const int SPH_DRAW_BK = 1;
const int SPH_DWAW_BK_WITH_FLIP = 2;

uniform mat4 g_m4Project;
uniform mat4 g_m4ModelView;
// The renderer compiles variants with some of these fixed (QX_FIXED_*), which removes the
// branches that cannot be taken; the default program keeps them all as uniforms.
#ifdef QX_FIXED_MODEL
#define g_nModelType (QX_FIXED_MODEL)
#else
uniform int g_nModelType;
#endif
#ifdef QX_FIXED_DISPLAY
#define g_nDisplayType (QX_FIXED_DISPLAY)
#else
uniform int g_nDisplayType;
#endif
uniform int g_nMultiSensor;
uniform int g_nDrawBK;
uniform int g_nFlip;
uniform int g_nAdaptMode;
uniform int g_nDoublePlane;
uniform float g_fPan;
uniform vec2 g_v2Center;
uniform float g_fScaleWidth;
uniform vec2 g_v2ViewSize;
uniform float g_fVideoAspect;
uniform mat3 g_m3K;
uniform mat3 g_m3R;
uniform mat3 g_m3KDinv;
uniform float g_fD[5];

attribute vec4 g_vertexIn;

varying vec2 v_v2TexCoord;
// The hemisphere panorama's longitude (in half turns) and angle from the lens axis, which are
// linear across the picture, and the cosine and sine of the pan turn: the layouts textured per
// fragment rebuild the sphere point from them exactly.
varying vec4 v_v4Angles;

vec4 AdjustPlaneRatio(float x, float y, int mode)
{
    float p00 = g_m4Project[0][0];
    float p11 = g_m4Project[1][1];
    if (mode == 1) {
        x = x / p00;
        y = y / p00 / g_fVideoAspect;
    } else if (mode == 2) {
        x = x / p11 * g_fVideoAspect;
        y = y / p11;
    } else {
        x = x / p00;
        y = y / p11;
    }
    return vec4(x, y, -1.0, 1.0);
}

vec4 RotateY(vec4 p, float degrees)
{
    float a = radians(degrees);
    float c = cos(a);
    float s = sin(a);
    return vec4(p.x * c + p.z * s, p.y, -p.x * s + p.z * c, p.w);
}

vec4 RotateZ(vec4 p, float degrees)
{
    float a = radians(degrees);
    float c = cos(a);
    float s = sin(a);
    return vec4(p.x * c - p.y * s, p.x * s + p.y * c, p.z, p.w);
}

// atan2 that stays defined at the origin.
float Atan2(float y, float x)
{
    if (x == 0.0 && y == 0.0)
        return 0.0;
    return atan(y, x);
}

float SafeAcos(float v)
{
    return acos(clamp(v, -1.0, 1.0));
}

vec4 Normal_Draw_Plane(vec2 uv)
{
    v_v2TexCoord = vec2(uv.x, 1.0 - uv.y);
    return AdjustPlaneRatio(2.0 * uv.x - 1.0, 2.0 * uv.y - 1.0, g_nAdaptMode);
}

// sin(theta) of a grid row, never below the pole guard.
float SinTheta(float theta)
{
    return max(sin(theta), 1.0e-7);
}

vec4 VR720_Draw_Sphere(vec2 uv)
{
    v_v2TexCoord = vec2(1.0 - uv.x, uv.y);
    float phi = 2.0 * PI * uv.x;
    float theta = PI * uv.y;
    float st = SinTheta(theta);
    return vec4(st * sin(phi), cos(theta), st * cos(phi), 1.0);
}

vec3 Hemisphere(vec2 uv)
{
    float phi = PI * uv.x;
    float theta = PI * uv.y;
    float st = SinTheta(theta);
    return vec3(st * cos(phi - PI), cos(theta), st * sin(phi - PI));
}

vec4 VR360_Draw_Sphere(vec2 uv)
{
    v_v2TexCoord = vec2(1.0 - uv.x, uv.y);
    vec3 p = Hemisphere(uv);
    return vec4(-p.x, p.y, p.z, 1.0);
}

vec4 Fisheye_Draw_Sphere(vec2 uv)
{
    vec3 p = Hemisphere(uv);
    float rho = sqrt(p.x * p.x + p.y * p.y);
    float azimuth = Atan2(p.y, p.x);
    float r = 0.5 - Atan2(-p.z, rho) / PI;
    vec3 st = vec3(r * cos(azimuth), r * sin(azimuth), 1.0);
    // K is uploaded untransposed: its columns hold (k0 k1 k2) and (k3 k4 k5).
    float s = dot(g_m3K[0], st);
    float t = dot(g_m3K[1], st);
    v_v2TexCoord = vec2(1.0 - s, 1.0 - t);
    return vec4(-p.x, p.y, p.z, 1.0);
}

int UnrollMode()
{
    if (g_nDisplayType == SPH_DISPLAY_PLANE360)
        return g_nAdaptMode == 0 ? 0 : 1;
    return g_nAdaptMode;
}

vec4 VR720_Trans_Cylinder360(vec4 p)
{
    p = RotateY(p, (1.0 - g_fPan) * 180.0);
    float u = Atan2(p.x, p.z) / PI;
    float v = 0.5 - SafeAcos(p.y / length(p.xyz)) / PI;
    vec4 q = AdjustPlaneRatio(u, 2.0 * v, UnrollMode());
    q.x = -q.x;
    return q;
}

vec4 VR360_Trans_Cylinder360(vec4 p)
{
    p = RotateZ(p, -g_fPan * 180.0);
    float v = 0.75 - SafeAcos(p.z / length(p.xyz)) / PI;
    float u = Atan2(p.x, p.y) / PI;
    return AdjustPlaneRatio(u, 4.0 * v, UnrollMode());
}

// Texture coordinate of a point P = (-x, y, z) of the hemisphere, as the sphere grid gives it.
vec2 HemisphereTexture(vec3 p)
{
    float x = -p.x;
    float y = p.y;
    float z = p.z;
    if (g_nModelType == SPH_MODEL_FISHEYE) {
        float rho = sqrt(x * x + y * y);
        float azimuth = Atan2(y, x);
        float r = 0.5 - Atan2(-z, rho) / PI;
        vec3 st = vec3(r * cos(azimuth), r * sin(azimuth), 1.0);
        return vec2(1.0 - dot(g_m3K[0], st), 1.0 - dot(g_m3K[1], st));
    }
    // z <= 0 on the hemisphere, so phi - pi = atan2(z, x) lies in [-pi, 0].
    float phi = PI - abs(Atan2(z, x));
    float theta = SafeAcos(y / length(p));
    return vec2(1.0 - phi / PI, theta / PI);
}

vec4 Hemisphere_Panorama360(vec2 uv)
{
    float u = 2.0 * uv.x - 1.0;
    // The lens centre keeps a trace of each column's longitude (see the pole guard), so that
    // the cells of the first row still turn around it instead of holding one longitude.
    float alpha = max(0.5 * PI * uv.y, 1.0e-4);
    float sa = sin(alpha);
    vec4 p = vec4(sa * sin(PI * u), sa * cos(PI * u), -cos(alpha), 1.0);
    float pan = radians(g_fPan * 180.0);
    v_v4Angles = vec4(u, alpha, cos(pan), sin(pan));
    v_v2TexCoord = HemisphereTexture(RotateZ(p, g_fPan * 180.0).xyz);
    float v = alpha / PI - 0.25;
    return AdjustPlaneRatio(u, 4.0 * v, UnrollMode());
}

vec4 VR360_Trans_Cylinder180(vec4 p)
{
    p = RotateY(p, 180.0);
    float u = Atan2(p.x, p.z) / PI;
    float v = 0.5 - SafeAcos(p.y / length(p.xyz)) / PI;
    if (v == -0.5)
        u = clamp(u, -0.5, 0.5);
    vec4 q = AdjustPlaneRatio(2.0 * u, 2.0 * v, g_nAdaptMode);
    q.x = -q.x;
    return q;
}

vec4 Ring_Draw_Cylinder(vec2 uv, bool inside)
{
    if (inside)
        v_v2TexCoord = vec2(1.0 - uv.x, uv.y);
    else
        v_v2TexCoord = vec2(1.0 - uv.x, 1.0 - uv.y);
    float phi = 2.0 * PI * uv.x;
    float radius = inside ? 1.0 : 10.0;
    vec4 p = vec4(radius * cos(phi), radius * sin(phi), radius * (0.5 - uv.y), 1.0);
    if (!inside)
        p.z = -p.z;
    return p;
}

vec4 Ring_Draw_FrontBack(vec2 uv)
{
    float p11 = g_m4Project[1][1];
    float x = (uv.x - 0.5) / p11 * g_fVideoAspect;
    float y = uv.y / p11;
    v_v2TexCoord = vec2(uv.x / 2.0 + 0.5 * float(g_nDoublePlane), 1.0 - uv.y);
    if (g_nDoublePlane == 1)
        y = y - 1.0 / p11;
    return vec4(x, y, -1.0, 1.0);
}

vec4 ModelVertex(vec2 uv)
{
    int d = g_nDisplayType;
    int m = g_nModelType;
    if (d == SPH_DISPLAY_PLANE)
        return Normal_Draw_Plane(uv);
    if (m == SPH_MODEL_VR720) {
        vec4 p = VR720_Draw_Sphere(uv);
        if (d == SPH_DISPLAY_PLANE360 || d == SPH_DISPLAY_PLANE360_FIXED)
            return VR720_Trans_Cylinder360(p);
        return p;
    }
    if (m == SPH_MODEL_VR360 || m == SPH_MODEL_VR360_2 || m == SPH_MODEL_FISHEYE) {
        if (d == SPH_DISPLAY_PLANE360 || d == SPH_DISPLAY_PLANE360_FIXED)
            return Hemisphere_Panorama360(uv);
        vec4 p = (m == SPH_MODEL_FISHEYE) ? Fisheye_Draw_Sphere(uv) : VR360_Draw_Sphere(uv);
        if (d == SPH_DISPLAY_PLANE180)
            return VR360_Trans_Cylinder180(p);
        if (d == SPH_DISPLAY_PLANE360 || d == SPH_DISPLAY_PLANE360_FIXED)
            return VR360_Trans_Cylinder360(p);
        return p;
    }
    if (m == SPH_MODEL_RING) {
        if (d == SPH_DISPLAY_PLANE360 || d == SPH_DISPLAY_PLANE360_FIXED)
            return VR720_Trans_Cylinder360(VR720_Draw_Sphere(uv));
        if (d == SPH_DISPLAY_PLANE360_FRONTBACK)
            return Ring_Draw_FrontBack(uv);
        if (d == SPH_DISPLAY_CYLINDER)
            return Ring_Draw_Cylinder(uv, false);
        if (d == SPH_DISPLAY_CYLINDER_INSIDE)
            return Ring_Draw_Cylinder(uv, true);
    }
    // The normal model, and display types a model does not offer.
    return Normal_Draw_Plane(uv);
}

void main()
{
    vec2 uv = g_vertexIn.xy;
    v_v4Angles = vec4(0.0, 0.0, 1.0, 0.0);
    if (g_nDrawBK != SPH_DRAW_FG) {
        vec2 t = uv;
        if (g_nFlip == SPH_FLIP_HORIZONTAL || g_nFlip == SPH_FLIP_BOTH)
            t.x = 1.0 - t.x;
        if (g_nFlip == SPH_FLIP_VERTICAL || g_nFlip == SPH_FLIP_BOTH)
            t.y = 1.0 - t.y;
        v_v2TexCoord = t;
        gl_Position = vec4(2.0 * uv.x - 1.0, 2.0 * uv.y - 1.0, 1.0, 1.0);
        return;
    }
    gl_Position = g_m4Project * g_m4ModelView * ModelVertex(uv);
}
