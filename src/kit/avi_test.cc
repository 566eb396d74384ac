#include "kit/avi.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/io.h"
#include "testdir.h"

#if defined(VANTREL_VIDEO)
extern "C" {
#include <libavformat/avformat.h>
}
#endif

namespace {

// Frames of odd and even sizes, each of its own bytes.
std::vector<std::string> someframes(int n, size_t size) {
  std::vector<std::string> frames;
  for (int i = 0; i < n; ++i) {
    std::string f(size + static_cast<size_t>(i % 3), '\0');
    for (size_t j = 0; j < f.size(); ++j) f[j] = static_cast<char>((j * 131 + static_cast<size_t>(i) * 7) & 0xff);
    frames.push_back(f);
  }
  return frames;
}

std::string writeavi(const std::string& path, const std::vector<std::string>& frames, uint64_t limit) {
#if defined(_WIN32)
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_BINARY, 0644);
#else
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
#endif
  EXPECT_GE(fd, 0);
  aviwriter avi(fd, frameof(videosize::pal), limit);
  std::string why;
  for (const std::string& f : frames)
    if (!avi.addframe(f, &why)) return why;
  if (!avi.finish(&why)) return why;
  closefile(fd);
  return "";
}

// How many times a four-character code stands in the file.
int count(const std::string& bytes, const std::string& fourcc) {
  int n = 0;
  for (size_t at = bytes.find(fourcc); at != std::string::npos; at = bytes.find(fourcc, at + 1)) ++n;
  return n;
}

TEST(Avi, AReaderGetsEveryFrameBackAsItWasWritten) {
  tempdir dir;
  const struct {
    const char* what;
    int frames;
    size_t size;
    uint64_t limit;
    int riffs;  // RIFF lists: past the first, the file is OpenDML
  } cases[] = {
      {"one frame", 1, 1001, avirifflimit, 1},
      {"a few, one RIFF", 12, 5000, avirifflimit, 1},
      {"past a small limit, in AVIX RIFFs", 40, 3001, 32 << 10, 5},
  };
  for (const auto& c : cases) {
    const std::string path = dir / "outhuffy.avi";
    const std::vector<std::string> frames = someframes(c.frames, c.size);
    ASSERT_EQ(writeavi(path, frames, c.limit), "") << c.what;
    const std::string bytes = readfile(path);
    EXPECT_EQ(count(bytes, "RIFF"), c.riffs) << c.what;
    EXPECT_EQ(count(bytes, "AVIX"), c.riffs - 1) << c.what;
    EXPECT_EQ(count(bytes, "ix00") > 0, c.riffs > 1) << c.what;  // standard indexes only in OpenDML form
    // Every RIFF within the limit; the sizes its header says add up.
    for (size_t at = bytes.find("RIFF"); at != std::string::npos; at = bytes.find("RIFF", at + 8)) {
      uint32_t size = 0;
      for (int b = 3; b >= 0; --b) size = size << 8 | static_cast<unsigned char>(bytes[at + 4 + b]);
      EXPECT_LE(size + 8, c.limit) << c.what;
      EXPECT_LE(at + 8 + size, bytes.size()) << c.what;
      if (at + 8 + size < bytes.size()) {
        EXPECT_EQ(bytes.substr(at + 8 + size, 4), "RIFF") << c.what;
      }
      at += 8 + size - 1;
    }
#if defined(VANTREL_VIDEO)
    av_log_set_level(AV_LOG_ERROR);
    AVFormatContext* in = nullptr;
    ASSERT_EQ(avformat_open_input(&in, path.c_str(), nullptr, nullptr), 0) << c.what;
    ASSERT_EQ(in->nb_streams, 1u);
    const AVStream* video = in->streams[0];
    EXPECT_EQ(video->codecpar->codec_id, AV_CODEC_ID_MJPEG) << c.what;
    EXPECT_EQ(video->codecpar->width, 720);
    EXPECT_EQ(video->codecpar->height, 576);
    EXPECT_EQ(av_cmp_q(video->time_base, AVRational{1, 25}), 0) << c.what;
    EXPECT_EQ(av_cmp_q(video->sample_aspect_ratio, AVRational{16, 15}), 0) << c.what;  // 4:3 on the screen
    EXPECT_EQ(video->nb_frames, c.frames) << c.what;
    AVPacket* packet = av_packet_alloc();
    size_t n = 0;
    while (av_read_frame(in, packet) >= 0) {
      if (n < frames.size()) {
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(packet->data), static_cast<size_t>(packet->size)),
                  frames[n])
            << c.what << ": frame " << n + 1;
      }
      EXPECT_TRUE(packet->flags & AV_PKT_FLAG_KEY) << c.what;
      ++n;
      av_packet_unref(packet);
    }
    EXPECT_EQ(n, frames.size()) << c.what;
    av_packet_free(&packet);
    avformat_close_input(&in);
#endif
  }
#if !defined(VANTREL_VIDEO)
  std::cout << "not read back: a build without the media library\n";
#endif
}

}  // namespace
