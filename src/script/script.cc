#include "script/script.h"

#include <cstdlib>
#include <ctime>

using namespace std::string_view_literals;

const char scriptname[] = "anim.avs";

const std::string_view headerblock =
    "Import(\"c:\\apps\\avisynth2\\plugins\\avsi\\dv.avsi\") # for newundot()\n"
    " Import(\"c:\\apps\\avisynth2\\plugins\\avsi\\transitions.avsi\")\n"
    " Import(\"c:\\apps\\avisynth2\\plugins\\avsi\\jdl-effects.avsi\")\n"
    " Import(\"c:\\apps\\avisynth2\\plugins\\avsi\\jdl-range.avsi\")\n"
    " Import(\"c:\\apps\\avisynth2\\plugins\\avsi\\lremovedust.avsi\")\n"
    " Import(\"c:\\apps\\avisynth2\\plugins\\avsi\\limitedsharpenfaster.avsi\")\n"
    " LoadPlugin(\"c:\\apps\\avisynth2\\plugins\\transall\\TransAll.dll\") # transitions\n"
    " LoadPlugin(\"c:\\apps\\avisynth2\\plugins\\effectsmany\\EffectsMany.dll\") # effects\n"
    " setmtmode(2,2)\n"
    " n=50                            # numbers of stills\n"
    " fname=\"out%04d.jpg\"\n"
    " exposition=150                  # should be even. includes overlap (change in future)\n"
    " overlap=20\n"
    " framerate=25\n"
    "\n"
    "\n"
    " "sv;

const std::string_view sourceblock =
    "video=directshowsource(\"outhuffy.avi\")\n"
    " video=video.DUP_FRAMES(exposition)\n"
    " video=video.AssumeFPS(framerate).converttoyv12(interlaced=false)\n"
    " video=video.trim(0,exposition*89)\n"
    " audio=mpasource(\"c:\\path\\toyourmusic\\x.mp3\")\n"
    " video=audiodub(video,audio)\n"
    " video=video.assumetff() # assume TFF video\n"
    " \n"sv;

const std::string_view titleblock =
    "\n"
    "credstart=BlankClip(video.trim(0,100)).Subtitle( \\ \n"
    "   \"\\n\\n\\n\\n            Put your clip introduction\\n\"+ \\ \n"
    "   \"                here\\n\" + \\ \n"
    "   \"\\n                            \\n\" + \\ \n"
    "   \"\\n           Website: vantrel.example.org\", \\ \n"
    "          lsp=10, halo_color=$ff000000, size=32) \n"
    " video=Dissolve(credstart,video,10)\n"sv;

const std::string_view endblock =
    "\n"
    "video\n"
    " function DUP_FRAMES(clip clip, int count)\n"
    " {\n"
    "   # tricky !\n"
    "   # add room for new frames (changeFPS doesn't change the framecount)\n"
    "   clip + BlankClip(clip,length=clip.framecount*(count-1)-(count/2))\n"
    "   ChangeFPS(framerate*count)\n"
    "   # the first frame was only reproduced count/2 times\n"
    "   Trim(0,(count/2-1)) + last\n"
    "   return last\n"
    " }\n"
    " \n"sv;

const std::string_view openingeffectline = "video=video1.EffectFireworks1(1,50,rise=280)++video1\n"sv;

const std::array<transition, 23> transitions = {{
    {"video=Dissolve(video,video", ", overlap)\n"},
    {"video=Wipe(video,video", ",overlap,\"left\")\n"},
    {"video=Wipe(video,video", ",overlap,\"right\")\n"},
    {"video=Wipe(video,video", ",overlap,\"up\")\n"},
    {"video=Wipe(video,video", ",overlap,\"down\")\n"},
    {"video=FuzzyWipe(video,video", ",overlap,12,\"left\")\n"},
    {"video=FuzzyWipe(video,video", ",overlap,12,\"right\")\n"},
    {"video=FuzzyWipe(video,video", ",overlap,12,\"up\")\n"},
    {"video=FuzzyWipe(video,video", ",overlap,12,\"down\")\n"},
    {"video=TransFunnel(video, video", ",overlap)\n"},
    {"video=TransMarbles(video, video", ",overlap)\n"},
    {"video=TransSprite(video, video", ",overlap/3,\"right\")\n"},
    {"video=TransSprite(video, video", ",overlap/3,\"left\")\n"},
    {"video=TransFlipTurn(video, video", ",-3,-2,nturns=0)\n"},
    {"video=TransDisco(video, video", ",overlap)\n"},
    {"video=TransSlantRollIn(video, video", ",overlap,\"se\")\n"},
    {"video=TransPaint(video, video", ",overlap)\n"},
    {"video=TransPeel(video, video", ",overlap)\n"},
    {"video=TransTwinDoors(video, video", ",overlap,false,true)\n"},
    {"video=TransShuffle(video, video", ",overlap,\"left\")\n"},
    {"video=TransShuffle(video, video", ",overlap,\"right\")\n"},
    {"video=TransCrumple(video, video", ",overlap)\n"},
    {"video=TransScratch(video, video", ",overlap,\"laser\")\n"},
}};

void writescriptopening(std::ostream& out) { out << headerblock << sourceblock; }

void writeclipline(std::ostream& out, int slide) {
  out << "video" << slide << "=video.trim(exposition*" << slide - 1 << ",exposition*" << slide
      << "-1)\n";
}

void writetransitionchain(std::ostream& out, int count, const std::function<int()>& draw) {
  out << openingeffectline;
  for (int i = 2; i < count - 1; ++i) {
    const transition& row = transitions[static_cast<size_t>(draw() % 23)];
    out << row.prefix << i << row.suffix;
  }
}

void writetransitionchain(std::ostream& out, int count) {
  std::srand(static_cast<unsigned>(std::time(nullptr)));
  writetransitionchain(out, count, [] { return std::rand(); });
}

void writescriptclosing(std::ostream& out) { out << titleblock << endblock; }
