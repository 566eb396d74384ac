#include "driver/showvideo.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "base/io.h"
#include "driver/listing.h"
#include "kit/folder.h"
#include "worker/renderwire.h"

bool videosizeof(const std::string& file, const std::string& size, videosize* chosen, std::string* why) {
  const bool dvd = videoformof(file) == videoform::mpg;
  if (size.empty()) {
    *chosen = dvd ? videosize::pal : videosize::hd1080;
    return true;
  }
  for (const framesize& f : framesizes)
    if (size == f.name) {
      *chosen = static_cast<videosize>(&f - framesizes);
      if (!dvd || *chosen == videosize::pal) return true;
      *why = "a .mpg is a PAL DVD's video, always pal";
      return false;
    }
  *why = "a size is pal, 720p, 1080p or 2160p";
  return false;
}

picturewish pictureswanted(const videooptions& options, bool fit) {
  const framesize& frame = frameof(options.size);
  picturewish wish;
  wish.framewidth = frame.width, wish.frameheight = frame.height;
  if (options.size == videosize::pal) {
    wish.box = fit ? picturewish::place::kitfitted : picturewish::place::kitstretched;
    wish.bt709 = false;
  }
  if (options.motion) wish.margin = motionmargin;
  return wish;
}

std::string videoplaceproblem(const std::string& file) {
  const size_t slash = file.rfind('/');
  const std::string name = slash == std::string::npos ? file : file.substr(slash + 1);
  if (isstill(name)) return "a later run would take it for a camera still (its name begins with DSC and contains .JPG)";
  const std::string folder = folderof(file);
  if (const int error = writablefolder(folder))
    return (slash == std::string::npos ? std::string("the current folder") : "its folder " + folder) + ": " +
           std::strerror(error);
  std::error_code unseen;
  if (std::filesystem::is_directory(std::filesystem::u8path(file), unseen)) return std::strerror(EISDIR);
  return "";
}

std::string musicproblem(const std::string& file) {
  std::string why;
  const int fd = openregular(file, &why);
  if (fd < 0) return why;
  closefile(fd);
  return "";
}

std::string progressline(const std::string& name, int done, int total, double secondsleft) {
  auto grouped = [](int n) {
    std::string digits = std::to_string(n), out;
    for (size_t i = 0; i < digits.size(); ++i) {
      if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
      out += digits[i];
    }
    return out;
  };
  const int percent = total > 0 ? static_cast<int>(int64_t{done} * 100 / total) : 100;
  std::string line = "rendering " + name + ": " + grouped(done) + " of " + grouped(total) + " frames (" +
                     std::to_string(percent) + " %)";
  if (secondsleft >= 0) {
    const long s = static_cast<long>(secondsleft + 0.5);
    char left[32];
    std::snprintf(left, sizeof left, "%ld:%02ld", s / 60, s % 60);
    line += std::string(", ") + left + " left";
  }
  return line;
}
