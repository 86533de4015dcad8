#include "config/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "config/config.h"
#include "config/scratch.h"

namespace skerrow {
namespace {

using skerrow::testing::ScratchDir;

constexpr std::string_view kMinimal = R"({"parent":{"url":"127.0.0.1"}})";

std::size_t open_descriptor_count() {
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) ++count;
  return count;
}

// A path of exactly `length` bytes naming `file` (an absolute path), padded with "./" steps.
std::string padded_path(const std::string& file, std::size_t length) {
  std::filesystem::path p(file);
  std::string dir = p.parent_path().string() + "/";
  std::string name = p.filename().string();
  std::string padding;
  while (dir.size() + padding.size() + name.size() + 2 <= length) padding += "./";
  std::string result = dir + padding + name;
  // Odd remainders are made up with one more slash, which the system also ignores.
  if (result.size() < length) result.insert(dir.size(), "/");
  return result;
}

TEST(ReadConfigFile, ReadsEverySizeWhole) {
  ScratchDir dir;
  // Sizes around the first room (4096) and its growth steps: a short read or a full room must
  // never be taken for the end of the file.
  for (std::size_t size : {0u, 1u, 1023u, 1024u, 4095u, 4096u, 4097u, 8191u, 8192u, 8193u, 300001u}) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>('a' + (i * 7 + i / 251) % 26);
    std::string path = dir.write("f" + std::to_string(size), bytes);
    auto read = read_config_file(path);
    ASSERT_TRUE(read.has_value()) << size << ": " << error_name(read.error());
    EXPECT_EQ(read->size(), size);
    EXPECT_TRUE(*read == bytes) << size;
  }
}

TEST(ReadConfigFile, EndlessSourceStopsAtTheLimit) {
  auto start = std::chrono::steady_clock::now();
  auto read = read_config_file("/dev/zero");
  ASSERT_FALSE(read.has_value());
  EXPECT_EQ(read.error(), ErrorCode::FileTooBig);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}

TEST(ReadConfigFile, ShortReadsFromAPipeAreJoined) {
  ScratchDir dir;
  std::string fifo = (dir.path() / "fifo").string();
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);

  std::string expected;
  for (int i = 0; i < 60; ++i) expected += std::string(100, static_cast<char>('A' + i % 26));
  std::thread writer([&] {
    int fd = ::open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return;
    for (std::size_t off = 0; off < expected.size(); off += 100) {
      (void)::write(fd, expected.data() + off, 100);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ::close(fd);
  });
  auto read = read_config_file(fifo);
  writer.join();
  ASSERT_TRUE(read.has_value()) << error_name(read.error());
  EXPECT_EQ(*read, expected);
}

TEST(ReadConfigFile, PathLengthIsCheckedBeforeTheFileSystem) {
  ScratchDir dir;
  std::string file = dir.write("c.conf", kMinimal);

  std::string longest = padded_path(file, kMaxConfigPath);
  ASSERT_EQ(longest.size(), 1023u);
  auto read = read_config_file(longest);
  ASSERT_TRUE(read.has_value()) << error_name(read.error());
  EXPECT_EQ(*read, kMinimal);

  // The same file behind a 1024-byte path: refused although it exists.
  std::string too_long = padded_path(file, kMaxConfigPath + 1);
  ASSERT_EQ(too_long.size(), 1024u);
  auto refused = read_config_file(too_long);
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error(), ErrorCode::NameTooLong);

  auto huge = read_config_file(std::string(5000, 'a'));
  ASSERT_FALSE(huge.has_value());
  EXPECT_EQ(huge.error(), ErrorCode::NameTooLong);
}

TEST(ReadConfigFile, NamesOpenAndReadFailures) {
  ScratchDir dir;
  std::string file = dir.write("c.conf", kMinimal);
  std::string loop_a = (dir.path() / "loop_a").string();
  std::string loop_b = (dir.path() / "loop_b").string();
  ASSERT_EQ(symlink(loop_b.c_str(), loop_a.c_str()), 0);
  ASSERT_EQ(symlink(loop_a.c_str(), loop_b.c_str()), 0);

  struct Case {
    std::string path;
    ErrorCode error;
  };
  const Case cases[] = {
      {(dir.path() / "absent.conf").string(), ErrorCode::FileNotFound},
      {"", ErrorCode::FileNotFound},
      {file + "/inner", ErrorCode::NotDir},
      {loop_a, ErrorCode::SymLinkLoop},
      {(dir.path() / std::string(300, 'n')).string(), ErrorCode::NameTooLong},  // one component too long
      {dir.path().string(), ErrorCode::IsDir},  // opens fine; the first read fails
      {file + std::string(1, '\0') + "hidden", ErrorCode::BadPathName},
  };
  for (const auto& c : cases) {
    auto read = read_config_file(c.path);
    ASSERT_FALSE(read.has_value()) << c.path;
    EXPECT_EQ(read.error(), c.error) << c.path << " gave " << error_name(read.error());
  }
}

TEST(ReadConfigFile, ClosesTheFileOnEveryPath) {
  ScratchDir dir;
  std::string good = dir.write("good.conf", kMinimal);
  std::string big = dir.write("big.conf", std::string(kMaxConfigBytes + 1, ' '));
  std::string bad_json = dir.write("bad.conf", "{,}");
  std::string no_url = dir.write("nourl.conf", R"({"parent":{}})");

  std::size_t before = open_descriptor_count();
  for (int round = 0; round < 20; ++round) {
    EXPECT_TRUE(read_config_file(good).has_value());
    EXPECT_FALSE(read_config_file(big).has_value());
    EXPECT_FALSE(read_config_file(dir.path().string()).has_value());
    EXPECT_TRUE(load_config(good).has_value());
    EXPECT_FALSE(load_config(bad_json).has_value());
    EXPECT_FALSE(load_config(no_url).has_value());
    EXPECT_FALSE(load_config(big).has_value());
  }
  EXPECT_EQ(open_descriptor_count(), before);
}

TEST(LoadConfigFile, OneMebibyteOfValidJsonLoadsAndOneByteMoreDoesNot) {
  ScratchDir dir;
  std::string text(kMinimal);
  text += std::string(kMaxConfigBytes - text.size(), ' ');
  ASSERT_EQ(text.size(), kMaxConfigBytes);
  auto config = load_config(dir.write("exact.conf", text));
  ASSERT_TRUE(config.has_value()) << error_name(config.error());
  EXPECT_EQ(config->parent.endpoint.host, "127.0.0.1");

  // Still valid JSON, but over the limit: the size decides, not the content.
  auto over = load_config(dir.write("over.conf", text + "\n"));
  ASSERT_FALSE(over.has_value());
  EXPECT_EQ(over.error(), ErrorCode::FileTooBig);

  // Over the limit and not JSON at all: still the size that is reported.
  auto junk = load_config(dir.write("junk.conf", std::string(kMaxConfigBytes + 1, '#')));
  ASSERT_FALSE(junk.has_value());
  EXPECT_EQ(junk.error(), ErrorCode::FileTooBig);
}

}  // namespace
}  // namespace skerrow
