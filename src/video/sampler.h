// A moving picture's pixels for each frame (--motion): the window of a
// photo's picture (motion.h) drawn into its box in the frame, every output
// sample a separable Lanczos sum of three lobes taken at its own fractional
// place in the picture, never rounded to a pixel or to the chroma's grid,
// so that a window a tenth of a pixel further along shows the picture a
// tenth of a pixel further along. The filter widens with the reduction, as
// resample.h's does, so fine detail keeps its contrast from frame to frame
// instead of shimmering.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "video/format.h"
#include "video/motion.h"

// A picture as the workers make it (slide/picture.h): planar YUV 4:2:0,
// chroma beside the even columns, between two rows.
struct yuvpicture {
  int width = 0, height = 0;
  std::string bytes;
  int planewidth(int p) const { return p == 0 ? width : (width + 1) / 2; }
  int planeheight(int p) const { return p == 0 ? height : (height + 1) / 2; }
  const uint8_t* plane(int p) const;
};

class sampler {
 public:
  // Draws window w of picture into out (composepixels or streampixels) at
  // left, top, boxwidth x boxheight; left and top are even, so that a
  // 4:2:0 frame's chroma lies on the box's own grid. Rows below or beside
  // the box are left as they are.
  void draw(const yuvpicture& picture, const window& w, AVFrame* out, int left, int top, int boxwidth, int boxheight);

 private:
  std::vector<int32_t> first_, rowfirst_;
  std::vector<int16_t> weights_, rowweights_, middle_;
};
