// The renderer's programs: the default program of the two sphere shaders, and the variants
// with the model, display type and picture format compiled in, for the camera pass drawn
// directly, its texture-coordinate map and the picture drawn through that map.

#include <GL/glew.h>
#include <quorixsdk_codes.h>

#include <string>

#include "panorama/gl_util.h"
#include "panorama/render.h"
#include "panorama/shader_embed.h"

namespace SPHERA {

namespace {

constexpr const char* kSource = "..\\src\\render";
// Each display type a port shows needs up to three programs (drawn directly, its map, drawn
// through the map); beyond this many the default one draws directly and no map is used.
constexpr size_t kMaxProgramVariants = 48;

}  // namespace

uint32_t CRender::LoadShaders(const std::string& vertexSource, const std::string& fragmentSource) {
    m_vertexShader = glCreateShader(GL_VERTEX_SHADER);
    if (m_vertexShader == 0) {
        LogGlError("SPHERA::CRender::LoadShaders");
        return QUORIX_E_NOT_SUPPORTED;
    }
    m_fragmentShader = glCreateShader(GL_FRAGMENT_SHADER);
    if (m_fragmentShader == 0) {
        LogGlError("SPHERA::CRender::LoadShaders");
        ReleaseShaders();
        return QUORIX_E_NOT_SUPPORTED;
    }
    if (!CompileShader(m_vertexShader, vertexSource.c_str(), kSource, "vert:") ||
        !CompileShader(m_fragmentShader, fragmentSource.c_str(), kSource, "frag:")) {
        ReleaseShaders();
        return QUORIX_E_NOT_SUPPORTED;
    }
    m_program = glCreateProgram();
    if (m_program == 0) {
        LogGlError("SPHERA::CRender::LoadShaders");
        ReleaseShaders();
        return QUORIX_E_NOT_SUPPORTED;
    }
    // The shaders stay attached until they are released.
    if (!LinkProgram(m_program, m_vertexShader, m_fragmentShader, kSource)) {
        ReleaseShaders();
        return QUORIX_E_NOT_SUPPORTED;
    }
    glUseProgram(0);
    return QUORIX_OK;
}

void CRender::ReleaseShaders() {
    glUseProgram(0);
    for (const Variant& v : m_variants) {
        if (v.program != 0)
            glDeleteProgram(v.program);
    }
    m_variants.clear();
    m_activeVariant = -1;
    for (uint32_t* shader : {&m_vertexShader, &m_fragmentShader}) {
        if (*shader == 0)
            continue;
        if (m_program != 0)
            glDetachShader(m_program, *shader);
        glDeleteShader(*shader);
        *shader = 0;
    }
    if (m_program != 0)
        glDeleteProgram(m_program);
    m_program = 0;
}

bool CRender::SelectProgram(int32_t displayType, int32_t pass) {
    m_activeVariant = -1;
    // All sources must share a format for it to be compiled in; mixed ones leave it to the
    // uniform.
    int32_t format = -1;
    for (size_t i = 0; i < m_cameras.size(); ++i) {
        const int32_t f = static_cast<int32_t>(m_cameras[i]->GetUploadedFormat());
        if (i == 0) {
            format = f;
        } else if (f != format) {
            format = -1;
            break;
        }
    }
    const int32_t model = static_cast<int32_t>(m_modelData.modelType);
    int32_t found = -1;
    for (size_t i = 0; i < m_variants.size(); ++i) {
        const Variant& v = m_variants[i];
        if (v.model == model && v.display == displayType && v.format == format && v.pass == pass) {
            found = static_cast<int32_t>(i);
            break;
        }
    }
    if (found < 0 && m_variants.size() < kMaxProgramVariants) {
        Variant v;
        v.model = model;
        v.display = displayType;
        v.format = format;
        v.pass = pass;
        for (int32_t& location : v.uniforms)
            location = -1;
        v.program = BuildVariant(v);
        m_variants.push_back(v);
        found = static_cast<int32_t>(m_variants.size() - 1);
    }
    if (found >= 0 && m_variants[static_cast<size_t>(found)].program != 0)
        m_activeVariant = found;
    if (pass != kPassCamera && m_activeVariant < 0)
        return false;

    const int32_t* uniforms = ActiveUniforms();
    glUseProgram(GetProgram());
    glUniform2f(uniforms[U_CENTER], 0.0f, 0.0f);
    glUniform1f(uniforms[U_SCALEWIDTH], 1.0f);
    glUniform1i(uniforms[U_MODELTYPE], static_cast<GLint>(model));
    glUniform1i(uniforms[U_MULTISENSOR], m_cameras.size() >= 2 ? 1 : 0);
    return true;
}

uint32_t CRender::BuildVariant(Variant& variant) {
    std::string defines = "#define QX_FIXED_MODEL " + std::to_string(variant.model) +
                          "\n#define QX_FIXED_DISPLAY " + std::to_string(variant.display) + "\n";
    if (variant.format >= 0)
        defines += "#define QX_FIXED_FORMAT " + std::to_string(variant.format) + "\n";
    if (variant.pass == kPassMap)
        defines += "#define QX_MAP_PASS 1\n";
    if (variant.pass == kPassApply)
        defines += "#define QX_APPLY_PASS 1\n";
    // The definitions go after the #version line, which must stay first.
    auto withDefines = [&defines](const std::string& source) {
        size_t at = 0;
        if (source.compare(0, 8, "#version") == 0) {
            at = source.find('\n');
            at = at == std::string::npos ? source.size() : at + 1;
        }
        std::string text = source.substr(0, at);
        if (!text.empty() && text.back() != '\n')
            text += '\n';
        return text + defines + source.substr(at);
    };
    const std::string vertText =
        withDefines(variant.pass == kPassApply ? std::string(g_applyVertSource) : m_vertSource);
    const std::string fragText = withDefines(m_fragSource);
    const GLuint program = BuildProgram(vertText.c_str(), fragText.c_str(), kSource);
    if (program != 0) {
        for (uint32_t i = 0; i < U_COUNT; ++i)
            variant.uniforms[i] = glGetUniformLocation(program, kUniformNames[i]);
    }
    LogGlError("SPHERA::CRender::BuildVariant");
    return program;
}

uint32_t CRender::GetProgram() const {
    if (m_activeVariant >= 0)
        return m_variants[static_cast<size_t>(m_activeVariant)].program;
    return m_program;
}

const int32_t* CRender::ActiveUniforms() const {
    if (m_activeVariant >= 0)
        return m_variants[static_cast<size_t>(m_activeVariant)].uniforms;
    return m_uniforms;
}

int32_t CRender::GetUniform(EUniform u) const {
    return u < U_COUNT ? ActiveUniforms()[u] : -1;
}

}  // namespace SPHERA
