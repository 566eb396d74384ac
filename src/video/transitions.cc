#include "video/transitions.h"

#include <cerrno>

extern "C" {
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavutil/opt.h>
}

#include "video/render.h"

const char* xfadename(int row) {
  static const char* const names[23] = {
      "fade",                                                 // Dissolve
      "wipeleft",   "wiperight",   "wipeup",   "wipedown",    // Wipe
      "smoothleft", "smoothright", "smoothup", "smoothdown",  // FuzzyWipe
      "squeezeh",                                             // TransFunnel
      "circleopen",                                           // TransMarbles
      "slideright", "slideleft",                              // TransSprite
      "zoomin",                                               // TransFlipTurn
      "radial",                                               // TransDisco
      "diagbr",                                               // TransSlantRollIn "se"
      "dissolve",                                             // TransPaint
      "wipetl",                                               // TransPeel
      "vertopen",                                             // TransTwinDoors
      "hlslice",    "hrslice",                                // TransShuffle
      "pixelize",                                             // TransCrumple
      "hblur",                                                // TransScratch
  };
  return row >= 1 && row <= 23 ? names[row - 1] : "fade";
}

transition::~transition() { avfilter_graph_free(&graph_); }

bool transition::open(int row, int steps, const frameformat& format, std::string* why) {
  graph_ = avfilter_graph_alloc();
  if (!graph_) return *why = "out of memory", false;
  // The graph runs in the calling thread and one more: while a
  // transition is drawn, the encoder waits for its frames.
  graph_->nb_threads = 2;
  const char* name = xfadename(row == 0 ? 1 : row);
  auto add = [&](const char* filter, const char* label) {
    return avfilter_graph_alloc_filter(graph_, avfilter_get_by_name(filter), label);
  };
  for (int i = 0; i < 2; ++i) {
    AVFilterContext* source = add("buffer", i == 0 ? "a" : "b");
    AVBufferSrcParameters* p = av_buffersrc_parameters_alloc();
    if (!source || !p) {
      av_free(p);
      return *why = "out of memory", false;
    }
    p->format = composepixels;
    p->width = format.width;
    p->height = format.height;
    p->time_base = {1, showrate};
    p->frame_rate = {showrate, 1};
    p->sample_aspect_ratio = format.aspect;
    const int code = av_buffersrc_parameters_set(source, p);
    av_free(p);
    if (code < 0 || avfilter_init_str(source, nullptr) < 0) return *why = "cannot set up a buffer source", false;
    sources_[i] = source;
  }
  AVFilterContext* x = add("xfade", "xfade");
  sink_ = add("buffersink", "out");
  // The sink takes composed pictures only: the graph has nothing to convert.
  const AVPixelFormat taken[] = {composepixels, AV_PIX_FMT_NONE};
  if (!x || !sink_ || av_opt_set(x, "transition", name, AV_OPT_SEARCH_CHILDREN) < 0 ||
      av_opt_set_int(x, "duration", int64_t{steps + 1} * AV_TIME_BASE / showrate, AV_OPT_SEARCH_CHILDREN) < 0 ||
      av_opt_set_int(x, "offset", 0, AV_OPT_SEARCH_CHILDREN) < 0 || avfilter_init_dict(x, nullptr) < 0 ||
      av_opt_set_int_list(sink_, "pix_fmts", taken, AV_PIX_FMT_NONE, AV_OPT_SEARCH_CHILDREN) < 0 ||
      avfilter_init_str(sink_, nullptr) < 0 || avfilter_link(sources_[0], 0, x, 0) < 0 ||
      avfilter_link(sources_[1], 0, x, 1) < 0 || avfilter_link(x, 0, sink_, 0) < 0)
    return *why = std::string("cannot set up the transition ") + name, false;
  const int code = avfilter_graph_config(graph_, nullptr);
  if (code < 0) return *why = std::string("cannot set up the transition ") + name + ": " + averror(code), false;
  // A filter that converts would have been added to the graph.
  if (graph_->nb_filters != 4) return *why = std::string("the transition ") + name + " converts its pictures", false;
  return true;
}

frameptr transition::step(int j, const AVFrame* a, const AVFrame* b, std::string* why) {
  if (j == 0) {
    if (!push(0, a, a, why)) return nullptr;
    frameptr skipped = pull(why);
    if (!skipped) return nullptr;
  }
  if (!push(j + 1, a, b, why)) return nullptr;
  return pull(why);
}

bool transition::push(int pts, const AVFrame* a, const AVFrame* b, std::string* why) {
  for (int i = 0; i < 2; ++i) {
    frameptr ref(av_frame_clone(i == 0 ? a : b));
    if (!ref) return *why = "out of memory", false;
    ref->pts = pts;
    const int code = av_buffersrc_add_frame(sources_[i], ref.get());
    if (code < 0) return *why = "transition: " + averror(code), false;
  }
  return true;
}

frameptr transition::pull(std::string* why) {
  frameptr out(av_frame_alloc());
  const int code = out ? av_buffersink_get_frame(sink_, out.get()) : AVERROR(ENOMEM);
  if (code < 0) return *why = "transition: " + averror(code), nullptr;
  return out;
}
