#include "audio_support.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>

namespace audio_test {

namespace {

// A directory of this process for the configuration and the captured files, removed at exit.
class CTestDirectory {
public:
    CTestDirectory() {
        const char* base = std::getenv("TMPDIR");
        std::string pattern =
            std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/quorix_audio_XXXXXX";
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        if (mkdtemp(buffer.data()) != nullptr)
            m_path = buffer.data();
    }
    ~CTestDirectory() {
        std::error_code ignored;
        if (!m_path.empty())
            std::filesystem::remove_all(m_path, ignored);
    }
    const std::string& Path() const { return m_path; }

private:
    std::string m_path;  // empty when no directory could be made: the tests then fail to capture
};

const std::string& TestDirectory() {
    static const CTestDirectory dir;
    return dir.Path();
}

void ConfigureAlsaOnce() {
    static std::once_flag once;
    std::call_once(once, [] {
        const std::string config = TestDirectory() + "/asound.conf";
        std::ofstream out(config);
        out << "</usr/share/alsa/alsa.conf>\n"
               "pcm.quorix_wav {\n"
               "  @args [ FILE ]\n"
               "  @args.FILE { type string }\n"
               "  type file\n"
               "  slave.pcm \"null\"\n"
               "  file $FILE\n"
               "  format \"wav\"\n"
               "}\n";
        out.close();
        setenv("ALSA_CONFIG_PATH", config.c_str(), 1);
    });
}

uint32_t Le(const std::vector<uint8_t>& b, size_t at, int bytes) {
    uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i)
        v = (v << 8) | b[at + static_cast<size_t>(i)];
    return v;
}

}  // namespace

void UseDevice(const std::string& pcm) {
    ConfigureAlsaOnce();
    setenv("QUORIX_AUDIO_DEVICE", pcm.c_str(), 1);
}

std::string WavDevice(const std::string& stem, std::string* path) {
    *path = TestDirectory() + "/" + stem + ".wav";
    std::filesystem::remove(*path);
    return "quorix_wav:FILE=" + *path;
}

WavFile ReadWav(const std::string& path) {
    WavFile wav;
    std::ifstream in(path, std::ios::binary);
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                     std::istreambuf_iterator<char>());
    if (bytes.size() < 44 || std::memcmp(bytes.data(), "RIFF", 4) != 0 ||
        std::memcmp(bytes.data() + 8, "WAVE", 4) != 0)
        return wav;
    // Walk the chunks: "fmt " gives the format, "data" the samples.
    size_t at = 12;
    bool haveFormat = false;
    while (at + 8 <= bytes.size()) {
        const uint32_t size = Le(bytes, at + 4, 4);
        const size_t body = at + 8;
        if (std::memcmp(bytes.data() + at, "fmt ", 4) == 0 && body + 16 <= bytes.size()) {
            wav.channels = static_cast<uint16_t>(Le(bytes, body + 2, 2));
            wav.sampleRate = Le(bytes, body + 4, 4);
            wav.bitsPerSample = static_cast<uint16_t>(Le(bytes, body + 14, 2));
            haveFormat = true;
        } else if (std::memcmp(bytes.data() + at, "data", 4) == 0) {
            const size_t end = std::min(bytes.size(), body + size);
            wav.data.assign(bytes.begin() + static_cast<std::ptrdiff_t>(body),
                            bytes.begin() + static_cast<std::ptrdiff_t>(end));
            wav.ok = haveFormat;
            return wav;
        }
        at = body + size + (size & 1u);
    }
    return wav;
}

}  // namespace audio_test
