// veld-owners: the small RAII owners every module uses for descriptors,
// streams, directory handles and malloc'd blocks, so each failure path
// releases what it opened without a close on every return.
#ifndef VELD_OWNERS_H
#define VELD_OWNERS_H

#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace veld {

// Owns a descriptor for the length of one scope.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  UniqueFd(const UniqueFd &) = delete;
  UniqueFd &operator=(const UniqueFd &) = delete;
  UniqueFd(UniqueFd &&other) noexcept : fd_(other.release()) {}
  UniqueFd &operator=(UniqueFd &&other) noexcept {
    if (this != &other) {
      close();
      fd_ = other.release();
    }
    return *this;
  }
  int get() const { return fd_; }
  bool ok() const { return fd_ >= 0; }
  // Gives the descriptor up without closing it.
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  // Closes now and reports the result, for callers that must know.
  int close() {
    int rc = fd_ >= 0 ? ::close(fd_) : 0;
    fd_ = -1;
    return rc;
  }

 private:
  int fd_ = -1;
};

struct FreeDeleter {
  void operator()(void *p) const { std::free(p); }
};
struct FileCloser {
  void operator()(FILE *f) const { std::fclose(f); }
};
struct DirCloser {
  void operator()(DIR *d) const { closedir(d); }
};

template <typename T>
using MallocPtr = std::unique_ptr<T, FreeDeleter>;
using FilePtr = std::unique_ptr<FILE, FileCloser>;
using DirPtr = std::unique_ptr<DIR, DirCloser>;

}  // namespace veld

#endif
