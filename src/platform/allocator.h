// Settings of the process-wide allocator.
#pragma once

namespace skerrow {

// Makes every large block (128 KiB and more: a request body, a daemon's reply) a mapping of its
// own, grown in place where the system can and given back to it as soon as it is freed. The C
// library's default raises that threshold after each large block freed, so that later large
// blocks come from the heap, which keeps them resident after their request: eight 8 MB block
// submissions at once left the process 150 MB larger for good. Call once, before the first
// thread starts. Does nothing where the C library has no such setting.
void return_large_blocks_at_once();

}  // namespace skerrow
