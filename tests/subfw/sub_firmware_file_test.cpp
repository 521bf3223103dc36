#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <vector>

#include "subfw/sub_firmware_file.h"

namespace tessaly::testing {
namespace {

namespace fs = std::filesystem;

class SubImage : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = (fs::temp_directory_path() / ("tessaly-sub-" + std::to_string(::getpid()) + "-" +
                                          ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".brec2"))
                .string();
  }
  void TearDown() override { fs::remove(path_); }
  void Write(std::uint8_t model, const std::vector<std::uint8_t>& payload) {
    std::vector<std::uint8_t> header(32, 0x5A);  // header bytes never count
    header[9] = model;
    std::ofstream f(path_, std::ios::binary);
    f.write(reinterpret_cast<const char*>(header.data()), 32);
    f.write(reinterpret_cast<const char*>(payload.data()), static_cast<std::streamsize>(payload.size()));
  }
  std::string path_;
};

TEST_F(SubImage, HeaderOnly) {
  Write(0x0A, {});
  SubFwInfo info;
  ASSERT_TRUE(VerifySubFirmware(path_, info));
  EXPECT_EQ(info, (SubFwInfo{kModelQMA, 0, 0, 0}));
}

TEST_F(SubImage, BlockBoundaries) {
  SubFwInfo info;
  Write(0x0B, std::vector<std::uint8_t>(16368, 1));
  ASSERT_TRUE(VerifySubFirmware(path_, info));
  EXPECT_EQ(info, (SubFwInfo{kModelQMB, 16368, 1, 16368}));
  Write(0x0B, std::vector<std::uint8_t>(16369, 1));
  ASSERT_TRUE(VerifySubFirmware(path_, info));
  EXPECT_EQ(info, (SubFwInfo{kModelQMB, 16369, 1, 16369}));
  Write(0x0B, std::vector<std::uint8_t>(2 * 16368 + 5, 2));
  ASSERT_TRUE(VerifySubFirmware(path_, info));
  EXPECT_EQ(info.BlockCount, 2u);
}

TEST_F(SubImage, ChecksumOfPayloadOnly) {
  Write(0x0C, {1, 2, 3});
  SubFwInfo info;
  ASSERT_TRUE(VerifySubFirmware(path_, info));
  EXPECT_EQ(info.Checksum, 6u);
  EXPECT_EQ(info.ModelKind, kModelUnknown);
}

TEST_F(SubImage, AllFfWrapsAt32Bits) {
  // 255 * n exceeds 2^32 once n > 16843009; take a payload just past that.
  const std::uint32_t n = 16843009u + 3u;
  Write(0x0A, std::vector<std::uint8_t>(n, 0xFF));
  SubFwInfo info;
  ASSERT_TRUE(VerifySubFirmware(path_, info));
  EXPECT_EQ(info.Checksum, static_cast<std::uint32_t>(255ull * n));
  EXPECT_EQ(info.BlockCount, n / 16368);
}

TEST_F(SubImage, ModelByte) {
  for (auto [code, kind] : std::vector<std::pair<std::uint8_t, std::uint8_t>>{
           {0x0A, kModelQMA}, {0x0B, kModelQMB}, {0x00, kModelUnknown}, {0x0C, kModelUnknown}}) {
    Write(code, {9});
    SubFwInfo info;
    ASSERT_TRUE(VerifySubFirmware(path_, info));
    EXPECT_EQ(info.ModelKind, kind) << int(code);
  }
}

TEST_F(SubImage, VerifyingTwiceGivesTheSameFacts) {
  Write(0x0A, {200, 100, 50});
  SubFwInfo first, second;
  ASSERT_TRUE(VerifySubFirmware(path_, first));
  ASSERT_TRUE(VerifySubFirmware(path_, second));
  EXPECT_EQ(first, second);
  EXPECT_EQ(second.Checksum, 350u);
}

TEST_F(SubImage, ShortOrMissingFileIsNotVerified) {
  std::ofstream(path_, std::ios::binary) << "short";
  SubFwInfo info{kModelQMA, 5, 5, 5};
  EXPECT_FALSE(VerifySubFirmware(path_, info));
  EXPECT_EQ(info, SubFwInfo{});
  EXPECT_EQ(ReadableFileSize(path_), 5);
  fs::remove(path_);
  EXPECT_FALSE(VerifySubFirmware(path_, info));
  EXPECT_EQ(ReadableFileSize(path_), -1);
}

}  // namespace
}  // namespace tessaly::testing
