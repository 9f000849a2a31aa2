#pragma once
// Clearing the frame of a GL context that someone else draws into: the external panorama
// renderer asks the player for its background before each frame it draws.

#include <cstdint>

namespace SPHERA {

// Clears the colour and depth buffers of the context current on the calling thread with the
// colour 0x00BBGGRR (red in the low byte) and alpha 0.
void ClearCurrentContext(uint32_t colour);

}  // namespace SPHERA
