#include <gtest/gtest.h>

#include <unistd.h>
#include "support/param_print.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "platform/qt/profile_qt.h"
#include "support/fakes.h"

namespace tessaly::testing {
namespace {

namespace fs = std::filesystem;

class IniFile : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("tessaly-ini-" + std::to_string(::getpid()) + "-" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    path_ = (dir_ / "updater.ini").string();
  }
  void TearDown() override { fs::remove_all(dir_); }
  void WriteFile(const std::string& text) { std::ofstream(path_) << text; }
  fs::path dir_;
  std::string path_;
};

TEST_F(IniFile, HandWrittenFileIsRead) {
  WriteFile("[LAN Communication]\nIP Address=10.0.0.5\nAdapter Index=2\n");
  IniProfile p(path_);
  EXPECT_EQ(GetProfileString(p, "LAN Communication", "IP Address", "192.168.0.2", 128), "10.0.0.5");
  EXPECT_EQ(GetProfileInt(p, "LAN Communication", "Adapter Index", 0), 2);
}

TEST_F(IniFile, MissingFileSectionOrKeyGivesDefaults) {
  IniProfile none(path_);
  EXPECT_EQ(GetProfileString(none, "LAN Communication", "IP Address", "192.168.0.2", 128), "192.168.0.2");
  WriteFile("[Other]\nIP Address=1.1.1.1\n");
  IniProfile other(path_);
  EXPECT_EQ(GetProfileString(other, "LAN Communication", "IP Address", "192.168.0.2", 128), "192.168.0.2");
  EXPECT_EQ(GetProfileInt(other, "LAN Communication", "Adapter Index", 0), 0);
}

TEST_F(IniFile, EmptyValueIsNotAMissingKey) {
  WriteFile("[LAN Communication]\nIP Address=\n");
  IniProfile p(path_);
  EXPECT_EQ(GetProfileString(p, "LAN Communication", "IP Address", "192.168.0.2", 128), "");
}

TEST_F(IniFile, WrittenValuesReadBackAfterARestart) {
  {
    IniProfile p(path_);
    ASSERT_TRUE(p.Write("LAN Communication", "IP Address", "10.1.2.3"));
    ASSERT_TRUE(p.Write("LAN Communication", "Adapter Index", "1"));
  }
  IniProfile again(path_);
  EXPECT_EQ(again.Read("LAN Communication", "IP Address"), std::optional<std::string>("10.1.2.3"));
  EXPECT_EQ(GetProfileInt(again, "LAN Communication", "Adapter Index", 0), 1);
}

TEST_F(IniFile, TextWithCommasStaysText) {
  WriteFile("[LAN Communication]\nIP Address=10,0,0,5\n");
  IniProfile p(path_);
  EXPECT_EQ(p.Read("LAN Communication", "IP Address"), std::optional<std::string>("10,0,0,5"));
}

TEST(ProfilePath, FollowsXdgConfigHome) {
  const char* old = std::getenv("XDG_CONFIG_HOME");
  std::string saved = old ? old : "";
  ::setenv("XDG_CONFIG_HOME", "/tmp/xdg-test", 1);
  EXPECT_EQ(DefaultProfilePath(), "/tmp/xdg-test/tessaly/updater.ini");
  ::unsetenv("XDG_CONFIG_HOME");
  const char* home = std::getenv("HOME");
  if (home) {
    EXPECT_EQ(DefaultProfilePath(), std::string(home) + "/.config/tessaly/updater.ini");
  }
  if (old) ::setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
}

struct IntCase {
  std::optional<std::string> stored;
  int expected;
};
TESSALY_PRINT_PARAM(IntCase, expected)

class ProfileInt : public ::testing::TestWithParam<IntCase> {};

TEST_P(ProfileInt, ReadsLikeTheWindowsReader) {
  MemoryProfile p;
  if (GetParam().stored) p.values[{"S", "K"}] = *GetParam().stored;
  EXPECT_EQ(GetProfileInt(p, "S", "K", 7), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Values, ProfileInt,
                         ::testing::Values(IntCase{std::nullopt, 7}, IntCase{std::string("3"), 3},
                                           IntCase{std::string(" 12"), 12}, IntCase{std::string("12ab"), 12},
                                           IntCase{std::string("ab12"), 0}, IntCase{std::string(""), 0},
                                           IntCase{std::string("-2"), -2}, IntCase{std::string("+4"), 4}));

}  // namespace
}  // namespace tessaly::testing
