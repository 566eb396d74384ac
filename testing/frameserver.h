// A real frame server, for the tests that render the show script: the
// library is loaded at run time (dlopen, RTLD_LOCAL) and driven through its
// C interface. Linked in directly, its C++ plug-ins crash on loading.
#pragma once

#include <memory>
#include <string>
#include <vector>

class frameserver {
 public:
  // Loads the library at path; ok() says whether that worked, error() why not.
  explicit frameserver(const std::string& library);
  ~frameserver();
  frameserver(const frameserver&) = delete;
  frameserver& operator=(const frameserver&) = delete;

  bool ok() const;
  const std::string& error() const;

  // Runs a script file (as Import does) and keeps its result, converted to
  // RGB. False, with error() set, if the script fails or gives no video.
  bool open(const std::string& script);

  // The opened video.
  int width() const;
  int height() const;
  int frames() const;
  unsigned fpsnumerator() const;
  unsigned fpsdenominator() const;

  // Frame n as RGB, three bytes a pixel, the top row first. False, with
  // error() set, if the frame server fails.
  bool frame(int n, std::vector<unsigned char>* rgb);

 private:
  struct library;
  std::unique_ptr<library> lib_;
  std::string error_;
};
