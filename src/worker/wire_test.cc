#include "worker/wire.h"

#include <gtest/gtest.h>

namespace {

slideresult framedresult() {
  slideresult framed;
  framed.state = slidestate::framed;
  framed.width = 4000;
  framed.height = 3000;
  framed.jpeg = std::string("\xff\xd8") + "pixels" + "\xff\xd9";
  return framed;
}

std::string withfield(std::string wire, size_t index, uint32_t value) {
  return wire.replace(index * 4, 4, reinterpret_cast<const char*>(&value), 4);
}

std::string note(long call) {
  const replyheader h = forbiddennote(call);
  return std::string(reinterpret_cast<const char*>(&h), sizeof h);
}

TEST(Reply, RoundTripsAndComesWholeOrNotAtAll) {
  const slideresult framed = framedresult();
  const std::string wire = encodereply(framed);
  slideresult back;
  size_t used = 0;
  ASSERT_EQ(decodereply(wire + "the next reply", &back, &used), replyparse::complete);
  EXPECT_EQ(used, wire.size());
  EXPECT_EQ(back.state, slidestate::framed);
  EXPECT_EQ(back.width, 4000u);
  EXPECT_EQ(back.height, 3000u);
  EXPECT_EQ(back.jpeg, framed.jpeg);
  // Every cut of it is incomplete, not malformed and not a shorter reply.
  for (size_t n = 0; n < wire.size(); ++n)
    EXPECT_EQ(decodereply(wire.substr(0, n), &back, &used), replyparse::incomplete) << n;

  slideresult failed;
  failed.state = slidestate::unscalable;
  failed.reason = "bad\x1b[31mcolour\n\xc3\xa9";
  ASSERT_EQ(decodereply(encodereply(failed), &back, &used), replyparse::complete);
  EXPECT_EQ(back.state, slidestate::unscalable);
  EXPECT_EQ(back.reason, "bad?[31mcolour???");  // nothing reaches the terminal as a control
}

TEST(Reply, TheSandboxNoteIsALastReply) {
  slideresult back;
  size_t used = 0;
  ASSERT_EQ(decodereply(note(-1) + "anything", &back, &used), replyparse::last);
  EXPECT_EQ(used, sizeof(replyheader));
  EXPECT_EQ(back.state, slidestate::unloadable);
  EXPECT_EQ(back.reason, "the image library attempted a forbidden operation");
}

TEST(Reply, RefusesWhatNoSoundWorkerSends) {
  const std::string wire = encodereply(framedresult());
  slideresult notjpeg = framedresult(), unframed = framedresult(), open = framedresult(), huge = framedresult();
  notjpeg.jpeg = "GIF89a.........";
  unframed.state = slidestate::unscalable;
  open.jpeg = std::string("\xff\xd8") + "no end marker";
  huge.jpeg = std::string("\xff\xd8") + std::string(framelimit, 'x') + "\xff\xd9";
  slideresult pictured = framedresult();
  pictured.picturewidth = 3, pictured.pictureheight = 2;
  pictured.picture = std::string(6 + 2 * 2, 'p');
  const std::string withpicture = encodereply(pictured);
  slideresult loose = pictured;
  loose.state = slidestate::unscalable;
  loose.jpeg.clear();
  const std::pair<const char*, std::string> bad[] = {
      {"not a reply", withfield(wire, 0, 0x12345678)},
      {"no such state", withfield(wire, 1, 5)},
      {"a state far out", withfield(wire, 1, 99)},
      {"a reason longer than any", withfield(wire, 4, reasonlimit + 1)},
      {"a frame larger than any", withfield(wire, 5, framelimit + 1)},
      {"a frame that is no JPEG", encodereply(notjpeg)},
      {"a JPEG cut short", encodereply(open)},
      {"a frame without framed", encodereply(unframed)},
      {"framed without a frame", withfield(withfield(wire, 5, 0), 1, 0)},
      {"an encoded frame over the bound", encodereply(huge)},
      {"a note with a reason", withfield(note(2), 4, 3) + "why"},
      {"a note with a frame", withfield(note(2), 5, 4) + "\xff\xd8\xff\xd9"},
      {"a note with a height", withfield(note(2), 3, 1)},
      {"a note of another kind", withfield(note(2), 0, 0)},
      {"a picture without its frame", encodereply(loose)},
      {"a picture of another size's bytes", withfield(withpicture, 6, 4)},
      {"a picture of no height", withfield(withpicture, 7, 0)},
      {"a size without a picture", withfield(wire, 6, 3)},
      {"a picture larger than any", withfield(withfield(withfield(withpicture, 6, 8000), 7, 8000), 8, 96000000)},
      {"a note with a picture", withfield(note(2), 8, 10)},
  };
  slideresult back;
  size_t used = 0;
  ASSERT_EQ(decodereply(withpicture, &back, &used), replyparse::complete) << "the picture as made";
  EXPECT_EQ(back.picture, pictured.picture);
  for (const auto& [what, bytes] : bad) {
    slideresult back;
    size_t used = 0;
    EXPECT_EQ(decodereply(bytes, &back, &used), replyparse::malformed) << what;
  }
}

}  // namespace
