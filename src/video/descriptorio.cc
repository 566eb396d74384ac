#include "video/descriptorio.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>

extern "C" {
#include <libavutil/error.h>
#include <libavutil/mem.h>
}

#include "base/io.h"

namespace {

struct place {
  int fd;
  uint64_t at;
};

int readpacket(void* opaque, uint8_t* data, int size) {
  place& p = *static_cast<place*>(opaque);
  size_t got = 0;
  const int error = readat(p.fd, p.at, data, static_cast<size_t>(size), &got);
  if (error) return AVERROR(error);
  if (got == 0) return AVERROR_EOF;
  p.at += got;
  return static_cast<int>(got);
}

int writepacket(void* opaque, uint8_t* data, int size) {
  place& p = *static_cast<place*>(opaque);
  const int error = writeallat(p.fd, p.at, data, static_cast<size_t>(size));
  if (error) return AVERROR(error);
  p.at += static_cast<uint64_t>(size);
  return size;
}

int64_t seekplace(void* opaque, int64_t offset, int whence) {
  place& p = *static_cast<place*>(opaque);
  uint64_t size = 0;
  if ((whence & AVSEEK_SIZE) || (whence & ~AVSEEK_FORCE) == SEEK_END) {
    const int error = filesize(p.fd, &size);
    if (error) return AVERROR(error);
    if (whence & AVSEEK_SIZE) return static_cast<int64_t>(size);
  }
  int64_t to;
  switch (whence & ~AVSEEK_FORCE) {
    case SEEK_SET: to = offset; break;
    case SEEK_CUR: to = static_cast<int64_t>(p.at) + offset; break;
    case SEEK_END: to = static_cast<int64_t>(size) + offset; break;
    default: return AVERROR(EINVAL);
  }
  if (to < 0) return AVERROR(EINVAL);
  p.at = static_cast<uint64_t>(to);
  return to;
}

AVIOContext* descriptorio(int fd, bool write) {
  constexpr int size = static_cast<int>(iochunk);
  auto* buffer = static_cast<unsigned char*>(av_malloc(size));
  auto* at = static_cast<place*>(av_malloc(sizeof(place)));
  AVIOContext* io = buffer && at ? avio_alloc_context(buffer, size, write ? 1 : 0, at, write ? nullptr : readpacket,
                                                      write ? writepacket : nullptr, seekplace)
                                 : nullptr;
  if (!io) {
    av_free(buffer);
    av_free(at);
    return nullptr;
  }
  *at = {fd, 0};
  return io;
}

}  // namespace

AVIOContext* descriptorreader(int fd) { return descriptorio(fd, false); }
AVIOContext* descriptorwriter(int fd) { return descriptorio(fd, true); }

void freedescriptorio(AVIOContext** io) {
  if (!*io) return;
  av_freep(&(*io)->opaque);
  av_freep(&(*io)->buffer);
  avio_context_free(io);
}
