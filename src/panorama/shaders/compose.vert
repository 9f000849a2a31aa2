#version 120
// Compose vertex shader: the region's own small compose pass, one quad over the whole target
// that reads the camera pass back mirrored for the region's flip. It does exactly what the
// compose path of sphere.vert does; a software rasteriser runs every branch of the sphere
// shaders for every fragment, so composing through them costs several times more.
//
// Interface
// ---------
// In:  attribute 3 g_vertexIn: xy a corner of the unit square.
// Uniforms: g_nFlip (0 none, 1 horizontal, 2 vertical, 3 both), set by CRegion::UseComposeProgram.
// Out: gl_Position, the square spread over the whole target at the far plane; v_v2TexCoord, the
//      flipped coordinate of the camera pass, read by compose.frag.

uniform int g_nFlip;
attribute vec4 g_vertexIn;
varying vec2 v_v2TexCoord;
void main()
{
    vec2 uv = g_vertexIn.xy;
    vec2 t = uv;
    if (g_nFlip == 1 || g_nFlip == 3)
        t.x = 1.0 - t.x;
    if (g_nFlip == 2 || g_nFlip == 3)
        t.y = 1.0 - t.y;
    v_v2TexCoord = t;
    gl_Position = vec4(2.0 * uv.x - 1.0, 2.0 * uv.y - 1.0, 1.0, 1.0);
}
