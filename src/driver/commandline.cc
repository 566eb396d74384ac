#include "driver/commandline.h"

#include "driver/version.h"

const char versiontext[] = "vantrel " VANTREL_VERSION "\n";

const char usageline[] = "usage: vantrel [--help] [--version] [--fit] [FOLDER]\n";

const char helptext[] =
    "usage: vantrel [--fit] [FOLDER]\n"
    "Turns the camera stills in FOLDER (the current folder if none is given),\n"
    "the files whose names begin with DSC and contain .JPG, into 720 x 576\n"
    "frames out0001.jpg, out0002.jpg ..., the video outhuffy.avi that holds\n"
    "them and the slide show script anim.avs, all written in that folder.\n"
    "At the end, on a terminal, it waits for a key.\n"
    "\n"
    "  --fit        show each photo whole in its true shape, upright and centred\n"
    "               on black, as a 4:3 screen shows the frame\n"
    "  -h, --help   show this help and exit\n"
    "  --version    show the version and exit\n"
    "\n"
    "Exit status: 0 every still became a slide; 1 a mistake on the command line,\n"
    "a folder that cannot be opened or that another run is busy with; 2 a still\n"
    "or the log could not be made, or the run failed and left the folder's frames\n"
    "and script as they were. See vantrel(1).\n";

commandline parsecommandline(const std::vector<std::string>& args) {
  commandline line;
  bool options = true;
  std::vector<std::string> operands;
  for (const std::string& a : args) {
    if (options && a == "--") {
      options = false;
    } else if (options && (a == "--help" || a == "-h")) {
      if (line.what == commandline::action::run) line.what = commandline::action::help;
    } else if (options && a == "--fit") {
      line.fit = true;
    } else if (options && a == "--version") {
      if (line.what == commandline::action::run) line.what = commandline::action::version;
    } else if (options && a.size() > 1 && a[0] == '-') {
      return {commandline::action::mistake, "", "unknown option '" + a + "'"};
    } else {
      operands.push_back(a);
    }
  }
  if (operands.size() > 1) return {commandline::action::mistake, "", "one folder at most, not " + std::to_string(operands.size())};
  if (!operands.empty() && operands[0].empty()) return {commandline::action::mistake, "", "an empty folder name"};
  if (!operands.empty()) line.folder = operands[0];
  return line;
}
