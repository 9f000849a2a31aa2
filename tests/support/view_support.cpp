#include "support/view_support.h"

#include <GL/gl.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "media/hmfformat.h"
#include "support/media_encoder.h"
#include "support/player_media.h"

namespace fs = std::filesystem;

namespace viewtest {

std::vector<std::vector<uint8_t>> FlatRecords(uint32_t width, uint32_t height, uint8_t y, uint8_t u,
                                              uint8_t v, uint32_t frames) {
    quorix_test::VideoEncodeOptions options;
    options.width = width;
    options.height = height;
    options.frames = frames;
    const std::vector<quorix_test::Picture> pictures(
        frames, quorix_test::FlatPicture(width, height, y, u, v));
    const auto packets = quorix_test::EncodePictures(options, pictures);
    std::vector<std::vector<uint8_t>> records;
    for (size_t i = 0; i < packets.size(); ++i) {
        records.push_back(playertest::MakeRecord(
            packets[i].key ? BRIXEL::HMF_KIND_KEY : BRIXEL::HMF_KIND_DELTA,
            static_cast<uint32_t>(i), static_cast<uint32_t>(i) * 40, 1,
            static_cast<uint16_t>(width), static_cast<uint16_t>(height), packets[i].data));
    }
    return records;
}

bool Feed(uint16_t port, const std::vector<std::vector<uint8_t>>& records) {
    for (const auto& record : records) {
        if (QUORIX_InputStreamData(port, record.data(), static_cast<uint32_t>(record.size())) !=
            QUORIX_OK) {
            return false;
        }
    }
    return !records.empty();
}

std::vector<SnapRectCase> SnapRectCases() {
    const float nan = std::nanf("");
    return {
        {"whole", 0.0f, 0.0f, 1.0f, 1.0f, QUORIX_OK},
        {"right half", 0.5f, 0.0f, 0.5f, 1.0f, QUORIX_OK},
        {"tenths", 0.1f, 0.1f, 0.9f, 0.9f, QUORIX_OK},
        {"past the right edge", 0.5f, 0.0f, 1.0f, 1.0f, QUORIX_E_PARAM},
        {"past the bottom edge", 0.0f, 0.25f, 0.5f, 0.8f, QUORIX_E_PARAM},
        {"left of the picture", -0.1f, 0.0f, 0.5f, 0.5f, QUORIX_E_PARAM},
        {"above the picture", 0.0f, -0.5f, 0.5f, 1.0f, QUORIX_E_PARAM},
        {"wider than the picture", 0.0f, 0.0f, 2.0f, 1.0f, QUORIX_E_PARAM},
        {"empty", 0.2f, 0.2f, 0.0f, 0.5f, QUORIX_E_PARAM},
        {"negative height", 0.2f, 0.6f, 0.5f, -0.5f, QUORIX_E_PARAM},
        {"not a number", nan, 0.0f, 0.5f, 0.5f, QUORIX_E_PARAM},
    };
}

bool IsGreen(const uint8_t* p) {
    return p[1] > 150 && p[0] < 90 && p[2] < 90;
}
bool IsBlue(const uint8_t* p) {
    return p[2] > 150 && p[0] < 90 && p[1] < 90;
}
bool IsRed(const uint8_t* p) {
    return p[0] > 150 && p[1] < 90 && p[2] < 90;
}

void DrawProbe::Callback(uint16_t port, uint16_t region, int32_t drawMode, QUORIX_HDC dc,
                         const QUORIX_RECT* image, const QUORIX_RECT* rect, void* user) {
    auto* self = static_cast<DrawProbe*>(user);
    uint8_t centre[4] = {}, overlay[4] = {};
    const bool read = self->readBack && drawMode == 1 && rect != nullptr &&
                      rect->right > rect->left + 8 && rect->bottom > rect->top + 8;
    if (read) {
        // The region's rectangle is in window GL coordinates: y counts from the bottom edge.
        glReadPixels((rect->left + rect->right) / 2, (rect->top + rect->bottom) / 2, 1, 1, GL_RGBA,
                     GL_UNSIGNED_BYTE, centre);
        GLfloat clear[4];
        glGetFloatv(GL_COLOR_CLEAR_VALUE, clear);
        glEnable(GL_SCISSOR_TEST);
        glScissor(rect->left + 2, rect->top + 2, 4, 4);
        glClearColor(1.0f, 0.0f, 0.0f, 1.0f);
        glClear(GL_COLOR_BUFFER_BIT);
        glDisable(GL_SCISSOR_TEST);
        glClearColor(clear[0], clear[1], clear[2], clear[3]);
        glReadPixels(rect->left + 3, rect->top + 3, 1, 1, GL_RGBA, GL_UNSIGNED_BYTE, overlay);
    }
    std::lock_guard<std::mutex> guard(self->lock);
    ++self->calls;
    self->port = port;
    self->region = region;
    self->drawMode = drawMode;
    self->dc = dc;
    self->hadRects = image != nullptr && rect != nullptr;
    if (image != nullptr)
        self->image = *image;
    if (rect != nullptr)
        self->rect = *rect;
    if (read) {
        std::copy(centre, centre + 4, self->centre);
        std::copy(overlay, overlay + 4, self->overlay);
    }
    if (!self->want || (read && self->want(centre)))
        ++self->good;
    self->changed.notify_all();
}

bool DrawProbe::WaitGood(int n) {
    std::unique_lock<std::mutex> guard(lock);
    return changed.wait_for(guard, std::chrono::milliseconds(kWaitMs), [&] { return good >= n; });
}

void StatusProbe::Callback(uint16_t, uint32_t status, void* user) {
    auto* self = static_cast<StatusProbe*>(user);
    std::lock_guard<std::mutex> guard(self->lock);
    self->statuses.push_back(status);
    self->changed.notify_all();
}

bool StatusProbe::WaitFor(uint32_t status) {
    std::unique_lock<std::mutex> guard(lock);
    return changed.wait_for(guard, std::chrono::milliseconds(kWaitMs), [&] {
        for (uint32_t s : statuses) {
            if (s == status)
                return true;
        }
        return false;
    });
}

LogFiles::LogFiles() {
    fs::create_directories(m_dir.Path("log"));
    const std::string base = m_dir.Path("log/quorix");
    QUORIX_SetLogAttribute(1, 10, base.c_str(), "txt");
}

LogFiles::~LogFiles() {
    QUORIX_SetLogAttribute(0, 0, nullptr, nullptr);
}

std::string LogFiles::Text() const {
    std::string text;
    for (const auto& entry : fs::directory_iterator(m_dir.Path("log"))) {
        std::ifstream in(entry.path(), std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        text += s.str();
    }
    return text;
}

}  // namespace viewtest
