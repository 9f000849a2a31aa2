#version 120
// Sphere fragment shader: the colour of the source picture at the texture coordinate that the
// vertex shader computed, or, in the compose pass, the region's camera pass with colour
// adjustment.
//
// The mathematics
// ---------------
// Colour: planar 4:2:0 pictures arrive as three one-channel textures. With U and V centred on
// zero the conversion is the analogue-YUV (BT.601 without range scaling) matrix
//     R = Y + 1.13983 V,  G = Y - 0.39465 U - 0.58060 V,  B = Y + 2.03211 U.
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

uniform int g_nModelType;
uniform int g_nDisplayType;
uniform int g_nDrawBK;
uniform float g_fBrightness;
uniform float g_fSaturation;
uniform float g_fContrast;
uniform int g_nDataFlag;
uniform sampler2D g_sTex;
uniform sampler2D g_sTex_u;
uniform sampler2D g_sTex_v;
uniform sampler2D g_sTex_bkg;

varying vec2 v_v2TexCoord;
varying vec4 v_v4Angles;

float Atan2(float y, float x)
{
    if (x == 0.0 && y == 0.0)
        return 0.0;
    return atan(y, x);
}

vec2 RemapVR360_2(vec2 st)
{
    float phi = PI * st.x;
    float theta = PI * st.y;
    float x = sin(theta) * cos(phi - PI);
    float z = sin(theta) * sin(phi - PI);
    float y = cos(theta);
    float len = length(vec3(x, y, z));
    float s = (Atan2(x, y) / PI + 1.0) / 2.0;
    float t = 2.0 * acos(clamp(z / len, -1.0, 1.0)) / PI - 1.0;
    return vec2(s, t);
}

// A software rasteriser runs every branch of a shader with its lanes masked off, texture
// fetches included, so the passes share their fetches: the compose pass points g_sTex at the
// region's previous pass (the unit of g_sTex_bkg) and one fetch of g_sTex serves the compose
// pass, packed pictures and the Y plane alike.
void main()
{
    vec2 st = v_v2TexCoord;
    bool compose = g_nDrawBK != SPH_DRAW_FG;
    if (!compose) {
        if ((g_nModelType == SPH_MODEL_VR360 || g_nModelType == SPH_MODEL_VR360_2) &&
            (g_nDisplayType == SPH_DISPLAY_PLANE360 || g_nDisplayType == SPH_DISPLAY_PLANE360_FIXED)) {
            // The sphere point from its panorama angles, turned back by the pan, and its
            // hemisphere grid coordinates as the sphere grid would give them.
            float lon = PI * v_v4Angles.x;
            float sa = sin(v_v4Angles.y);
            vec2 q = vec2(sa * sin(lon), sa * cos(lon));
            vec3 p = vec3(q.x * v_v4Angles.z - q.y * v_v4Angles.w, q.x * v_v4Angles.w + q.y * v_v4Angles.z,
                          -cos(v_v4Angles.y));
            float phi = PI - abs(Atan2(p.z, -p.x));
            st = vec2(1.0 - phi / PI, acos(clamp(p.y, -1.0, 1.0)) / PI);
        }
        if (g_nModelType == SPH_MODEL_VR360_2 && g_nDisplayType != SPH_DISPLAY_PLANE)
            st = RemapVR360_2(st);
    }
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
        float u = texture2D(g_sTex_u, st).r - 0.5;
        float v = texture2D(g_sTex_v, st).r - 0.5;
        float y = c.r;
        rgb = vec3(y + 1.13983 * v, y - 0.39465 * u - 0.58060 * v, y + 2.03211 * u);
    } else if (g_nDataFlag == SPH_FORMAT_BGR) {
        rgb = c.bgr;
    } else if (g_nDataFlag == SPH_FORMAT_RGB) {
        rgb = c.rgb;
    } else {
        rgb = vec3(0.0, 0.5294, 0.0);
    }
    gl_FragColor = vec4(rgb, 1.0);
}
