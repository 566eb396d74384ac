// An antialiased resize: a separable Lanczos filter of three lobes whose
// support widens with the reduction, so that every source pixel counts and
// detail finer than the new size allows fades to its average instead of
// folding back as false patterns. Enlarging uses the same filter unwidened.
//
// Fixed-point weights and integer sums: the same pixels give the same
// result on every machine.
#pragma once

#include <cstddef>
#include <vector>

// 8 bits a channel, channels interleaved, rows top to bottom.
struct pixels {
  unsigned width = 0;
  unsigned height = 0;
  unsigned channels = 0;
  std::vector<unsigned char> data;  // width * height * channels bytes
};

// The filter: Lanczos of lanczoslobes lobes at x pixels from the centre
// (of the unwidened filter), 0 beyond them. The render's moving slides
// sample with it too.
constexpr double lanczoslobes = 3;
double lanczos(double x);

// src resized to width x height. extentx and extenty are how many of src's
// pixels the result spans (src's own width and height, or a little less
// where src's last column or row covers only part of a pixel): the result's
// pixel i is centred on src's (i + 1/2) * extent / size - 1/2. Pixels past
// src's edges repeat its edge.
pixels resample(const pixels& src, double extentx, double extenty, unsigned width, unsigned height);
