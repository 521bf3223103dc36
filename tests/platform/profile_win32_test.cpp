// The Windows profile: what is stored reads back as stored, and a missing key is told
// from an empty value.

#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "platform/profile_win32.h"

namespace tessaly::testing {
namespace {

class WindowsProfileTest : public ::testing::Test {
 protected:
  // A section of the test's own, removed afterwards: the user's settings stay as they are.
  void SetUp() override { section_ = "Tessaly Test " + std::to_string(::GetCurrentProcessId()); }
  void TearDown() override { ::WriteProfileStringA(section_.c_str(), nullptr, nullptr); }
  std::string section_;
  WindowsProfile profile_;
};

TEST_F(WindowsProfileTest, MissingKeyAndSectionAreNotEmptyValues) {
  EXPECT_EQ(profile_.Read(section_, "IP Address"), std::nullopt);
  ASSERT_TRUE(profile_.Write(section_, "IP Address", ""));
  EXPECT_EQ(profile_.Read(section_, "IP Address"), std::optional<std::string>(""));
  EXPECT_EQ(profile_.Read(section_, "Adapter Index"), std::nullopt);
  EXPECT_EQ(GetProfileString(profile_, section_, "Adapter Index", "192.168.0.2", 128), "192.168.0.2");
  EXPECT_EQ(GetProfileInt(profile_, section_, "Adapter Index", 7), 7);
}

TEST_F(WindowsProfileTest, WrittenValuesReadBackAsWritten) {
  // The values the reader uses as its own markers, and one longer than its first buffer.
  const std::string values[] = {"10.1.2.3", "0", "1", "2", std::string(700, 'x')};
  for (const std::string& value : values) {
    SCOPED_TRACE(value.substr(0, 16));
    ASSERT_TRUE(profile_.Write(section_, "IP Address", value));
    EXPECT_EQ(profile_.Read(section_, "IP Address"), std::optional<std::string>(value));
  }
  ASSERT_TRUE(profile_.Write(section_, "Adapter Index", "3"));
  EXPECT_EQ(GetProfileInt(profile_, section_, "Adapter Index", 0), 3);
  // Another reader of the same profile sees it: it is the system's, not this object's.
  WindowsProfile other;
  EXPECT_EQ(other.Read(section_, "Adapter Index"), std::optional<std::string>("3"));
}

}  // namespace
}  // namespace tessaly::testing
