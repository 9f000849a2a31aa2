#pragma once
// Software video decoders driven by CDecHisi: H.264, H.265 and MJPEG, each with its own create
// record, a decode call that fills an output record, and a delete call. They decode with
// libavcodec and always deliver planar 4:2:0 (MJPEG rows padded to a multiple of 16).

#include <cstddef>
#include <cstdint>

namespace HCC {

// Decode results shared by the three decoders.
enum : int32_t {
    NATIVE_OK = 0,            // a picture is in the output record
    NATIVE_NEED_MORE = 1,     // the data was taken, no picture yet
    NATIVE_E_PARAM = -1,      // null handle, record or data
    NATIVE_E_STREAM = -2,     // the data could not be decoded
    NATIVE_E_TOO_LARGE = -3,  // the picture exceeds the size the instance was created for
    NATIVE_E_MEMORY = -4,
};

// Output record of the H.264 and MJPEG decoders.
struct CNativeVideoOutput {
    uint8_t* y;
    uint8_t* u;
    uint8_t* v;
    uint32_t width;
    uint32_t height;
    uint32_t strideY;
    uint32_t strideUV;      // U and V share it
    uint32_t chromaLayout;  // MJPEG only: 0 = 4:2:0 with rows padded to a multiple of 16
    uint32_t colour;        // BRIXEL::CHYUVColour of the samples
    uint32_t reserved[2];
};

// ---- H.264 ------------------------------------------------------------------------------
struct CH264CreateParam {
    uint32_t flags;         // 0
    uint32_t widthMbs;      // picture width in 16-pixel units, rounded up
    uint32_t heightMbs;     // picture height in 16-pixel units, rounded up
    uint32_t maxRefFrames;  // 4
    uint32_t reserved[6];
};
static_assert(sizeof(CH264CreateParam) == 40);

void* H264Dec_Create(const CH264CreateParam* param);
int32_t H264Dec_Decode(void* handle, const uint8_t* data, uint32_t size, uint32_t flags,
                       CNativeVideoOutput* output);
void H264Dec_Delete(void* handle);

// ---- MJPEG ------------------------------------------------------------------------------
struct CMjpegCreateParam {
    uint32_t flags;      // 0
    uint32_t maxWidth;   // multiple of 16
    uint32_t maxHeight;  // multiple of 16
    uint32_t reserved[7];
};
static_assert(sizeof(CMjpegCreateParam) == 40);

void* MjpegDec_Create(const CMjpegCreateParam* param);
int32_t MjpegDec_Decode(void* handle, const uint8_t* data, uint32_t size, uint32_t flags,
                        CNativeVideoOutput* output);
void MjpegDec_Delete(void* handle);

// ---- H.265 ------------------------------------------------------------------------------
using IHW265D_MallocFxn = void* (*)(uint32_t channel, uint32_t size);
using IHW265D_FreeFxn = void (*)(uint32_t channel, void* memory);
using IHW265D_LogFxn = void (*)(uint32_t channel, uint32_t level, const char* message);

struct IHW265D_INIT_PARAM {
    uint32_t uiChannelID;
    uint32_t iMaxWidth;
    uint32_t iMaxHeight;
    uint32_t iMaxRefNum;
    uint32_t iMaxVPSNum;
    uint32_t iMaxSPSNum;
    uint32_t iMaxPPSNum;
    uint32_t iBitDepth;
    uint32_t eThreadType;   // 0: the decoder's own choice
    uint32_t eOutputOrder;  // 0: display order
    uint32_t reserved[4];
    IHW265D_MallocFxn MallocFxn;
    IHW265D_FreeFxn FreeFxn;
    IHW265D_LogFxn LogFxn;
};
static_assert(offsetof(IHW265D_INIT_PARAM, MallocFxn) == 56);

struct IHW265D_INARGS {
    const uint8_t* pStream;
    uint32_t uiStreamLen;
    uint32_t uiTimeStamp;
    uint32_t reserved[4];
};

struct IHW265D_OUTARGS {
    uint32_t uiChannelID;
    uint32_t uiBytesConsumed;
    uint32_t uiTimeStamp;
    uint32_t uiFrameType;
    int32_t iDecodeStatus;  // preset to -1 by the caller; the result of the call when it returns
    uint32_t uiDecWidth;
    uint32_t uiDecHeight;
    uint32_t uiYStride;
    uint32_t uiUVStride;
    uint32_t uiColour;  // BRIXEL::CHYUVColour of the samples
    uint8_t* pucOutYUV[3];
    uint8_t reserved[256 - 64];
};
static_assert(sizeof(IHW265D_OUTARGS) == 256);

// IHW265D_E_* results; 0 is success.
enum : int32_t {
    IHW265D_E_PARAM = static_cast<int32_t>(0xA0201001),
    IHW265D_E_MEMORY = static_cast<int32_t>(0xA0201002),
    IHW265D_E_CODEC = static_cast<int32_t>(0xA0201003),
};

int32_t IHW265D_Create(void** handle, const IHW265D_INIT_PARAM* param);
// 0 with a picture; NATIVE_NEED_MORE without one; anything else is an error.
int32_t IHW265D_Decode(void* handle, const IHW265D_INARGS* in, IHW265D_OUTARGS* out);
int32_t IHW265D_Delete(void* handle);

// Instance bookkeeping of the three decoders (index 0 H.264, 1 H.265, 2 MJPEG), so that owners
// and tests can see creations and deletions.
struct CNativeDecoderCounts {
    uint32_t created[3];
    uint32_t live[3];
};
CNativeDecoderCounts NativeDecoderCounts();

}  // namespace HCC
