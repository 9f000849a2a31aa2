// The exported functions of the pulled sources (quorixsdk_camera.h). Not carried by this build
// yet: every call answers QUORIX_E_NOT_IMPL after the uniform checks.

#include <quorixsdk_camera.h>

#include <cstring>

#include "sdk/exportcheck.h"

using namespace quorixexport;

extern "C" {

void QUORIX_CameraDefaultOptions(QUORIX_CAMERA_OPTIONS* options) {
    if (options == nullptr)
        return;
    std::memset(options, 0, sizeof(*options));
    options->size = sizeof(*options);
    options->transport = QUORIX_TRANSPORT_AUTO;
    options->timeoutMs = 5000;
    options->reconnect = 1;
    options->retryMinMs = 500;
    options->retryMaxMs = 8000;
    options->pacing = QUORIX_PACING_STAMPS;
    options->model = QUORIX_MODEL_NORMAL;
}

uint32_t QUORIX_CameraOpen(uint16_t port, const char* /*url*/,
                           const QUORIX_CAMERA_OPTIONS* /*options*/,
                           QUORIX_CameraStateCallback /*cb*/, void* /*user*/) {
    return OnPort(port, [](auto&) { return QUORIX_E_NOT_IMPL; });
}

uint32_t QUORIX_CameraClose(uint16_t port) {
    return OnPort(port, [](auto&) { return QUORIX_E_NOT_IMPL; });
}

uint32_t QUORIX_CameraGetState(uint16_t port, uint32_t* /*state*/, uint32_t* /*code*/) {
    return OnPort(port, [](auto&) { return QUORIX_E_NOT_IMPL; });
}

}  // extern "C"
