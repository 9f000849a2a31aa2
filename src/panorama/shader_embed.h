#pragma once
// The text of the two shader files, embedded into the library at build time (see
// shader_embed.cmake). Zero-terminated GLSL 1.x sources.

namespace SPHERA {

extern const char* const g_sphereVertSource;
extern const char* const g_sphereFragSource;

}  // namespace SPHERA
