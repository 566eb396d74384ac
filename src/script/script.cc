#include "script/script.h"

#include <cstdlib>
#include <ctime>
#include <string>

#include "script/timeline.h"

using namespace std::string_view_literals;

constexpr std::string_view headerstart =
    "Import(\"c:\\apps\\avisynth2\\plugins\\avsi\\dv.avsi\") # for newundot()\n"
    " Import(\"c:\\apps\\avisynth2\\plugins\\avsi\\transitions.avsi\")\n"
    " Import(\"c:\\apps\\avisynth2\\plugins\\avsi\\jdl-effects.avsi\")\n"
    " Import(\"c:\\apps\\avisynth2\\plugins\\avsi\\jdl-range.avsi\")\n"
    " Import(\"c:\\apps\\avisynth2\\plugins\\avsi\\lremovedust.avsi\")\n"
    " Import(\"c:\\apps\\avisynth2\\plugins\\avsi\\limitedsharpenfaster.avsi\")\n"
    " LoadPlugin(\"c:\\apps\\avisynth2\\plugins\\transall\\TransAll.dll\") # transitions\n"
    " LoadPlugin(\"c:\\apps\\avisynth2\\plugins\\effectsmany\\EffectsMany.dll\") # effects\n"
    // Where the multi-threaded build's call does not exist, it is skipped.
    " try { setmtmode(2,2) } catch(err) { }\n"
    " n="sv;
// Here stands the number of slides.
constexpr std::string_view headerend =
    "                            # numbers of stills\n"
    " fname=\""sv;
// Here stands the frames' name pattern.
constexpr std::string_view headerframes =
    "\"\n"
    " exposition=150                  # should be even. includes overlap (change in future)\n"
    " overlap=20\n"
    " framerate=25\n"
    "\n"
    "\n"
    " "sv;

constexpr std::string_view sourcestart = "video=directshowsource(\""sv;
// Here stands the video's name.
constexpr std::string_view sourcevideo =
    "\")\n"
    " video=video.DUP_FRAMES(exposition)\n"
    " video=video.AssumeFPS(framerate).converttoyv12(interlaced=false)\n"
    " video=video.trim(0,exposition*"sv;
// Here stands the number of slides: the video is cut after the last one.
constexpr std::string_view sourcemusic = ")\n audio=mpasource("sv;
// Here stands the music's path.
constexpr std::string_view musicplaceholder = "\"c:\\path\\toyourmusic\\x.mp3\""sv;
constexpr std::string_view sourceend =
    ")\n"
    " video=audiodub(video,audio)\n"
    " video=video.assumetff() # assume TFF video\n"
    " \n"sv;

constexpr std::string_view titlestart = "\ncredstart=BlankClip(video.trim(0,100)).Subtitle( \\ \n"sv;
// Here stand the card's lines, then its settings.
constexpr std::string_view titleplaceholder =
    "   \"\\n\\n\\n\\n            Put your clip introduction\\n\"+ \\ \n"
    "   \"                here\\n\" + \\ \n"
    "   \"\\n                            \\n\" + \\ \n"
    "   \"\\n           Website: vantrel.example.org\", \\ \n"
    "          "sv;
constexpr std::string_view titleend =
    "lsp=10, halo_color=$ff000000, size=32) \n"
    " video=Dissolve(credstart,video,10)\n"sv;

const std::string titleblockwhole = std::string(titlestart) + std::string(titleplaceholder) + std::string(titleend);
const std::string_view titleblock = titleblockwhole;

const std::string_view endblock =
    "\n"
    "video\n"
    " function DUP_FRAMES(clip clip, int count)\n"
    " {\n"
    "   # tricky !\n"
    "   # add room for new frames (changeFPS doesn't change the framecount)\n"
    "   clip + BlankClip(clip,length=clip.framecount*(count-1)-(count/2))\n"
    // Frame k of the source is frames k*count ... k*count+count-1 now.
    "   ChangeFPS(framerate*count)\n"
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

namespace {

// The number a script of `slides` slides writes on the header's "n=" line
// and in the source block's cut; a script of no slides keeps the fixed
// numbers it has always had.
std::string slidecount(int slides, const char* none) { return slides > 0 ? std::to_string(slides) : none; }

}  // namespace

std::string headerblock(int slides) {
  return std::string(headerstart) + slidecount(slides, "50") + std::string(headerend) + framepattern +
         std::string(headerframes);
}

std::string sourceblock(int slides) { return sourceblock(slides, {}); }

std::string sourceblock(int slides, const scriptoptions& options) {
  return std::string(sourcestart) + videoname + std::string(sourcevideo) + slidecount(slides, "89") +
         std::string(sourcemusic) +
         (options.music.empty() ? std::string(musicplaceholder) : avisynthstring(options.music)) +
         std::string(sourceend);
}

std::string avisynthstring(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"') {
      out += "\" + Chr(34) + \"";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  out += '"';
  // An expression that begins or ends with an empty piece says the same without it.
  if (out.compare(0, 5, "\"\" + ") == 0) out.erase(0, 5);
  if (out.size() >= 5 && out.compare(out.size() - 5, 5, " + \"\"") == 0) out.erase(out.size() - 5);
  return out;
}

std::string titlecardblock(const scriptoptions& options) {
  if (options.title.empty()) return std::string(titleblock);
  std::string text;
  for (const std::string& line : titlelines(options.title)) text += (text.empty() ? "" : "\n") + line;
  bool wide = false;
  for (const char c : text) wide |= static_cast<unsigned char>(c) >= 0x80;
  // Centred in the card; UTF-8 read as such where it is more than ASCII.
  return std::string(titlestart) + "   " + avisynthstring(text) + ", \\ \n" + "          align=5, " +
         (wide ? "utf8=true, " : "") + std::string(titleend);
}

void writescriptopening(std::ostream& out, int slides) { out << headerblock(slides) << sourceblock(slides); }

void writeclipline(std::ostream& out, int slide) {
  out << "video" << slide << "=video.trim(exposition*" << slide - 1 << ",exposition*" << slide << "-1)\n";
}

void writetransitionchain(std::ostream& out, int count, const std::function<int()>& draw) {
  writetransitionchain(out, drawrows(count - 1, draw));
}

void writetransitionchain(std::ostream& out, const std::vector<int>& rows) {
  out << openingeffectline;
  for (size_t j = 0; j < rows.size(); ++j) {
    const transition& row = transitions.at(static_cast<size_t>(rows[j] - 1));
    out << row.prefix << j + 2 << row.suffix;
  }
}

void writescriptclosing(std::ostream& out) { out << titleblock << endblock; }

void writescript(std::ostream& out, int slides, const std::function<int()>& draw) {
  writescript(out, slides, drawrows(slides, draw));
}

void writescript(std::ostream& out, int slides, const std::vector<int>& rows, const scriptoptions& options) {
  out << headerblock(slides) << sourceblock(slides, options);
  for (int k = 1; k <= slides; ++k) writeclipline(out, k);
  writetransitionchain(out, rows);
  out << titlecardblock(options) << endblock;
}

std::vector<int> drawrowsnow(int slides) {
  std::srand(static_cast<unsigned>(std::time(nullptr)));
  return drawrows(slides, [] { return std::rand(); });
}

void writescript(std::ostream& out, int slides) { writescript(out, slides, drawrowsnow(slides)); }
