#include "config/file.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <span>

#include "config/config.h"
#include "platform/io.h"

namespace skerrow {
namespace {

ErrorCode open_error_from_errno(int err) {
  switch (err) {
    case EPERM: return ErrorCode::PermissionDenied;
    case ENOENT: return ErrorCode::FileNotFound;
    case ESRCH: return ErrorCode::ProcessNotFound;
    case ENXIO:
    case ENODEV: return ErrorCode::NoDevice;
    case ENOMEM: return ErrorCode::SystemResources;
    case EACCES: return ErrorCode::AccessDenied;
    case EBUSY: return ErrorCode::DeviceBusy;
    case EEXIST: return ErrorCode::PathAlreadyExists;
    case ENOTDIR: return ErrorCode::NotDir;
    case EISDIR: return ErrorCode::IsDir;
    case EINVAL: return ErrorCode::BadPathName;
    case ENFILE: return ErrorCode::SystemFdQuotaExceeded;
    case EMFILE: return ErrorCode::ProcessFdQuotaExceeded;
    case ETXTBSY: return ErrorCode::FileBusy;
    case EFBIG:
    case EOVERFLOW: return ErrorCode::FileTooBig;
    case ENOSPC: return ErrorCode::NoSpaceLeft;
    case EAGAIN: return ErrorCode::WouldBlock;
    case EOPNOTSUPP: return ErrorCode::FileLocksNotSupported;
    case ELOOP: return ErrorCode::SymLinkLoop;
    case ENAMETOOLONG: return ErrorCode::NameTooLong;
    default: return ErrorCode::Unexpected;
  }
}

class FileCloser {
 public:
  explicit FileCloser(int fd) : fd_(fd) {}
  FileCloser(const FileCloser&) = delete;
  FileCloser& operator=(const FileCloser&) = delete;
  ~FileCloser() { close_fd(fd_); }

 private:
  int fd_;
};

Result<std::string> read_all(int fd) {
  // One byte of room beyond the limit is enough to tell "exactly at the limit" from "over it";
  // more would only read bytes that are about to be refused.
  constexpr std::size_t kMaxRoom = kMaxConfigBytes + 1;

  std::string buffer;
  buffer.reserve(1024);
  buffer.resize(std::max<std::size_t>(buffer.capacity(), 4096));
  std::size_t length = 0;

  for (;;) {
    bool end_of_file = false;
    while (length < buffer.size()) {
      auto got = read_once(fd, std::span<char>(buffer.data() + length, buffer.size() - length));
      if (!got) return fail(got.error());
      if (*got == 0) {
        end_of_file = true;
        break;
      }
      length += *got;
      if (length > kMaxConfigBytes) return fail(ErrorCode::FileTooBig);
    }
    if (end_of_file) break;
    std::size_t grown = std::min(std::max(length + 1, buffer.size() * 2), kMaxRoom);
    buffer.resize(grown);
  }
  buffer.resize(length);
  return buffer;
}

}  // namespace

Result<std::string> read_config_file(std::string_view path) {
  if (path.size() > kMaxConfigPath) return fail(ErrorCode::NameTooLong);
  // The system stops at the first zero byte; opening that shorter path would read a file
  // other than the one named.
  if (path.find('\0') != std::string_view::npos) return fail(ErrorCode::BadPathName);

  char terminated[kMaxConfigPath + 1];
  std::memcpy(terminated, path.data(), path.size());
  terminated[path.size()] = '\0';

  int fd;
  for (;;) {
    fd = ::openat(AT_FDCWD, terminated, O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd >= 0) break;
    if (errno == EINTR) continue;
    return fail(open_error_from_errno(errno));
  }
  FileCloser closer(fd);

  return catch_oom([&]() -> Result<std::string> {
    return read_all(fd);
  });
}

}  // namespace skerrow
