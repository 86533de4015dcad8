// Test helper: sends standard error to a temporary file for the life of the object, so a
// test can read back exactly the log lines the code under test wrote.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace skerrow::testing {

class CapturedStderr {
 public:
  CapturedStderr() {
    char path[] = "/tmp/skerrow-stderr-XXXXXX";
    fd_ = mkstemp(path);
    if (fd_ < 0) std::abort();
    path_ = path;
    std::fflush(stderr);
    saved_ = dup(STDERR_FILENO);
    dup2(fd_, STDERR_FILENO);
  }
  ~CapturedStderr() {
    restore();
    close(fd_);
    unlink(path_.c_str());
  }
  CapturedStderr(const CapturedStderr&) = delete;
  CapturedStderr& operator=(const CapturedStderr&) = delete;

  // Puts the real standard error back (the destructor does it too).
  void restore() {
    if (saved_ >= 0) {
      dup2(saved_, STDERR_FILENO);
      close(saved_);
      saved_ = -1;
    }
  }

  // Everything written to standard error since construction.
  std::string text() const {
    std::ifstream in(path_, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }

 private:
  int fd_ = -1;
  int saved_ = -1;
  std::string path_;
};

}  // namespace skerrow::testing
