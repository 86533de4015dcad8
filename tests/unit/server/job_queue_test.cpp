#include "server/job_queue.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include <gtest/gtest.h>


namespace skerrow {
namespace {

bool is_open(int fd) { return fcntl(fd, F_GETFD) != -1; }

Job job_for(int fd) { return Job{fd, std::chrono::steady_clock::time_point{}}; }

TEST(JobQueue, FirstInFirstOutAcrossTheRingWrapWithAcceptTimes) {
  JobQueue queue;
  // Push and pop past the end of the ring several times; descriptors are just numbers here,
  // and each accept time is told from its descriptor so a mix-up between slots shows.
  auto accepted = [](int fd) {
    return std::chrono::steady_clock::time_point{std::chrono::milliseconds(fd * 7)};
  };
  int next_in = 1000, next_out = 1000;
  for (int round = 0; round < 5; ++round) {
    for (int i = 0; i < 40; ++i, ++next_in) ASSERT_TRUE(queue.push(Job{next_in, accepted(next_in)}));
    for (int i = 0; i < 40; ++i, ++next_out) {
      Job job = queue.pop();
      ASSERT_EQ(job.fd, next_out);
      ASSERT_EQ(job.accepted, accepted(next_out));
    }
  }
  EXPECT_EQ(queue.waiting(), 0u);
}

TEST(JobQueue, SixtyFifthJobIsRefusedAndLeftToTheCaller) {
  JobQueue queue;
  std::vector<int> fds;
  for (std::size_t i = 0; i <= kQueueSlots; ++i) fds.push_back(::dup(STDERR_FILENO));
  for (std::size_t i = 0; i < kQueueSlots; ++i) ASSERT_TRUE(queue.push(job_for(fds[i])));
  EXPECT_FALSE(queue.push(job_for(fds.back())));
  EXPECT_TRUE(is_open(fds.back()));  // the event loop closes it, and forgets the connection
  ::close(fds.back());
  EXPECT_EQ(queue.waiting(), kQueueSlots);
  // One pop makes room again.
  EXPECT_EQ(queue.pop().fd, fds[0]);
  int again = ::dup(STDERR_FILENO);
  EXPECT_TRUE(queue.push(job_for(again)));
  for (std::size_t i = 1; i < kQueueSlots; ++i) EXPECT_EQ(queue.pop().fd, fds[i]);
  EXPECT_EQ(queue.pop().fd, again);
  for (std::size_t i = 0; i < kQueueSlots; ++i) ::close(fds[i]);
  ::close(again);
}

TEST(JobQueue, ConsumersSleepUntilPushedAndEachJobIsTakenOnce) {
  constexpr std::size_t kConsumers = 4;
  JobQueue queue;
  constexpr int kJobs = 2000;
  std::atomic<int> taken{0};
  std::vector<std::atomic<int>> seen(kJobs);
  std::vector<std::thread> consumers;
  for (std::size_t i = 0; i < kConsumers; ++i) {
    consumers.emplace_back([&] {
      for (;;) {
        int job = queue.pop().fd;
        if (job < 0) return;  // stop marker
        seen[static_cast<std::size_t>(job)].fetch_add(1);
        taken.fetch_add(1);
      }
    });
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // let them all block in pop
  // The only producer: room seen by waiting() cannot vanish before the push.
  for (int job = 0; job < kJobs; ++job) {
    while (queue.waiting() == kQueueSlots) std::this_thread::yield();
    if (!queue.push(job_for(job))) {
      ADD_FAILURE() << "push refused with room left";
      break;
    }
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (taken.load() < kJobs && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  for (std::size_t i = 0; i < kConsumers; ++i) {
    while (queue.waiting() == kQueueSlots) std::this_thread::yield();
    queue.push(job_for(-1));
  }
  for (auto& t : consumers) t.join();
  ASSERT_EQ(taken.load(), kJobs);
  for (int job = 0; job < kJobs; ++job) EXPECT_EQ(seen[static_cast<std::size_t>(job)].load(), 1) << job;
}

}  // namespace
}  // namespace skerrow
