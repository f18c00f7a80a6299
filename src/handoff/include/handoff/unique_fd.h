// UniqueFD: sole owner of one file descriptor, closed when the owner goes.
// Thread-safety: a plain value; one owner at a time, movable between threads.
#pragma once

#include <unistd.h>

#include <utility>

namespace kolv {

class UniqueFD {
 public:
  UniqueFD() = default;
  explicit UniqueFD(int fd) : fd_(fd) {}
  UniqueFD(UniqueFD&& other) noexcept : fd_(other.release()) {}
  UniqueFD& operator=(UniqueFD&& other) noexcept {
    reset(other.release());
    return *this;
  }
  UniqueFD(const UniqueFD&) = delete;
  UniqueFD& operator=(const UniqueFD&) = delete;
  ~UniqueFD() { reset(); }

  int get() const { return fd_; }
  bool isValid() const { return fd_ >= 0; }
  explicit operator bool() const { return isValid(); }

  // Gives up ownership: the caller closes the descriptor from now on.
  [[nodiscard]] int release() { return std::exchange(fd_, -1); }

  void reset(int fd = -1) {
    if (fd_ >= 0 && fd_ != fd) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

}  // namespace kolv
