#include "panorama/gl_clear.h"

#include <GL/gl.h>

namespace SPHERA {

void ClearCurrentContext(uint32_t colour) {
    glClearColor(static_cast<float>(colour & 0xFF) / 255.0f,
                 static_cast<float>((colour >> 8) & 0xFF) / 255.0f,
                 static_cast<float>((colour >> 16) & 0xFF) / 255.0f, 0.0f);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
}

}  // namespace SPHERA
