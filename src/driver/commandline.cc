#include "driver/commandline.h"

#include <cstring>

#include "driver/version.h"

const char versiontext[] = "vantrel " VANTREL_VERSION "\n";

const char usageline[] =
    "usage: vantrel [--help] [--version] [--fit] [--video FILE [--size SIZE] [--motion] [--music FILE] "
    "[--title TEXT]] [FOLDER]\n";

const char helptext[] =
    "usage: vantrel [--fit] [--video FILE [--size SIZE] [--motion] [--music FILE] [--title TEXT]] [FOLDER]\n"
    "Turns the camera stills in FOLDER (the current folder if none is given),\n"
    "the files whose names begin with DSC and contain .JPG, into 720 x 576\n"
    "frames out0001.jpg, out0002.jpg ..., the video outhuffy.avi that holds\n"
    "them and the slide show script anim.avs, all written in that folder.\n"
    "At the end, on a terminal, it waits for a key.\n"
    "\n"
    "  --fit           show each photo whole in its true shape, upright and\n"
    "                  centred on black, as a 4:3 screen shows the frame\n"
    "  --video FILE    also render the show into FILE: .mp4 or .mkv (H.264),\n"
    "                  or .mpg (MPEG-2 for a PAL DVD)\n"
    "  --size SIZE     the video's frame: 720p, 1080p (the default for .mp4 and\n"
    "                  .mkv) or 2160p, each photo whole and made from the\n"
    "                  original; or pal, the kit's 720 x 576 frames (a .mpg's)\n"
    "  --motion        every photo drifts while it is shown: a slow zoom in or\n"
    "                  out, or a pan across part of it, smooth to the sub-pixel\n"
    "  --music FILE    the show's music (any audio file), looped and faded out;\n"
    "                  the script's mpasource line names it\n"
    "  --title TEXT    the title card's text (the video's default: the folder's\n"
    "                  name); the script's card says it too\n"
    "  -h, --help      show this help and exit\n"
    "  --version       show the version and exit\n"
    "\n"
    "Exit status: 0 every still became a slide; 1 a mistake on the command line\n"
    "(a --video or --music file that cannot be used too), a folder that cannot be\n"
    "opened or that another run is busy with; 2 a still or the log could not be\n"
    "made, or the run failed and left the folder's frames and script as they were,\n"
    "or the video or its music could not be made.\n"
    "See vantrel(1).\n";

namespace {

// An option that takes a value.
bool valued(const std::string& a) {
  for (const char* name : {"--video", "--size", "--music", "--title"}) {
    const size_t n = std::strlen(name);
    if (a.compare(0, n, name) == 0 && (a.size() == n || a[n] == '=')) return true;
  }
  return false;
}

}  // namespace

commandline parsecommandline(const std::vector<std::string>& args) {
  commandline line;
  bool options = true;
  std::vector<std::string> operands;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (options && a == "--") {
      options = false;
    } else if (options && (a == "--help" || a == "-h")) {
      if (line.what == commandline::action::run) line.what = commandline::action::help;
    } else if (options && a == "--fit") {
      line.fit = true;
    } else if (options && a == "--motion") {
      line.motion = true;
    } else if (options && a == "--version") {
      if (line.what == commandline::action::run) line.what = commandline::action::version;
    } else if (options && valued(a)) {
      std::string name = a, value;
      const size_t equals = a.find('=');
      if (equals != std::string::npos) {
        name = a.substr(0, equals), value = a.substr(equals + 1);
      } else if (++i < args.size()) {
        value = args[i];
      } else {
        return {commandline::action::mistake, "", "option '" + a + "' needs a value"};
      }
      if (name != "--title" && value.empty())
        return {commandline::action::mistake, "",
                "option '" + name + "': " + (name == "--size" ? "an empty size" : "an empty file name")};
      (name == "--video"   ? line.video
       : name == "--size"  ? line.size
       : name == "--music" ? line.music
                           : line.title) = value;
      if (name == "--title") line.hastitle = true;
    } else if (options && a.size() > 1 && a[0] == '-') {
      return {commandline::action::mistake, "", "unknown option '" + a + "'"};
    } else {
      operands.push_back(a);
    }
  }
  if (operands.size() > 1)
    return {commandline::action::mistake, "", "one folder at most, not " + std::to_string(operands.size())};
  if (!operands.empty() && operands[0].empty()) return {commandline::action::mistake, "", "an empty folder name"};
  if (!operands.empty()) line.folder = operands[0];
  return line;
}
