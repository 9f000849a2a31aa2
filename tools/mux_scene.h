#pragma once
// The built-in scenes of quorix-mux's demonstration recordings: pictures made without any input,
// one per call, for the encoder.

#include <memory>
#include <string>
#include <vector>

extern "C" {
#include <libavfilter/avfilter.h>
#include <libavutil/frame.h>
}

namespace quorix_tools {

// Kinds: "fisheye" (a room seen by a ceiling camera through an equidistant 180° lens: a round
// picture on black), "sphere" (2:1 equirectangular), "ring" (4:1) and "normal" (16:9).
class SceneSource {
public:
    SceneSource();
    ~SceneSource();
    SceneSource(const SceneSource&) = delete;
    SceneSource& operator=(const SceneSource&) = delete;

    // `width` is the picture width; false with a message in Error() when the scene cannot be made.
    bool Open(const std::string& kind, int width);
    int Width() const { return m_width; }
    int Height() const { return m_height; }
    int Model() const { return m_model; }       // the header's render model
    bool Fisheye() const { return m_fisheye; }  // the lens circle fills the square picture
    const std::string& Error() const { return m_error; }

    // Picture number `index` (25 a second) as YUV 4:2:0 into `frame`, which the caller unrefs.
    bool Next(int64_t index, AVFrame* frame);

private:
    struct Room;
    int m_width = 0, m_height = 0;
    int m_model = 0;
    bool m_fisheye = false;
    std::string m_error;
    AVFilterGraph* m_graph = nullptr;
    AVFilterContext* m_sink = nullptr;
    std::unique_ptr<Room> m_room;
};

}  // namespace quorix_tools
