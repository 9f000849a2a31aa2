#pragma once
// What a player port needs from the library-wide object that owns it. The application object
// implements it; the port sees only this interface, so the player layer never depends on the
// layer above it.

#include <cstdint>

struct CGPano;
class CSysParam;
namespace BRIXEL {
class CWaveOut;
}

class IPlayerHost {
public:
    // The external renderer's table, loading the library on first need.
    virtual const CGPano& GetGPano() = 0;
    // True when files and streams opened now use the software display instead of OpenGL.
    virtual bool IsDirectDrawMode() const = 0;
    virtual const CSysParam& GetSysParam() const = 0;
    // The one port whose sound is played, QUORIX_NO_AUDIO_PORT for none.
    virtual uint16_t GetAudioPort() const = 0;
    virtual uint16_t GetJpegQuality() const = 0;
    // The library's one sound output, shared by every port; null when there is none.
    virtual BRIXEL::CWaveOut* GetWaveOut() = 0;

protected:
    ~IPlayerHost() = default;
};
