// src/video/ (this folder): the render program, vantrel-render (main.cc;
// its run, serve.h), the only code that calls the media library, in rooms:
// what the library has (media.h), the video's format and the conversion to
// the stream's (format.h), reads and writes through the render's
// descriptors (descriptorio.h), the pictures it makes itself (pictures.h),
// the transitions (transitions.h), a moving slide's window (motion.h) and
// its sampling (sampler.h), the music (music.h), the file and its encoders
// (mux.h), and the frame loop (render.h) with its queue of frames on their
// way to the encoder (framequeue.h).
//
// The folder's overview: this file declares nothing.
#pragma once
