// Reading the configuration file's bytes: one bounded read of a whole file by path.
#pragma once

#include <string>
#include <string_view>

#include "error/error.h"

namespace skerrow {

// Reads the whole file at `path` (relative to the working directory) into an owned buffer.
// The size the file system reports is never trusted: bytes are read until end of file, and
// reading stops with FileTooBig as soon as more than kMaxConfigBytes (config.h) arrive, so an
// endless source such as a character device cannot exhaust memory.
// Errors: NameTooLong (path of 1024 bytes or more, checked before any file access),
// BadPathName (a zero byte inside the path), the open table, the read table, FileTooBig,
// OutOfMemory. The descriptor is closed on every path.
Result<std::string> read_config_file(std::string_view path);

}  // namespace skerrow
