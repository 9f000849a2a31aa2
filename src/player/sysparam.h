#pragma once
// The library's configuration (quorixsdk.ini, section "DECODER"), read by the application object
// at each initialisation and by the ports when they choose decoders.

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
    std::string configDirectory;
    std::string configFile;
};
