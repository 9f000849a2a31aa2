#include "support/filter_graph.h"

#include <cstdio>
#include <cstring>

extern "C" {
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavutil/frame.h>
#include <libavutil/mem.h>
}

namespace filtertest {

AVFrame* FilterPicture(int w, int h, const uint8_t* y, const uint8_t* u, const uint8_t* v,
                       const std::string& filters, int outW, int outH) {
    AVFilterGraph* graph = avfilter_graph_alloc();
    char args[256];
    std::snprintf(args, sizeof args, "video_size=%dx%d:pix_fmt=%d:time_base=1/25:pixel_aspect=1/1",
                  w, h, AV_PIX_FMT_YUV420P);
    AVFilterContext *src = nullptr, *sink = nullptr;
    if (avfilter_graph_create_filter(&src, avfilter_get_by_name("buffer"), "in", args, nullptr,
                                     graph) < 0 ||
        avfilter_graph_create_filter(&sink, avfilter_get_by_name("buffersink"), "out", nullptr,
                                     nullptr, graph) < 0) {
        avfilter_graph_free(&graph);
        return nullptr;
    }
    AVFilterInOut* outputs = avfilter_inout_alloc();
    AVFilterInOut* inputs = avfilter_inout_alloc();
    outputs->name = av_strdup("in");
    outputs->filter_ctx = src;
    inputs->name = av_strdup("out");
    inputs->filter_ctx = sink;
    const bool ok =
        avfilter_graph_parse_ptr(graph, filters.c_str(), &inputs, &outputs, nullptr) >= 0 &&
        avfilter_graph_config(graph, nullptr) >= 0;
    avfilter_inout_free(&inputs);
    avfilter_inout_free(&outputs);
    AVFrame* frame = av_frame_alloc();
    AVFrame* result = nullptr;
    if (ok) {
        frame->format = AV_PIX_FMT_YUV420P;
        frame->width = w;
        frame->height = h;
        frame->color_range = AVCOL_RANGE_MPEG;
        frame->colorspace = AVCOL_SPC_BT470BG;
        if (av_frame_get_buffer(frame, 0) >= 0) {
            for (int r = 0; r < h; ++r)
                std::memcpy(frame->data[0] + r * frame->linesize[0], y + size_t(r) * w, w);
            for (int r = 0; r < h / 2; ++r) {
                std::memcpy(frame->data[1] + r * frame->linesize[1], u + size_t(r) * (w / 2),
                            w / 2);
                std::memcpy(frame->data[2] + r * frame->linesize[2], v + size_t(r) * (w / 2),
                            w / 2);
            }
            frame->pts = 0;
            result = av_frame_alloc();
            if (av_buffersrc_add_frame(src, frame) < 0 ||
                av_buffersrc_add_frame(src, nullptr) < 0 ||
                av_buffersink_get_frame(sink, result) < 0 || result->width != outW ||
                result->height != outH)
                av_frame_free(&result);
        }
    }
    av_frame_free(&frame);
    avfilter_graph_free(&graph);
    return result;
}

}  // namespace filtertest
