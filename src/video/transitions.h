// The transitions between two pictures: row 1 ... 23 of the script's
// table as the media library's xfade filter draws it (render.h's
// xfadename). xfade works in 4:4:4, so both pictures and every picture it
// makes are composed (format.h's composepixels), and nothing in the graph
// converts them.
#pragma once

#include <string>

#include "video/format.h"

struct AVFilterGraph;
struct AVFilterContext;

// One transition: xfade over steps + 1 frames, the first of which (the
// outgoing picture alone) is not shown, so that step j shows the incoming
// picture at weight (j + 1) / (steps + 1), as the script's dissolves do.
class transition {
 public:
  transition() = default;
  ~transition();
  transition(const transition&) = delete;
  transition& operator=(const transition&) = delete;

  // Row 0 is the title card's dissolve. False, with *why.
  bool open(int row, int steps, const frameformat& format, std::string* why);
  // The picture of step j between a (outgoing) and b (incoming); steps
  // come in order from 0. Null, with *why.
  frameptr step(int j, const AVFrame* a, const AVFrame* b, std::string* why);

 private:
  bool push(int pts, const AVFrame* a, const AVFrame* b, std::string* why);
  frameptr pull(std::string* why);
  AVFilterGraph* graph_ = nullptr;
  AVFilterContext* sources_[2] = {nullptr, nullptr};
  AVFilterContext* sink_ = nullptr;
};
