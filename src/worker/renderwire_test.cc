#include "worker/renderwire.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

namespace {

renderrequest showof(int slides) {
  renderrequest r;
  r.form = videoform::mkv;
  r.threads = 2;
  for (int k = 1; k <= slides; ++k) {
    if (k > 1) r.rows.push_back((k * 7) % 23 + 1);
    r.spans.push_back({uint64_t{1} << 33 | static_cast<uint64_t>(k) * 1000, static_cast<uint32_t>(500 + k)});
  }
  r.title = "Sommer \xe2\x80\x94 \xe5\xa4\x8f";
  r.musicname = "/music/song.mp3";
  return r;
}

std::string withfield(std::string wire, size_t index, uint32_t value) {
  std::memcpy(&wire[index * 4], &value, 4);
  return wire;
}

// The inode behind a descriptor, to tell which file came through.
ino_t inodeof(int fd) {
  struct stat st {};
  return fstat(fd, &st) == 0 ? st.st_ino : 0;
}

struct socketpair_ {
  int end[2] = {-1, -1};
  socketpair_() { EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, end), 0); }
  ~socketpair_() {
    for (const int fd : end)
      if (fd >= 0) ::close(fd);
  }
};

TEST(RenderWire, ARequestArrivesWholeWithItsDescriptors) {
  for (const bool music : {false, true}) {
    SCOPED_TRACE(music ? "with music" : "silent");
    renderrequest sent = showof(5);
    const int files[3] = {::open("/dev/null", O_RDONLY), ::open("/", O_RDONLY), ::open("/proc/self", O_RDONLY)};
    sent.source = files[0], sent.output = files[1], sent.music = music ? files[2] : -1;
    socketpair_ pair;
    std::string rest;
    ASSERT_EQ(sendrequest(pair.end[0], sent, &rest), 0);
    ASSERT_EQ(::write(pair.end[0], rest.data(), rest.size()), static_cast<ssize_t>(rest.size()));
    renderrequest got;
    std::string why;
    ASSERT_TRUE(receiverequest(pair.end[1], &got, &why)) << why;
    EXPECT_EQ(got.form, videoform::mkv);
    EXPECT_EQ(got.threads, 2);
    EXPECT_EQ(got.rows, sent.rows);
    ASSERT_EQ(got.spans.size(), 5u);
    EXPECT_EQ(got.spans[4].offset, sent.spans[4].offset);
    EXPECT_EQ(got.spans[4].size, sent.spans[4].size);
    EXPECT_EQ(got.title, sent.title);
    EXPECT_EQ(got.musicname, sent.musicname);
    EXPECT_EQ(inodeof(got.source), inodeof(files[0]));
    EXPECT_EQ(inodeof(got.output), inodeof(files[1]));
    EXPECT_EQ(got.music >= 0, music);
    if (music) {
      EXPECT_EQ(inodeof(got.music), inodeof(files[2]));
    }
    for (const int fd : {got.source, got.output, got.music, files[0], files[1], files[2]})
      if (fd >= 0) ::close(fd);
  }
}

TEST(RenderWire, RefusesARequestVantrelDoesNotSend) {
  const std::string wire = encoderequest(showof(3));
  // The body's fields: form 2, size 3, threads 4, slides 5, title 6,
  // music 7, what it has 8; then two rows, three spans (and, for HD, three
  // pictures), the names.
  renderrequest hd = showof(3);
  hd.size = videosize::hd1080;
  for (int k = 0; k < 3; ++k) hd.pictures.push_back({uint64_t{4} << 20 * k, 1440, 1080});
  const std::string hdwire = encoderequest(hd);
  std::string badrow = wire, badspan = wire, widepicture = hdwire;
  badrow[8 + 28] = 24;
  std::memset(&badspan[8 + 28 + 2 + 12 + 8], 0, 4);              // slide 2's frame of no bytes
  std::memset(&widepicture[8 + 28 + 2 + 36 + 16 + 8], 0x7f, 2);  // slide 2's picture far wider than the frame
  renderrequest ok;
  size_t descriptors = 0;
  std::string why;
  ASSERT_TRUE(decoderequest(hdwire, &ok, &descriptors, &why)) << why;
  EXPECT_EQ(ok.pictures.size(), 3u);
  EXPECT_EQ(ok.pictures[2].offset, uint64_t{4} << 40);
  EXPECT_EQ(descriptors, 3u) << "the pictures' file beside the video and the output";
  const std::pair<const char*, std::string> bad[] = {
      {"not a request", withfield(wire, 0, 0x12345678)},
      {"a size that is not the body's", withfield(wire, 1, static_cast<uint32_t>(wire.size()))},
      {"no such form", withfield(wire, 2, 3)},
      {"no such size", withfield(wire, 3, 4)},
      {"a DVD in HD", withfield(withfield(hdwire, 2, 2), 3, 2)},
      {"HD without its pictures", withfield(hdwire, 8, 0)},
      {"pictures for PAL", withfield(wire, 8, 2)},
      {"no threads", withfield(wire, 4, 0)},
      {"too many threads", withfield(wire, 4, threadlimit + 1)},
      {"no slides", withfield(wire, 5, 0)},
      {"more slides than it holds", withfield(wire, 5, 4)},
      {"a title longer than any", withfield(wire, 6, titlelimit + 1)},
      {"something else it has", withfield(wire, 8, 4)},
      {"no such row", badrow},
      {"a frame of no bytes", badspan},
      {"a picture wider than its frame allows", widepicture},
      {"cut short", wire.substr(0, wire.size() - 1)},
      {"a byte too many", wire + "x"},
  };
  for (const auto& [what, bytes] : bad) {
    renderrequest r;
    EXPECT_FALSE(decoderequest(bytes, &r, &descriptors, &why)) << what;
  }
}

TEST(RenderWire, ARequestCutShortOversizedOrWithoutItsDescriptorsIsRefused) {
  const std::string wire = encoderequest(showof(3));
  const struct {
    const char* what;
    std::string bytes;
    int descriptors;
  } cases[] = {
      {"cut short by its sender", wire.substr(0, wire.size() - 5), 2},
      {"larger than any request", withfield(wire.substr(0, 8), 1, static_cast<uint32_t>(requestlimit + 1)), 2},
      {"no descriptors", wire, 0},
      {"one descriptor fewer than it says", withfield(wire, 8, 1), 2},
  };
  for (const auto& c : cases) {
    socketpair_ pair;
    int fds[2] = {::open("/dev/null", O_RDONLY), ::open("/dev/null", O_RDONLY)};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof fds)] = {};
    iovec iov{const_cast<char*>(c.bytes.data()), 8};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    if (c.descriptors > 0) {
      msg.msg_control = control;
      msg.msg_controllen = CMSG_SPACE(sizeof fds);
      cmsghdr* h = CMSG_FIRSTHDR(&msg);
      h->cmsg_level = SOL_SOCKET, h->cmsg_type = SCM_RIGHTS, h->cmsg_len = CMSG_LEN(sizeof fds);
      std::memcpy(CMSG_DATA(h), fds, sizeof fds);
    }
    ASSERT_EQ(sendmsg(pair.end[0], &msg, 0), 8);
    ASSERT_EQ(::write(pair.end[0], c.bytes.data() + 8, c.bytes.size() - 8), static_cast<ssize_t>(c.bytes.size() - 8));
    ::close(pair.end[0]);
    pair.end[0] = -1;
    renderrequest r;
    std::string why;
    EXPECT_FALSE(receiverequest(pair.end[1], &r, &why)) << c.what;
    EXPECT_NE(why, "") << c.what;
    for (const int fd : fds) ::close(fd);
  }
}

TEST(RenderWire, ReportsComeWholeAndNothingElseIsTaken) {
  std::string pending;
  for (const renderreport& r : {renderreport{renderreport::kind::progress, 4512, ""},
                                renderreport{renderreport::kind::music, 0, "not audio\nor damaged"},
                                renderreport{renderreport::kind::failure, 0, "no space \x1b[2J left"},
                                renderreport{renderreport::kind::forbidden, 41, ""}})
    pending += encodereport(r);
  const std::string whole = pending;
  renderreport got;
  ASSERT_EQ(decodereport(&pending, &got), reportparse::complete);
  EXPECT_EQ(got.what, renderreport::kind::progress);
  EXPECT_EQ(got.number, 4512u);
  ASSERT_EQ(decodereport(&pending, &got), reportparse::complete);
  EXPECT_EQ(got.text, "not audio or damaged");  // one line
  ASSERT_EQ(decodereport(&pending, &got), reportparse::complete);
  EXPECT_EQ(got.text, "no space \\033[2J left");  // nothing reaches the terminal as a control
  ASSERT_EQ(decodereport(&pending, &got), reportparse::complete);
  EXPECT_EQ(got.what, renderreport::kind::forbidden);
  EXPECT_EQ(got.number, 41u);
  EXPECT_EQ(decodereport(&pending, &got), reportparse::incomplete);
  // A report cut anywhere waits for the rest.
  for (size_t n = 0; n < whole.find('\n'); ++n) {
    std::string cut = whole.substr(0, n);
    EXPECT_EQ(decodereport(&cut, &got), reportparse::incomplete) << n;
  }
  const char* const bad[] = {"X1\n", "P\n", "P12a\n", "P-3\n", "P99999999999999999999\n", "\n", "F\n"};
  for (const char* line : bad) {
    std::string one = line;
    EXPECT_EQ(decodereport(&one, &got), reportparse::malformed) << line;
  }
  std::string endless(reportlimit, 'E');
  EXPECT_EQ(decodereport(&endless, &got), reportparse::malformed) << "a line longer than any report";
}

}  // namespace
