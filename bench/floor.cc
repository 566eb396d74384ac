// floor STILL...: the image library's own share of a vantrel run. Makes, for
// each still in the current directory, the same library calls vantrel makes
// (load, size, scale, centre a portrait, save as out<NNNN>.jpg) and nothing
// else: no directory listing, no console log, no script, no error checks.
#include <IL/il.h>
#include <IL/ilu.h>

#include <cstdio>

#include "script/script.h"
#include "slide/slide.h"

int main(int argc, char** argv) {
  ilInit();
  iluInit();
  for (int i = 1; i < argc; ++i) {
    ilLoadImage(argv[i]);
    const unsigned width = static_cast<unsigned>(ilGetInteger(IL_IMAGE_WIDTH));
    const unsigned height = static_cast<unsigned>(ilGetInteger(IL_IMAGE_HEIGHT));
    if (height > width) {
      ilClearColour(0, 0, 0, 0);
      iluImageParameter(ILU_FILTER, ILU_BILINEAR);
      iluScale(portraitwidth(width, height), frameheight, 1);
      iluImageParameter(ILU_PLACEMENT, ILU_CENTER);
      iluEnlargeCanvas(framewidth, frameheight, 1);
    } else {
      iluImageParameter(ILU_FILTER, ILU_BILINEAR);
      iluScale(framewidth, frameheight, 1);
    }
    const std::string output = slidename(i);
    std::remove(output.c_str());
    ilSaveImage(output.c_str());
  }
  return 0;
}
