#include "base/output.h"

#include <cerrno>
#include <cstring>
#include <streambuf>
#include <vector>

#include "base/io.h"

// A streambuf over a descriptor. Unlike std::filebuf it keeps the errno of
// the first failure, which later calls would otherwise overwrite.
class outputfile::fdbuf : public std::streambuf {
 public:
  explicit fdbuf(int fd, bool owned) : buffer_(iochunk), fd_(fd), owned_(owned) {
    setp(buffer_.data(), buffer_.data() + buffer_.size());
  }
  ~fdbuf() override { closefd(); }

  void adopt(int fd) {
    fd_ = fd;
    owned_ = true;
  }

  bool closefd() {
    if (fd_ >= 0) {
      drain();
      if (owned_) {
        if (error_.empty()) fail(syncfile(fd_));
        fail(closefile(fd_));
      }
      fd_ = -1;
    }
    return error_.empty();
  }

  const std::string& error() const { return error_; }

 protected:
  int_type overflow(int_type ch) override {
    if (!drain()) return traits_type::eof();
    if (!traits_type::eq_int_type(ch, traits_type::eof())) {
      *pptr() = traits_type::to_char_type(ch);
      pbump(1);
    }
    return traits_type::not_eof(ch);
  }

  int sync() override { return drain() ? 0 : -1; }

 private:
  // Writes what is buffered. After a failure the buffer is simply emptied:
  // the output is already incomplete and the first reason is what matters.
  bool drain() {
    if (fd_ >= 0 && error_.empty()) fail(writeall(fd_, pbase(), static_cast<size_t>(pptr() - pbase())));
    setp(buffer_.data(), buffer_.data() + buffer_.size());
    return error_.empty() && fd_ >= 0;
  }

  void fail(int err) {
    if (err != 0 && error_.empty()) error_ = std::strerror(err);
  }

  std::vector<char> buffer_;
  int fd_;
  bool owned_;
  std::string error_;
};

outputfile::outputfile() : buf_(std::make_unique<fdbuf>(-1, false)), stream_(buf_.get()) {}

outputfile::outputfile(int fd) : buf_(std::make_unique<fdbuf>(fd, false)), stream_(buf_.get()) {}

outputfile::~outputfile() = default;

void outputfile::adopt(int fd) { buf_->adopt(fd); }

std::ostream& outputfile::stream() { return stream_; }

bool outputfile::close() { return buf_->closefd(); }

const std::string& outputfile::error() const { return buf_->error(); }
