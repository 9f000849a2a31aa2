#pragma once
// The text of the shader files under shaders/, embedded into the library at build time (see
// shader_embed.cmake). Zero-terminated GLSL 1.20 sources; each file states at its top what it
// takes from the stage before it and what it hands to the next.

namespace SPHERA {

// The camera pass (and the compose pass of the default program): the sphere grid de-warped.
extern const char* const g_sphereVertSource;
extern const char* const g_sphereFragSource;
// The pass through the texture-coordinate map: its quad, linked with sphere.frag.
extern const char* const g_applyVertSource;
// A region's own compose pass.
extern const char* const g_composeVertSource;
extern const char* const g_composeFragSource;

}  // namespace SPHERA
