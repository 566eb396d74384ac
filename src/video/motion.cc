#include "video/motion.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr double pi = 3.14159265358979323846;
// How far a pan goes across the room the zoom leaves, from the middle to
// each side (1: to the picture's edge): far enough to be seen, and slowly
// enough (half a pixel a frame at 1080p, on the mean) that the encoder's
// small errors of place stay a small part of each frame's move.
constexpr double panreach = 0.6;

// Direction d's steps across and down: 0 to the right, then an eighth of a
// turn further for each, clockwise on screen.
constexpr int across[motiondirections] = {1, 1, 0, -1, -1, -1, 0, 1};
constexpr int down[motiondirections] = {0, 1, 1, 1, 0, -1, -1, -1};

}  // namespace

window windowat(const slidemotion& motion, double t, double width, double height) {
  const double eased = (1 - std::cos(pi * std::clamp(t, 0.0, 1.0))) / 2;
  double zoom = motionzoom, from = 0, to = 0;  // the zoom, and the centre's travel across the slack
  switch (motion.how) {
    case slidemotion::kind::zoomin: zoom = 1 + (motionzoom - 1) * eased; break;
    case slidemotion::kind::zoomout: zoom = motionzoom - (motionzoom - 1) * eased; break;
    case slidemotion::kind::pan: from = -panreach, to = panreach; break;
    case slidemotion::kind::zoompan:
      zoom = 1 + (motionzoom - 1) * eased;
      to = panreach;
      break;
  }
  window w;
  w.width = width / zoom;
  w.height = height / zoom;
  // The centre, from the middle, across half the room left on each side
  // toward the direction: at -1 and 1 the window touches the picture's edge.
  const double travel = from + (to - from) * eased;
  const int d = motion.direction % motiondirections;
  w.left = (width - w.width) / 2 * (1 + travel * across[d]);
  w.top = (height - w.height) / 2 * (1 + travel * down[d]);
  return w;
}
