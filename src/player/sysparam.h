#pragma once
// The library's configuration (quorixsdk.ini), read by the application object at each
// initialisation and by the ports when they choose decoders.
//
//   [DECODER]  H264, H265, MJPEG   decoder module numbers (below)
//              HISI_MAX_WIDTH      largest picture of the "H265" module
//   [RENDER]   CPU_DEWARP          1 (default): when the only OpenGL is a software rasteriser
//                                  (llvmpipe, softpipe, swrast), ports de-warp on the CPU in the
//                                  software display, which is several times faster there; 0
//                                  keeps OpenGL. The environment variable QUORIX_CPU_DEWARP
//                                  (0 or 1), when set, takes precedence over the file.

#include <cstdint>
#include <string>

class CSysParam {
public:
    static constexpr int32_t kDefaultHisiMaxWidth = 8192;

    virtual ~CSysParam() = default;

    // Decoder module numbers (0 auto, 1 ffmpeg, 2 hisi, 3 inter, 4 nvidia, 5 amd, 6 home).
    int32_t h264Module = 0;
    int32_t h265Module = 0;
    int32_t mjpegModule = 0;
    // Largest picture width and height for the "H265" module; a port that receives a larger
    // picture decodes H.265 with ffmpeg from then on. Below 1 switches that test off.
    int32_t hisiMaxWidth = kDefaultHisiMaxWidth;
    int32_t cpuDewarp = 1;
    std::string configDirectory;
    std::string configFile;
};
