// src/worker/ (this folder): the worker processes: the process layer a
// platform implements (subprocess.h; the driver's side subprocess-*.cc, the
// worker's child-*.cc and child.h), the byte layout of jobs and replies
// (wire.h), the pool that hands out stills and takes results in order
// (pool.h), the sandbox (sandbox.h), and the render program's process
// (job.h) and its wire (renderwire.h).
//
// The folder's overview: this file declares nothing.
#pragma once
