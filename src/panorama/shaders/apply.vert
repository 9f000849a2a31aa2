#version 120
// Apply vertex shader: the quad of the pass through the texture-coordinate map. It is linked
// with sphere.frag compiled with QX_APPLY_PASS, which takes each pixel's texture coordinate and
// depth from the map instead of from the mesh.
//
// Interface
// ---------
// In:  attribute 3 g_vertexIn: xy a corner of the unit square.
// Uniforms: none.
// Out: gl_Position, the square spread over the whole viewport (the region's target, or its
//      rectangle in the window) at depth 0; sphere.frag sets the depth of each pixel itself.
//      v_v2TexCoord and v_v4Angles, which sphere.frag declares: they are written only because
//      a fragment shader may not read what the vertex shader leaves unwritten; the apply pass
//      reads neither.

attribute vec4 g_vertexIn;
varying vec2 v_v2TexCoord;
varying vec4 v_v4Angles;
void main()
{
    vec2 uv = g_vertexIn.xy;
    v_v2TexCoord = uv;
    v_v4Angles = vec4(0.0, 0.0, 1.0, 0.0);
    gl_Position = vec4(2.0 * uv.x - 1.0, 2.0 * uv.y - 1.0, 0.0, 1.0);
}
