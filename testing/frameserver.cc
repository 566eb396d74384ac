#include "frameserver.h"

#include <dlfcn.h>

// Declares the interface's functions as pointer types (name##_func) only:
// they are looked up in the library loaded at run time.
#define AVSC_NO_DECLSPEC
#include <avisynth/avisynth_c.h>

struct frameserver::library {
  void* handle = nullptr;
  AVS_ScriptEnvironment* env = nullptr;
  AVS_Clip* clip = nullptr;
  const AVS_VideoInfo* info = nullptr;

  // clang-format off
#define VANTREL_AVS_FUNCTIONS(X) \
  X(avs_create_script_environment) \
  X(avs_delete_script_environment) \
  X(avs_get_error) \
  X(avs_invoke) \
  X(avs_release_value) \
  X(avs_take_clip) \
  X(avs_release_clip) \
  X(avs_clip_get_error) \
  X(avs_get_video_info) \
  X(avs_get_frame) \
  X(avs_release_video_frame) \
  X(avs_get_read_ptr_p) \
  X(avs_get_pitch_p)
  // clang-format on
#define VANTREL_AVS_DECLARE(name) name##_func name = nullptr;
  VANTREL_AVS_FUNCTIONS(VANTREL_AVS_DECLARE)

  // Loads the library and finds every function; the reason if it cannot.
  std::string load(const std::string& path) {
    handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) return dlerror();
#define VANTREL_AVS_LOOKUP(name)                              \
  name = reinterpret_cast<name##_func>(dlsym(handle, #name)); \
  if (!name) return path + ": no function " #name;
    VANTREL_AVS_FUNCTIONS(VANTREL_AVS_LOOKUP)
    env = avs_create_script_environment(AVISYNTH_INTERFACE_VERSION);
    if (!env) return path + ": cannot create a script environment";
    if (const char* why = avs_get_error(env)) return why;
    return "";
  }

  ~library() {
    if (clip) avs_release_clip(clip);
    if (env) avs_delete_script_environment(env);
    // The library stays loaded: its plug-ins leave handlers behind that
    // would point nowhere.
  }
};

frameserver::frameserver(const std::string& path) : lib_(std::make_unique<library>()) { error_ = lib_->load(path); }

frameserver::~frameserver() = default;

bool frameserver::ok() const { return error_.empty(); }

const std::string& frameserver::error() const { return error_; }

bool frameserver::open(const std::string& script) {
  if (!ok()) return false;
  library& l = *lib_;
  AVS_Value name = avs_new_value_string(script.c_str());
  AVS_Value imported = l.avs_invoke(l.env, "Import", avs_new_value_array(&name, 1), nullptr);
  if (avs_is_error(imported)) {
    error_ = avs_as_error(imported);
    return false;
  }
  if (!avs_is_clip(imported)) {
    l.avs_release_value(imported);
    error_ = script + ": the script's result is not a video";
    return false;
  }
  // AviSynth's RGB is stored bottom row first, blue first: frame() turns it round.
  AVS_Value rgb = l.avs_invoke(l.env, "ConvertToRGB24", avs_new_value_array(&imported, 1), nullptr);
  l.avs_release_value(imported);
  if (avs_is_error(rgb)) {
    error_ = avs_as_error(rgb);
    return false;
  }
  l.clip = l.avs_take_clip(rgb, l.env);
  l.avs_release_value(rgb);
  l.info = l.avs_get_video_info(l.clip);
  return true;
}

int frameserver::width() const { return lib_->info ? lib_->info->width : 0; }
int frameserver::height() const { return lib_->info ? lib_->info->height : 0; }
int frameserver::frames() const { return lib_->info ? lib_->info->num_frames : 0; }
unsigned frameserver::fpsnumerator() const { return lib_->info ? lib_->info->fps_numerator : 0; }
unsigned frameserver::fpsdenominator() const { return lib_->info ? lib_->info->fps_denominator : 0; }

bool frameserver::frame(int n, std::vector<unsigned char>* rgb) {
  library& l = *lib_;
  if (!l.clip) return false;
  AVS_VideoFrame* f = l.avs_get_frame(l.clip, n);
  if (const char* why = l.avs_clip_get_error(l.clip)) {
    error_ = why;
    if (f) l.avs_release_video_frame(f);
    return false;
  }
  const BYTE* bottom = l.avs_get_read_ptr_p(f, AVS_DEFAULT_PLANE);
  const ptrdiff_t pitch = l.avs_get_pitch_p(f, AVS_DEFAULT_PLANE);
  const size_t w = static_cast<size_t>(width()), h = static_cast<size_t>(height());
  rgb->resize(w * h * 3);
  for (size_t y = 0; y < h; ++y) {
    const BYTE* row = bottom + pitch * static_cast<ptrdiff_t>(h - 1 - y);
    unsigned char* to = rgb->data() + y * w * 3;
    for (size_t x = 0; x < w; ++x, row += 3, to += 3) to[0] = row[2], to[1] = row[1], to[2] = row[0];
  }
  l.avs_release_video_frame(f);
  return true;
}
