#pragma once
// The GL plumbing every part of the renderer shares: shader compiling, program linking, their
// info logs and the text of GL errors. The callers pass in the source name (and, for errors,
// the function and line) that their log lines carry, so that a line names the code it is about
// rather than this helper.

#include <cstdint>

namespace SPHERA {

// The attribute every program of the renderer reads its vertices from (bound before linking).
constexpr uint32_t kVertexAttribute = 3;

// printf format of the log line of a GL error: "GL(%#x) " and the error's name, such as
// "GL(%#x) Invalid Enum"; unknown codes are "Other Error".
const char* GlErrorFormat(uint32_t error);
// Takes the pending GL error, if any, and logs it at level 10 as the caller's line.
void LogGlError(const char* source, const char* function, int line);

// Compiles `text` into `shader`. When it does not compile and `source` is given, the shader's
// info log is logged as "<prefix><log>" (a caller with a fallback of its own passes null and
// stays silent).
bool CompileShader(uint32_t shader, const char* text, const char* source, const char* prefix);
// Creates a shader of `type` and compiles `text` into it; 0 when either fails (nothing is left).
uint32_t CreateShader(uint32_t type, const char* text, const char* source, const char* prefix);
// Attaches both shaders to `program`, binds kVertexAttribute to "g_vertexIn" and links. When
// linking fails and `source` is given, the program's info log is logged.
bool LinkProgram(uint32_t program, uint32_t vertexShader, uint32_t fragmentShader,
                 const char* source);
// A program of its own from two shader texts; 0 when any step fails. The shaders are flagged
// for deletion and go with the program.
uint32_t BuildProgram(const char* vertexText, const char* fragmentText, const char* source);

}  // namespace SPHERA
