#include "video/motion.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr double pi = 3.14159265358979323846;

// Direction d's steps across and down: 0 to the right, then an eighth of a
// turn further for each, clockwise on screen.
constexpr int across[motiondirections] = {1, 1, 0, -1, -1, -1, 0, 1};
constexpr int down[motiondirections] = {0, 1, 1, 1, 0, -1, -1, -1};

}  // namespace

window windowat(const slidemotion& motion, double t, double width, double height) {
  const double eased = (1 - std::cos(pi * std::clamp(t, 0.0, 1.0))) / 2;
  double zoom = motionmargin, from = 0, to = 0;  // the zoom, and the centre's travel across the slack
  switch (motion.how) {
    case slidemotion::kind::zoomin: zoom = 1 + (motionmargin - 1) * eased; break;
    case slidemotion::kind::zoomout: zoom = motionmargin - (motionmargin - 1) * eased; break;
    case slidemotion::kind::pan: from = -1, to = 1; break;
    case slidemotion::kind::zoompan:
      zoom = 1 + (motionmargin - 1) * eased;
      to = 1;
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
