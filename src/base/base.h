// src/base/ (this folder): what every module may use, knowing nothing of
// slides: the frame's sizes (frame.h), whole reads and writes through
// descriptors (io.h), a buffered stream that keeps its first error
// (output.h), printable text (text.h), and the guard that holds Ctrl-C back
// between steps (interrupt.h).
//
// The folder's overview: this file declares nothing.
#pragma once
