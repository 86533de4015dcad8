// Helpers shared by the relay tests: standard-error capture and a time bound on calls that
// could block forever.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <future>
#include <sstream>
#include <string>
#include <thread>

#include <ostream>

#include "common/captured_stderr.h"
#include "error/error.h"

namespace skerrow {

// Lets assertion failures show error names instead of raw bytes.
inline void PrintTo(ErrorCode code, std::ostream* os) { *os << error_name(code); }

}  // namespace skerrow

namespace skerrow::testing {


// Runs `body` and gives up on the whole test binary when it has not returned in time: a
// blocked call cannot be cancelled, and a hung test must not hang the suite.
template <typename Body>
void within_seconds(int seconds, const char* what, Body body) {
  std::promise<void> done;
  auto finished = done.get_future();
  std::thread worker([&] {
    body();
    done.set_value();
  });
  if (finished.wait_for(std::chrono::seconds(seconds)) != std::future_status::ready) {
    std::fprintf(stderr, "%s did not return within %d s\n", what, seconds);
    std::_Exit(1);
  }
  worker.join();
}

}  // namespace skerrow::testing
