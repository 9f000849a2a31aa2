// GL helpers shared by the renderer and its regions.

#include "panorama/gl_util.h"

#include <GL/glew.h>

#include <string>

#include "base/hlog.h"

namespace SPHERA {

namespace {

constexpr const char* kModule = "sphview";

// The info logs keep the names their lines have always carried, whoever compiles.
void PrintShaderInfoLog(const char* source, GLuint shader, const char* prefix) {
    GLint length = 0;
    glGetShaderiv(shader, GL_INFO_LOG_LENGTH, &length);
    if (length <= 0)
        return;
    std::string text(static_cast<size_t>(length) + 1, '\0');
    glGetShaderInfoLog(shader, length, nullptr, text.data());
    HLOG(source, kModule, 10, "SPHERA::_print_shader_info_log", "%s%s", prefix, text.c_str());
}

void PrintProgramInfoLog(const char* source, GLuint program) {
    GLint length = 0;
    glGetProgramiv(program, GL_INFO_LOG_LENGTH, &length);
    if (length <= 0)
        return;
    std::string text(static_cast<size_t>(length) + 1, '\0');
    glGetProgramInfoLog(program, length, nullptr, text.data());
    HLOG(source, kModule, 10, "SPHERA::_print_program_info_log", "%s", text.c_str());
}

}  // namespace

const char* GlErrorFormat(uint32_t error) {
    switch (error) {
        case GL_NO_ERROR:
            return "GL(%#x) No error";
        case GL_INVALID_ENUM:
            return "GL(%#x) Invalid Enum";
        case GL_INVALID_VALUE:
            return "GL(%#x) Invalid Value";
        case GL_INVALID_OPERATION:
            return "GL(%#x) Invalid Operation";
        case GL_STACK_OVERFLOW:
            return "GL(%#x) Stack Overflow";
        case GL_STACK_UNDERFLOW:
            return "GL(%#x) Stack Underflow";
        case GL_OUT_OF_MEMORY:
            return "GL(%#x) Out Of Memory";
        default:
            return "GL(%#x) Other Error";
    }
}

void LogGlError(const char* source, const char* function, int line) {
    const GLenum error = glGetError();
    if (error == GL_NO_ERROR)
        return;
    ::BRIXEL::CHLogLibOut(source, function, line).Print(kModule, 10, GlErrorFormat(error), error);
}

bool CompileShader(uint32_t shader, const char* text, const char* source, const char* prefix) {
    glShaderSource(shader, 1, &text, nullptr);
    glCompileShader(shader);
    GLint ok = GL_FALSE;
    glGetShaderiv(shader, GL_COMPILE_STATUS, &ok);
    if (ok == GL_TRUE)
        return true;
    if (source != nullptr)
        PrintShaderInfoLog(source, shader, prefix);
    return false;
}

uint32_t CreateShader(uint32_t type, const char* text, const char* source, const char* prefix) {
    const GLuint shader = glCreateShader(type);
    if (shader == 0)
        return 0;
    if (!CompileShader(shader, text, source, prefix)) {
        glDeleteShader(shader);
        return 0;
    }
    return shader;
}

bool LinkProgram(uint32_t program, uint32_t vertexShader, uint32_t fragmentShader,
                 const char* source) {
    glAttachShader(program, vertexShader);
    glAttachShader(program, fragmentShader);
    glBindAttribLocation(program, kVertexAttribute, "g_vertexIn");
    glLinkProgram(program);
    GLint linked = GL_FALSE;
    glGetProgramiv(program, GL_LINK_STATUS, &linked);
    if (linked == GL_TRUE)
        return true;
    if (source != nullptr)
        PrintProgramInfoLog(source, program);
    return false;
}

uint32_t BuildProgram(const char* vertexText, const char* fragmentText, const char* source) {
    const GLuint vs = CreateShader(GL_VERTEX_SHADER, vertexText, source, "vert:");
    // The fragment stage is not compiled (nor its log written) after the vertex stage failed.
    const GLuint fs = vs != 0 ? CreateShader(GL_FRAGMENT_SHADER, fragmentText, source, "frag:") : 0;
    GLuint program = fs != 0 ? glCreateProgram() : 0;
    if (program != 0 && !LinkProgram(program, vs, fs, source)) {
        glDeleteProgram(program);
        program = 0;
    }
    if (vs != 0)
        glDeleteShader(vs);
    if (fs != 0)
        glDeleteShader(fs);
    return program;
}

}  // namespace SPHERA
