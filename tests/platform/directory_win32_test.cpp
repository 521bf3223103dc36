// The working folder as Windows lists it: the entries carry the system's own attributes
// and times, so the search skips folders and temporary files and takes hidden and
// read-only ones.

#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "app/firmware_search.h"
#include "platform/directory.h"

namespace tessaly::testing {
namespace {

namespace fs = std::filesystem;

class WindowsFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    previous_ = fs::current_path();
    dir_ = fs::temp_directory_path() / ("tessaly-folder-" + std::to_string(::GetCurrentProcessId()) + "-" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    fs::current_path(dir_);
  }
  void TearDown() override {
    fs::current_path(previous_);
    for (const auto& e : fs::directory_iterator(dir_))
      ::SetFileAttributesA(e.path().string().c_str(), FILE_ATTRIBUTE_NORMAL);
    fs::remove_all(dir_);
  }
  // A file last written `ageSeconds` ago, with `attributes` set by the system.
  static void Make(const std::string& name, int ageSeconds, DWORD attributes = FILE_ATTRIBUTE_NORMAL) {
    std::ofstream(name) << "x";
    fs::last_write_time(name, fs::file_time_type::clock::now() - std::chrono::seconds(ageSeconds));
    ASSERT_TRUE(::SetFileAttributesA(name.c_str(), attributes));
  }
  static std::uint32_t AttributesOf(const std::vector<DirEntry>& list, const std::string& name) {
    for (const DirEntry& e : list) {
      if (e.name == name) return e.attributes;
    }
    ADD_FAILURE() << name << " not listed";
    return 0;
  }
  fs::path previous_, dir_;
};

TEST_F(WindowsFolder, SkipRulesSeeTheSystemsAttributes) {
  Make("old.bin", 300);
  Make("older-hidden-readonly.bin", 400, FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY);
  Make("newest-temporary.bin", 10, FILE_ATTRIBUTE_TEMPORARY);
  fs::create_directory("new-folder.bin");
  Make("hidden.brec2", 5, FILE_ATTRIBUTE_HIDDEN);
  Make("not-a-bin.binx", 1);

  WorkingDirectoryLister lister;
  const std::vector<DirEntry> bins = lister.List(".bin");
  EXPECT_EQ(bins.size(), 4u);  // never "not-a-bin.binx", whatever its short name
  for (const DirEntry& e : bins) {
    EXPECT_EQ(e.attributes, ::GetFileAttributesA(e.name.c_str())) << e.name;
  }
  EXPECT_NE(AttributesOf(bins, "new-folder.bin") & file_attr::kDirectory, 0u);
  EXPECT_EQ(AttributesOf(bins, "older-hidden-readonly.bin") & (file_attr::kHidden | FILE_ATTRIBUTE_READONLY),
            file_attr::kHidden | FILE_ATTRIBUTE_READONLY);

  // Windows keeps the temporary mark and the search passes the file over; Wine keeps only
  // the hidden, system, archive and read-only marks, and the file is then an ordinary one.
  const bool temporaryKept = (AttributesOf(bins, "newest-temporary.bin") & file_attr::kTemporary) != 0;
  std::string main, sub;
  ASSERT_TRUE(FindNewestFirmware(lister, kMainFirmwareKind, main));
  EXPECT_EQ(main, temporaryKept ? "old.bin" : "newest-temporary.bin");
  ASSERT_TRUE(FindNewestFirmware(lister, kSubFirmwareKind, sub));
  EXPECT_EQ(sub, "hidden.brec2");
}

TEST_F(WindowsFolder, LastWriteTimesOrderTheEntries) {
  Make("a.brec2", 3600);
  Make("b.brec2", 60);
  Make("c.brec2", 1800);
  WorkingDirectoryLister lister;
  std::string sub;
  ASSERT_TRUE(FindNewestFirmware(lister, kSubFirmwareKind, sub));
  EXPECT_EQ(sub, "b.brec2");
  // Nanoseconds since 1970, as on Linux: an hour apart reads as an hour apart.
  const std::vector<DirEntry> listed = lister.List(".brec2");
  std::int64_t a = 0, b = 0;
  for (const DirEntry& e : listed) {
    if (e.name == "a.brec2") a = e.lastWriteNs;
    if (e.name == "b.brec2") b = e.lastWriteNs;
  }
  EXPECT_NEAR(static_cast<double>(b - a) / 1e9, 3540.0, 2.0);
  const auto now =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
  EXPECT_NEAR(static_cast<double>(b) / 1e9, static_cast<double>(now - 60), 120.0);
}

}  // namespace
}  // namespace tessaly::testing
