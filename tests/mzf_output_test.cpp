// Output naming and writing: the name rules, the file layout, numbering, overwriting or keeping
// existing files, and the failures that must neither lose data silently nor leave an incomplete
// file. The writer is given a directory descriptor, never the current directory.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "mzf/mzf_output.h"
#include "tests/test_support.h"

using namespace mzf;
using testing_support::Bytes;
using testing_support::read_file;
using testing_support::TempDir;

namespace {

Bytes header_named(const Bytes& name_field) {
  Bytes header(HEADER_SIZE, 0);
  std::copy(name_field.begin(), name_field.end(), header.begin() + NAME_OFFSET);
  return header;
}

std::string name_of(const Bytes& name_field, std::int32_t number = 1) {
  return mzf_file_name(header_named(name_field).data(), number).text;
}

// A writer into a fresh temporary directory, opened as a descriptor.
class Writer : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_fd_ = ::open(dir_.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(dir_fd_, 0);
    mzf_writer_init(writer_, dir_fd_, true);
  }
  void TearDown() override { ::close(dir_fd_); }
  MzfWriteResult write(const Bytes& header, const Bytes& body) {
    return mzf_write(writer_, header.data(), body.data(), static_cast<std::uint32_t>(body.size()));
  }
  std::string path(const std::string& name) const { return dir_.file(name); }

  TempDir dir_;
  int dir_fd_ = -1;
  MzfWriter writer_{};
};

}  // namespace

TEST(MzfName, FollowsTheHeaderName) {
  EXPECT_EQ(name_of({0x0D, 'A', 'B'}), "_________________#001.MZF");
  EXPECT_EQ(name_of({'H', 'E', 'L', 'L', 'O', 0x0D, 'X'}), "HELLO____________#001.MZF");
  EXPECT_EQ(name_of(Bytes(17, 'Q')), "QQQQQQQQQQQQQQQQQ#001.MZF");
  // Space, full stop and codes outside the known groups leave underscores, and the name goes on.
  EXPECT_EQ(name_of({'A', ' ', 'B', '.', 'C', 0x00, 0xFF, 'a', '9', 0x0D}),
            "A_B_C___9________#001.MZF");
  // Both ends of the digits and capitals are kept; their neighbours are not.
  EXPECT_EQ(name_of({'/', '0', '9', ':', '@', 'A', 'Z', '[', 0x0D}), "_09__AZ__________#001.MZF");
}

TEST(MzfName, LowerCaseTapeCodes) {
  const Bytes codes = {0xA1, 0x9A, 0x9F, 0x9C, 0x92, 0xAA, 0x97, 0x98, 0xA6,
                       0xAF, 0xA9, 0xB8, 0xB3, 0xB0, 0xB7, 0x9E, 0xA0, 0x9D,
                       0xA4, 0x96, 0xA5, 0xAB, 0xA3, 0x9B, 0xBD, 0xA2};
  EXPECT_EQ(name_of(Bytes(codes.begin(), codes.begin() + 17)), "abcdefghijklmnopq#001.MZF");
  EXPECT_EQ(name_of(Bytes(codes.begin() + 17, codes.end())), "rstuvwxyz________#001.MZF");
}

TEST(MzfName, NumbersAndExtensions) {
  const Bytes header = header_named({'N', 0x0D});
  const struct {
    std::int32_t number;
    const char* extension;
    const char* expected;
  } cases[] = {
      {1, MZF_EXTENSION, "N________________#001.MZF"},
      {10, MZF_EXTENSION, "N________________#010.MZF"},
      {999, MZF_EXTENSION, "N________________#999.MZF"},
      {1000, MZF_EXTENSION, "N________________#1000.MZF"},
      {2147483647, MZF_EXTENSION, "N________________#2147483647.MZF"},
      {7, ".DAMAGED.MZF", "N________________#007.DAMAGED.MZF"},
      {7, "0123456789ABCDEFGH", "N________________#0070123456789ABCDE"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(std::string(mzf_file_name(header.data(), c.number, c.extension).text), c.expected);
  }
}

TEST_F(Writer, WritesHeaderAndExactlyTheBodyIntoItsDirectory) {
  const Bytes header = header_named({'P', 0x0D});
  const Bytes body = testing_support::pattern(300, 1);
  const MzfWriteResult first = write(header, body);
  EXPECT_EQ(first.status, MZF_WRITTEN);
  EXPECT_EQ(first.error, 0);
  EXPECT_STREQ(first.name.text, "P________________#001.MZF");
  Bytes expected = header;
  expected.insert(expected.end(), body.begin(), body.end());
  EXPECT_EQ(read_file(path("P________________#001.MZF")), expected);
  struct stat status {};
  ASSERT_EQ(::stat(path("P________________#001.MZF").c_str(), &status), 0);
  EXPECT_TRUE(S_ISREG(status.st_mode));
  EXPECT_EQ(status.st_mode & 0600, 0600u);

  EXPECT_EQ(write(header, {}).status, MZF_WRITTEN);
  EXPECT_EQ(read_file(path("P________________#002.MZF")).size(), 128u);
}

TEST_F(Writer, ReplacesOrKeepsAnExistingFile) {
  const Bytes header = header_named({'O', 0x0D});
  testing_support::write_file(path("O________________#001.MZF"), Bytes(5000, 0x55));
  EXPECT_EQ(write(header, {1, 2}).status, MZF_WRITTEN);
  EXPECT_EQ(read_file(path("O________________#001.MZF")).size(), 130u);

  mzf_writer_init(writer_, dir_fd_, false);
  const MzfWriteResult kept = write(header, {3});
  EXPECT_EQ(kept.status, MZF_EXISTS);
  EXPECT_EQ(kept.error, EEXIST);
  EXPECT_EQ(read_file(path("O________________#001.MZF")).size(), 130u);
  EXPECT_EQ(write(header, {3}).status, MZF_WRITTEN);  // the next number is free
  EXPECT_EQ(read_file(path("O________________#002.MZF")).size(), 129u);
}

TEST_F(Writer, DirectoryInTheWayIsReportedAndUsesUpTheNumber) {
  ASSERT_EQ(::mkdir(path("D________________#001.MZF").c_str(), 0755), 0);
  const Bytes header = header_named({'D', 0x0D});
  const MzfWriteResult failed = write(header, {});
  EXPECT_EQ(failed.status, MZF_CREATE_FAILED);
  EXPECT_EQ(failed.error, EISDIR);
  EXPECT_EQ(write(header, {}).status, MZF_WRITTEN);
  EXPECT_TRUE(testing_support::file_exists(path("D________________#002.MZF")));
}

TEST_F(Writer, NeverTouchesTheFileItMustKeep) {
  const Bytes original(777, 0x42);
  testing_support::write_file(path("K________________#001.MZF"), original);
  struct stat status {};
  ASSERT_EQ(::stat(path("K________________#001.MZF").c_str(), &status), 0);
  const FileIdentity keep{status.st_dev, status.st_ino};
  mzf_writer_keep(writer_, &keep);
  const MzfWriteResult refused = write(header_named({'K', 0x0D}), {});
  EXPECT_EQ(refused.status, MZF_CREATE_FAILED);
  EXPECT_EQ(refused.error, EBUSY);
  EXPECT_EQ(read_file(path("K________________#001.MZF")), original);
}
