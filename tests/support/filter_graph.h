// FFmpeg's filters as an outside oracle: one planar 4:2:0 picture through a filter chain.
#pragma once

#include <cstdint>
#include <string>

extern "C" {
struct AVFrame;
}

namespace filtertest {

// Runs `filters` (which end in the output format they want) on a w x h 4:2:0 picture of tightly
// packed planes, signalled as limited-range BT.601. The filtered picture when it is outW x outH,
// else null; free it with av_frame_free.
AVFrame* FilterPicture(int w, int h, const uint8_t* y, const uint8_t* u, const uint8_t* v,
                       const std::string& filters, int outW, int outH);

}  // namespace filtertest
