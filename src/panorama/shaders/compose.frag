#version 120
// Compose fragment shader: the camera pass with the region's colour adjustment, as the compose
// path of sphere.frag does it: brightness scales; saturation mixes with the luma (Rec. 709
// weights 0.2125, 0.7154, 0.0721); contrast mixes with mid grey.
//
// Interface
// ---------
// In:  v_v2TexCoord from compose.vert.
// Uniforms (CRegion::UseComposeProgram): g_sTex_bkg, the camera pass (unit 0); g_nDrawBK, 2 to
//      adjust the colour; g_fBrightness, g_fSaturation, g_fContrast.
// Out: gl_FragColor, the adjusted colour with the camera pass's alpha kept, so that the
//      background colour, cleared beneath and blended with it, shows where no camera drew.

uniform sampler2D g_sTex_bkg;
uniform int g_nDrawBK;
uniform float g_fBrightness;
uniform float g_fSaturation;
uniform float g_fContrast;
varying vec2 v_v2TexCoord;
void main()
{
    vec4 c = texture2D(g_sTex_bkg, v_v2TexCoord);
    if (g_nDrawBK == 2) {
        vec3 rgb = c.rgb * g_fBrightness;
        float grey = dot(rgb, vec3(0.2125, 0.7154, 0.0721));
        rgb = mix(vec3(grey), rgb, g_fSaturation);
        rgb = mix(vec3(0.5), rgb, g_fContrast);
        c = vec4(rgb, c.a);
    }
    gl_FragColor = c;
}
