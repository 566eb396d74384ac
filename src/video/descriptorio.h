// The media library's reads and writes through a descriptor the render was
// handed (it opens nothing): an AVIOContext that keeps its own offset and
// reads and writes there (base/io.h's readat and writeallat), so that a
// reader and a writer can share one descriptor. The mp4 muxer needs that
// to put its index before the data: at the end it reads back, through a
// second context, what it wrote, and writes it further on.
#pragma once

extern "C" {
#include <libavformat/avio.h>
}

// A context that reads fd from its start, or writes it; null without
// memory. Seeking, and asking for the size, work on both.
AVIOContext* descriptorreader(int fd);
AVIOContext* descriptorwriter(int fd);
// Frees what either made (after a writer's last avio_flush), and sets *io
// to null.
void freedescriptorio(AVIOContext** io);
