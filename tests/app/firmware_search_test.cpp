#include <gtest/gtest.h>

#include "support/param_print.h"

#include <chrono>
#include <filesystem>
#include <fstream>

#include "app/firmware_search.h"
#include "support/harness.h"

namespace tessaly::testing {
namespace {

namespace fs = std::filesystem;

struct SearchCase {
  const char* name;
  std::vector<DirEntry> entries;
  int kind;
  bool found;
  std::string chosen;
};
TESSALY_PRINT_PARAM(SearchCase, name)

class FindNewest : public ::testing::TestWithParam<SearchCase> {};

TEST_P(FindNewest, PicksNewestAcceptedEntry) {
  const SearchCase& c = GetParam();
  ListedDirectory dir;
  dir.entries = c.entries;
  std::string target = "previous";
  EXPECT_EQ(FindNewestFirmware(dir, c.kind, target), c.found);
  EXPECT_EQ(target, c.found ? c.chosen : "previous");
}

using namespace file_attr;

INSTANTIATE_TEST_SUITE_P(
    Cases, FindNewest,
    ::testing::Values(
        SearchCase{"newest_wins", {{"a.bin", 0, 1000}, {"b.bin", 0, 1100}}, 1, true, "b.bin"},
        SearchCase{"newest_listed_first", {{"b.bin", 0, 1100}, {"a.bin", 0, 1000}}, 1, true, "b.bin"},
        SearchCase{"tie_goes_to_last_listed", {{"x.brec2", 0, 5}, {"y.brec2", 0, 5}}, 2, true, "y.brec2"},
        SearchCase{"folder_only", {{"dir.bin", kDirectory, 9}}, 1, false, ""},
        SearchCase{"compressed_newest_skipped", {{"old.bin", 0, 1}, {"new.bin", kCompressed, 2}}, 1, true, "old.bin"},
        SearchCase{"every_skip_attribute",
                   {{"e.bin", kEncrypted, 9},
                    {"t.bin", kTemporary, 9},
                    {"s.bin", kSparseFile, 9},
                    {"r.bin", kReparsePoint, 9},
                    {"o.bin", kOffline, 9},
                    {"ok.bin", 0, 1}},
                   1,
                   true,
                   "ok.bin"},
        SearchCase{"hidden_and_readonly_taken", {{".h.brec2", kHidden | 0x1, 3}}, 2, true, ".h.brec2"},
        SearchCase{"other_extension_ignored", {{"a.brec2", 0, 9}, {"a.bin.txt", 0, 9}}, 1, false, ""},
        SearchCase{"upper_case_extension", {{"FW.BIN", 0, 9}}, 1, true, "FW.BIN"},
        SearchCase{"unknown_kind", {{"a.bin", 0, 9}}, 3, false, ""}, SearchCase{"nothing", {}, 2, false, ""}),
    [](const ::testing::TestParamInfo<SearchCase>& p) { return std::string(p.param.name); });

TEST(SearchFwBtn, LogsWhatItFoundInOrderAndEnablesUpdate) {
  Harness h;
  h.AddFile("b.brec2", 10);
  h.AddFile("a.bin", 10);
  h.updater->Start();
  EXPECT_EQ(h.view.logLines(),
            (std::vector<LogLine>{{"Main firmware : a.bin", LogColour::Blue},
                                  {"Sub firmware : b.brec2", LogColour::Blue},
                                  {"Press \"Update Firmware\" button to startup...", LogColour::Blue}}));
  EXPECT_EQ(h.view.Text(Control::FileEdit), "a.bin");
  EXPECT_EQ(h.view.Text(Control::FileEdit2), "b.brec2");
  EXPECT_TRUE(h.view.Enabled(Control::UpdateFwBtn));
  const auto debug = h.debug.Lines();
  ASSERT_GE(debug.size(), 3u);
  EXPECT_EQ(std::vector<std::string>(debug.end() - 3, debug.end()),
            (std::vector<std::string>{"Main firmware : a.bin", "Sub firmware : b.brec2",
                                      "Press \"Update Firmware\" button to startup..."}));
}

TEST(SearchFwBtn, OnlySubFirmware) {
  Harness h;
  h.AddFile("dir.bin", 50, kDirectory);
  h.AddFile("s.brec2", 10);
  h.updater->Start();
  EXPECT_EQ(h.LogTexts(),
            (std::vector<std::string>{"Sub firmware : s.brec2", "Press \"Update Firmware\" button to startup..."}));
  EXPECT_EQ(h.view.Text(Control::FileEdit), "");
  EXPECT_EQ(h.view.Text(Control::FileEdit2), "s.brec2");
  EXPECT_TRUE(h.view.Enabled(Control::UpdateFwBtn));
}

TEST(FileEdits, SelectionFollowsTheTexts) {
  Harness h;
  h.AddFile("a.bin", 1);
  h.AddFile("b.brec2", 1);
  h.updater->Start();
  h.view.SetText(Control::FileEdit, "");
  EXPECT_TRUE(h.view.Enabled(Control::UpdateFwBtn));
  h.view.SetText(Control::FileEdit2, "");
  EXPECT_FALSE(h.view.Enabled(Control::UpdateFwBtn));
  h.view.SetText(Control::FileEdit2, " ");  // blanks count as a name
  EXPECT_TRUE(h.view.Enabled(Control::UpdateFwBtn));
}

// The real working-directory lister on a folder the test makes.
class WorkingFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    previous_ = fs::current_path();
    dir_ = fs::temp_directory_path() / ("tessaly-search-" + std::to_string(::getpid()) + "-" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    fs::current_path(dir_);
  }
  void TearDown() override {
    fs::current_path(previous_);
    fs::remove_all(dir_);
  }
  static void Touch(const std::string& name, int ageSeconds) {
    std::ofstream(name) << "x";
    fs::last_write_time(name, fs::file_time_type::clock::now() - std::chrono::seconds(ageSeconds));
  }
  fs::path previous_, dir_;
};

TEST_F(WorkingFolder, SkipsFoldersAndLinksTakesHiddenFiles) {
  Touch("old.bin", 100);
  Touch("target.bin", 200);
  fs::create_directory("new.bin");
  fs::create_symlink("target.bin", "link.bin");
  fs::last_write_time("new.bin", fs::file_time_type::clock::now());
  Touch(".hidden.brec2", 5);
  WorkingDirectoryLister lister;
  std::string main, sub;
  ASSERT_TRUE(FindNewestFirmware(lister, kMainFirmwareKind, main));
  EXPECT_EQ(main, "old.bin");
  ASSERT_TRUE(FindNewestFirmware(lister, kSubFirmwareKind, sub));
  EXPECT_EQ(sub, ".hidden.brec2");
}

TEST_F(WorkingFolder, EqualTimesGoToTheEntryListedLast) {
  const auto when = fs::file_time_type::clock::now() - std::chrono::seconds(10);
  for (const char* n : {"p.brec2", "q.brec2", "r.brec2"}) {
    std::ofstream(n) << "x";
    fs::last_write_time(n, when);
  }
  WorkingDirectoryLister lister;
  const auto listed = lister.List(".brec2");
  ASSERT_EQ(listed.size(), 3u);
  std::string sub;
  ASSERT_TRUE(FindNewestFirmware(lister, kSubFirmwareKind, sub));
  EXPECT_EQ(sub, listed.back().name);
}

TEST_F(WorkingFolder, EmptyFolderFindsNothing) {
  WorkingDirectoryLister lister;
  std::string main = "kept";
  EXPECT_FALSE(FindNewestFirmware(lister, kMainFirmwareKind, main));
  EXPECT_EQ(main, "kept");
}

}  // namespace
}  // namespace tessaly::testing
