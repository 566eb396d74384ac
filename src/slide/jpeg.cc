#include "slide/jpeg.h"

#include <csetjmp>
#include <cstdio>

// The JPEG library's header needs FILE and size_t declared before it.
// clang-format off
#include <jpeglib.h>
// clang-format on

namespace {

// The library ends a fault through error_exit, which must not return: it
// jumps back to the call that began the work. Nothing between the setjmp
// and the jump owns anything that needs its destructor.
struct faultcatcher {
  jpeg_error_mgr manager;
  std::jmp_buf back;
};

void onfault(j_common_ptr info) { std::longjmp(reinterpret_cast<faultcatcher*>(info->err)->back, 1); }
// Warnings (a damaged entropy code) are the image library's business to
// report, as it does for the full decode: nothing is printed.
void onmessage(j_common_ptr) {}

// The bytes in memory as the library's source. Where they end early the
// library is given an end marker, and the decode counts as failed.
struct memorysource {
  jpeg_source_mgr manager;
  bool ranout;
};

void noinit(j_decompress_ptr) {}
boolean refill(j_decompress_ptr info) {
  static const JOCTET end[] = {0xFF, JPEG_EOI};
  auto* src = reinterpret_cast<memorysource*>(info->src);
  src->ranout = true;
  src->manager.next_input_byte = end;
  src->manager.bytes_in_buffer = sizeof end;
  return TRUE;
}
void skip(j_decompress_ptr info, long count) {
  if (count <= 0) return;
  jpeg_source_mgr& src = *info->src;
  if (static_cast<size_t>(count) > src.bytes_in_buffer) {
    src.bytes_in_buffer = 0;
    refill(info);
  } else {
    src.next_input_byte += count;
    src.bytes_in_buffer -= static_cast<size_t>(count);
  }
}
void noterm(j_decompress_ptr) {}

// A decompressor over data with its header read; false if the header is
// not one this module decodes. Called under the caller's setjmp.
bool begin(jpeg_decompress_struct* info, memorysource* src, const void* data, size_t size) {
  src->manager.next_input_byte = static_cast<const JOCTET*>(data);
  src->manager.bytes_in_buffer = size;
  src->manager.init_source = noinit;
  src->manager.fill_input_buffer = refill;
  src->manager.skip_input_data = skip;
  src->manager.resync_to_restart = jpeg_resync_to_restart;
  src->manager.term_source = noterm;
  src->ranout = false;
  info->src = &src->manager;
  if (jpeg_read_header(info, TRUE) != JPEG_HEADER_OK || src->ranout) return false;
  // Colours as the image library decodes them: YCbCr to RGB, grey as grey.
  return (info->jpeg_color_space == JCS_YCbCr && info->num_components == 3) ||
         (info->jpeg_color_space == JCS_GRAYSCALE && info->num_components == 1);
}

// A decompressor whose faults jump back to the caller's setjmp on
// fault.back, with the memory source it reads from.
struct decompressor {
  faultcatcher fault;
  jpeg_decompress_struct info;
  memorysource src;

  decompressor() {
    info.err = jpeg_std_error(&fault.manager);
    fault.manager.error_exit = onfault;
    fault.manager.output_message = onmessage;
    jpeg_create_decompress(&info);
  }
  ~decompressor() { jpeg_destroy_decompress(&info); }
  decompressor(const decompressor&) = delete;
  decompressor& operator=(const decompressor&) = delete;
};

}  // namespace

bool readjpegheader(const void* data, size_t size, jpegheader* header) {
  decompressor d;
  jpeg_decompress_struct& info = d.info;
  volatile bool ok = false;
  if (setjmp(d.fault.back) == 0 && begin(&info, &d.src, data, size)) {
    header->width = info.image_width;
    header->height = info.image_height;
    header->channels = static_cast<unsigned>(info.num_components);
    ok = true;
  }
  return ok;
}

bool decodejpeg(const void* data, size_t size, unsigned denominator, size_t memorylimit, pixels* out) {
  decompressor d;
  jpeg_decompress_struct& info = d.info;
  if (memorylimit != 0) info.mem->max_memory_to_use = static_cast<long>(memorylimit);
  volatile bool ok = false;
  // out's pixels are allocated before the decode starts and written through
  // a plain pointer, so a jump out of the library leaves nothing behind.
  if (setjmp(d.fault.back) == 0 && begin(&info, &d.src, data, size)) {
    info.scale_num = 1;
    info.scale_denom = denominator;
    jpeg_calc_output_dimensions(&info);
    out->width = info.output_width;
    out->height = info.output_height;
    out->channels = static_cast<unsigned>(info.output_components);
    out->data.assign(static_cast<size_t>(out->width) * out->height * out->channels, 0);
    unsigned char* rows = out->data.data();
    const size_t stride = static_cast<size_t>(out->width) * out->channels;
    jpeg_start_decompress(&info);
    while (info.output_scanline < info.output_height) {
      JSAMPROW row = rows + info.output_scanline * stride;
      if (jpeg_read_scanlines(&info, &row, 1) != 1) break;
    }
    const bool whole = info.output_scanline == info.output_height && !d.src.ranout;
    if (whole) jpeg_finish_decompress(&info);
    ok = whole && !d.src.ranout;
  }
  return ok;
}
