// Output naming and writing: the name rules, the file layout, numbering, overwriting, and the
// failures that must neither lose data silently nor leave an incomplete file.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <memory>
#include <string>

#include "mzf/mzf_output.h"
#include "tests/test_support.h"

using namespace mzfextract;
using testing_support::Bytes;
using testing_support::TempDir;

namespace {

std::unique_ptr<TapeBuffers> buffers_with_name(const Bytes& name_field) {
  auto b = std::make_unique<TapeBuffers>();
  *b = TapeBuffers{};
  std::copy(name_field.begin(), name_field.end(), b->header + NAME_OFFSET);
  return b;
}

std::string name_of(const Bytes& name_field) {
  auto b = buffers_with_name(name_field);
  make_mzf_name(*b);
  return b->name;
}

// Runs the test body inside a fresh directory, as the program writes into the current one.
class InTempDir : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(::getcwd(previous_, sizeof previous_), nullptr);
    ASSERT_EQ(::chdir(dir_.path().c_str()), 0);
  }
  void TearDown() override { ASSERT_EQ(::chdir(previous_), 0); }
  TempDir dir_;

 private:
  char previous_[PATH_MAX] = {};
};

}  // namespace

TEST(MzfName, FollowsTheHeaderName) {
  EXPECT_STREQ(name_of({0x0D, 'A', 'B'}).c_str(), "_________________#000.MZF");
  EXPECT_EQ(name_of({'H', 'E', 'L', 'L', 'O', 0x0D, 'X'}), "HELLO____________#000.MZF");
  const Bytes seventeen(17, 'Q');
  EXPECT_EQ(name_of(seventeen), "QQQQQQQQQQQQQQQQQ#000.MZF");
  // Space, full stop and codes outside the known groups leave underscores, and the name goes on.
  EXPECT_EQ(name_of({'A', ' ', 'B', '.', 'C', 0x00, 0xFF, 'a', '9', 0x0D}),
            "A_B_C___9________#000.MZF");
}

TEST(MzfName, LowerCaseTapeCodes) {
  const Bytes codes = {0xA1, 0x9A, 0x9F, 0x9C, 0x92, 0xAA, 0x97, 0x98, 0xA6,
                       0xAF, 0xA9, 0xB8, 0xB3, 0xB0, 0xB7, 0x9E, 0xA0, 0x9D,
                       0xA4, 0x96, 0xA5, 0xAB, 0xA3, 0x9B, 0xBD, 0xA2};
  EXPECT_EQ(name_of(Bytes(codes.begin(), codes.begin() + 17)), "abcdefghijklmnopq#000.MZF");
  EXPECT_EQ(name_of(Bytes(codes.begin() + 17, codes.end())), "rstuvwxyz________#000.MZF");
}

TEST_F(InTempDir, WritesHeaderAndExactlyTheBody) {
  auto b = buffers_with_name({'P', 0x0D});
  const Bytes body = testing_support::pattern(300, 1);
  std::copy(body.begin(), body.end(), b->body);
  b->body[300] = 0xEE;  // checksum bytes are not written
  b->body_length = 300;
  make_mzf_name(*b);
  ASSERT_EQ(write_mzf(*b, nullptr), MZF_WRITTEN);
  Bytes expected(b->header, b->header + 128);
  expected.insert(expected.end(), body.begin(), body.end());
  EXPECT_EQ(testing_support::read_file("P________________#001.MZF"), expected);
  struct stat status {};
  ASSERT_EQ(::stat("P________________#001.MZF", &status), 0);
  EXPECT_TRUE(S_ISREG(status.st_mode));
  EXPECT_EQ(status.st_mode & 0600, 0600u);

  b->body_length = 0;
  make_mzf_name(*b);
  ASSERT_EQ(write_mzf(*b, nullptr), MZF_WRITTEN);
  EXPECT_EQ(testing_support::read_file("P________________#002.MZF").size(), 128u);
}

TEST_F(InTempDir, NumbersGrowToFourDigits) {
  auto b = buffers_with_name({'N', 0x0D});
  for (int expected : {1, 10, 1000}) {
    b->file_counter = expected - 1;
    make_mzf_name(*b);
    ASSERT_EQ(write_mzf(*b, nullptr), MZF_WRITTEN);
  }
  EXPECT_EQ(testing_support::list_dir("."),
            (std::vector<std::string>{"N________________#001.MZF", "N________________#010.MZF",
                                      "N________________#1000.MZF"}));
}

TEST_F(InTempDir, OverwritesAnExistingFile) {
  testing_support::write_file("O________________#001.MZF", Bytes(5000, 0x55));
  auto b = buffers_with_name({'O', 0x0D});
  b->body_length = 2;
  make_mzf_name(*b);
  ASSERT_EQ(write_mzf(*b, nullptr), MZF_WRITTEN);
  EXPECT_EQ(testing_support::read_file("O________________#001.MZF").size(), 130u);
}

TEST_F(InTempDir, DirectoryInTheWayIsReportedAndUsesUpTheNumber) {
  ASSERT_EQ(::mkdir("D________________#001.MZF", 0755), 0);
  auto b = buffers_with_name({'D', 0x0D});
  make_mzf_name(*b);
  EXPECT_EQ(write_mzf(*b, nullptr), MZF_CREATE_FAILED);
  EXPECT_EQ(errno, EISDIR);
  make_mzf_name(*b);
  EXPECT_EQ(write_mzf(*b, nullptr), MZF_WRITTEN);
  EXPECT_TRUE(testing_support::file_exists("D________________#002.MZF"));
}

TEST_F(InTempDir, NeverTouchesTheFileItMustKeep) {
  const Bytes original(777, 0x42);
  testing_support::write_file("K________________#001.MZF", original);
  struct stat status {};
  ASSERT_EQ(::stat("K________________#001.MZF", &status), 0);
  const FileIdentity keep{status.st_dev, status.st_ino};
  auto b = buffers_with_name({'K', 0x0D});
  make_mzf_name(*b);
  EXPECT_EQ(write_mzf(*b, &keep), MZF_CREATE_FAILED);
  EXPECT_EQ(errno, EBUSY);
  EXPECT_EQ(testing_support::read_file("K________________#001.MZF"), original);
}
