#version 120
// Sphere fragment shader: the colour of the source picture at the texture coordinate that the
// vertex shader computed, or, in the compose pass, the region's camera pass with colour
// adjustment.
//
// Interface
// ---------
// In:  v_v2TexCoord and v_v4Angles as sphere.vert writes them; in the pass through the map
//      (QX_APPLY_PASS) they come from apply.vert and are not read: the coordinates are the
//      map's.
// Uniforms: the picture (CCamera::Bind) g_sTex (unit 2: a packed picture or the Y plane),
//      g_sTex_u (unit 3: U and V as luminance and alpha), g_nDataFlag (its pixel format, or
//      QX_FIXED_FORMAT), g_m3YuvToRgb and g_v3YuvOffset; the compose pass (CRegion::ComposePass)
//      g_nDrawBK, g_sTex and g_sTex_bkg both on unit 0 (the previous pass), g_fBrightness,
//      g_fSaturation, g_fContrast; g_nModelType and g_nDisplayType as in sphere.vert. With
//      QX_APPLY_PASS (CRegion::DrawThroughRemap): g_sMap (unit 5), g_v2ViewSize (the target's
//      size) and g_v2MapOrigin (the target's corner in the frame buffer drawn into).
// Out: gl_FragColor: the picture's colour with alpha 1 (camera pass), the previous pass adjusted
//      with its own alpha (compose pass), or with QX_MAP_PASS (s, t, depth, 1) into the region's
//      RGBA float map, which QX_APPLY_PASS reads back through g_sMap; the apply pass also writes
//      gl_FragDepth from the map and discards the pixels the mesh did not cover.
//
// The mathematics
// ---------------
// Colour: planar 4:2:0 pictures arrive as a one-channel Y texture and one two-channel texture
// with U and V side by side (luminance and alpha). The picture's own matrix (BT.601 or BT.709)
// and range (limited or full) come as g_m3YuvToRgb and g_v3YuvOffset, the same conversion the
// CPU converter does:  rgb = g_m3YuvToRgb * ((Y, U, V) - g_v3YuvOffset).
// Packed pictures are sampled as they are; BGR ones have their channels swapped back.
//
// Second hemisphere layout (model 6): the picture is stored with the hemisphere unrolled about
// its own axis. The texture coordinate (s, t) from the hemisphere grid is taken as a point of
// the hemisphere, phi = pi s, theta = pi t, P = (sin th cos(ph - pi), cos th, sin th sin(ph - pi)),
// and re-expressed as azimuth about -z (s' = (atan2(x, y)/pi + 1)/2) and angle from the rim
// (t' = 2 acos(z/|P|)/pi - 1), which is where that point lives in this layout.
//
// Hemisphere layouts in the 360-degree panorama: the texture coordinate is taken per fragment
// from the sphere point rebuilt from its panorama angles (phi = pi - |atan2(z, x)|,
// theta = acos y of the point (-x, y, z)), because the layout's poles lie on the rim of the
// panorama and model 6 turns the longitude about the lens axis straight into its s.
//
// Texture-coordinate map: the coordinates depend only on the view, not on the picture, so the
// renderer may draw the camera pass once with QX_MAP_PASS, which stores per target pixel the
// texture coordinate, the depth and 1 (drawn) in a float target, and then draw each picture with
// QX_APPLY_PASS as one quad over the target that reads them back: the same coordinates and
// depth at every pixel the mesh covers, without the mesh or the per-fragment trigonometry.
//
// Colour adjustment (compose pass 2): brightness scales; saturation mixes with the luma
// (Rec. 709 weights 0.2125, 0.7154, 0.0721); contrast mixes with mid grey. Alpha is kept so that
// the background colour shows where no camera drew.

const float PI = 3.1415926535897932384626433832795;

const int SPH_MODEL_VR360 = 4;
const int SPH_MODEL_VR360_2 = 6;
const int SPH_DISPLAY_PLANE = 0;
const int SPH_DISPLAY_PLANE360 = 13;
const int SPH_DISPLAY_PLANE360_FIXED = 14;
const int SPH_DRAW_FG = 0;
const int SPH_DWAW_BK_WITH_FLIP = 2;
const int SPH_FORMAT_RGB = 2;
const int SPH_FORMAT_BGR = 4;
const int SPH_FORMAT_YUV420 = 20;

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
uniform int g_nDrawBK;
uniform float g_fBrightness;
uniform float g_fSaturation;
uniform float g_fContrast;
#ifdef QX_FIXED_FORMAT
#define g_nDataFlag (QX_FIXED_FORMAT)
#else
uniform int g_nDataFlag;
#endif
uniform sampler2D g_sTex;
uniform sampler2D g_sTex_u;
uniform sampler2D g_sTex_bkg;
uniform mat3 g_m3YuvToRgb;
uniform vec3 g_v3YuvOffset;
#ifdef QX_APPLY_PASS
uniform sampler2D g_sMap;
uniform vec2 g_v2ViewSize;
uniform vec2 g_v2MapOrigin;  // the target's corner in the frame buffer drawn into
#endif

varying vec2 v_v2TexCoord;
varying vec4 v_v4Angles;

float Atan2(float y, float x)
{
    if (x == 0.0 && y == 0.0)
        return 0.0;
    return atan(y, x);
}

// A software rasteriser runs every branch of a shader with its lanes masked off, texture
// fetches included, so the passes share their fetches: the compose pass points g_sTex at the
// region's previous pass (the unit of g_sTex_bkg) and one fetch of g_sTex serves the compose
// pass, packed pictures and the Y plane alike.
void main()
{
#ifdef QX_APPLY_PASS
    vec4 m = texture2D(g_sMap, (gl_FragCoord.xy - g_v2MapOrigin) / g_v2ViewSize);
    if (m.a < 0.5)
        discard;
    vec2 st = m.xy;
    gl_FragDepth = m.z;
    bool compose = false;
#else
    vec2 st = v_v2TexCoord;
    bool compose = g_nDrawBK != SPH_DRAW_FG;
    bool hemiPanorama = (g_nModelType == SPH_MODEL_VR360 || g_nModelType == SPH_MODEL_VR360_2) &&
                        (g_nDisplayType == SPH_DISPLAY_PLANE360 || g_nDisplayType == SPH_DISPLAY_PLANE360_FIXED);
    bool remap = g_nModelType == SPH_MODEL_VR360_2 && g_nDisplayType != SPH_DISPLAY_PLANE;
    if (!compose && (hemiPanorama || remap)) {
        // Both per-fragment paths end in one longitude and one polar angle of a point q of the
        // hemisphere in its grid's own frame (q = (x, y, z) with P = (-x, y, z)); they share
        // their transcendental functions (every branch runs on a software rasteriser).
        vec2 ang = hemiPanorama ? vec2(PI * v_v4Angles.x, v_v4Angles.y) : PI * st;
        float s0 = sin(ang.x), c0 = cos(ang.x), s1 = sin(ang.y), c1 = cos(ang.y);
        vec3 q;
        if (hemiPanorama) {
            // The sphere point P from its panorama angles, turned back by the pan. Model 4
            // reads its grid coordinates from q = (-P.x, P.y, P.z); model 6's texture s is the
            // mirrored longitude 1 - phi/pi, which makes its remap point P itself.
            vec2 xy = vec2(s1 * s0, s1 * c0);
            float px = xy.x * v_v4Angles.z - xy.y * v_v4Angles.w;
            q = vec3(remap ? px : -px, xy.x * v_v4Angles.w + xy.y * v_v4Angles.z, -c1);
        } else {
            // (s, t) read as hemisphere grid coordinates: phi = pi s, theta = pi t.
            q = vec3(-s1 * c0, c1, -s1 * s0);
        }
        // Model 6 wants (atan2(x, y), acos z); model 4's panorama wants (atan2(z, x), acos y).
        float a = remap ? Atan2(q.x, q.y) : Atan2(q.z, q.x);
        float c = acos(clamp(remap ? q.z : q.y, -1.0, 1.0));
        st = remap ? vec2((a / PI + 1.0) / 2.0, 2.0 * c / PI - 1.0) : vec2(abs(a) / PI, c / PI);
    }
#ifdef QX_MAP_PASS
    gl_FragColor = vec4(st, gl_FragCoord.z, 1.0);
    return;
#endif
#endif
    vec4 c = texture2D(g_sTex, st);
    if (compose) {
        if (g_nDrawBK == SPH_DWAW_BK_WITH_FLIP) {
            vec3 rgb = c.rgb * g_fBrightness;
            float grey = dot(rgb, vec3(0.2125, 0.7154, 0.0721));
            rgb = mix(vec3(grey), rgb, g_fSaturation);
            rgb = mix(vec3(0.5), rgb, g_fContrast);
            c = vec4(rgb, c.a);
        }
        gl_FragColor = c;
        return;
    }
    vec3 rgb;
    if (g_nDataFlag == SPH_FORMAT_YUV420) {
        vec3 yuv = vec3(c.r, texture2D(g_sTex_u, st).ra) - g_v3YuvOffset;
        rgb = g_m3YuvToRgb * yuv;
    } else if (g_nDataFlag == SPH_FORMAT_BGR) {
        rgb = c.bgr;
    } else if (g_nDataFlag == SPH_FORMAT_RGB) {
        rgb = c.rgb;
    } else {
        rgb = vec3(0.0, 0.5294, 0.0);
    }
    gl_FragColor = vec4(rgb, 1.0);
}
