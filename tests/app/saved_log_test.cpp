// The saved logs' folder: the newest 100 of ours stay, older ones of ours go, and no
// other file is ever touched; the file's lines show outside text without obeying it.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "app/saved_log.h"
#include "support/param_print.h"
#include "support/temp_dir.h"

namespace tessaly::testing {
namespace {

namespace fs = std::filesystem;

struct NameCase {
  const char* name;
  bool ours;
};
TESSALY_PRINT_PARAM(NameCase, name)

class SavedLogNames : public ::testing::TestWithParam<NameCase> {};

TEST_P(SavedLogNames, OnlyOursAreOurs) { EXPECT_EQ(IsSavedLogName(GetParam().name), GetParam().ours); }

INSTANTIATE_TEST_SUITE_P(Names, SavedLogNames,
                         ::testing::Values(NameCase{"update-20261209-210503-123-192.168.0.2.log", true},
                                           NameCase{"update-20261209-210503-123-10.0.0.5-2.log", true},
                                           NameCase{"update-20261209-210503-123-.log", false},
                                           NameCase{"update-20261209-210503-123-a b.log", false},
                                           NameCase{"update-2026129-210503-123-192.168.0.2.log", false},
                                           NameCase{"update-20261209-210503-123-192.168.0.2.txt", false},
                                           NameCase{"Update-20261209-210503-123-192.168.0.2.log", false},
                                           NameCase{"notes.log", false}, NameCase{"update-.log", false}));

TEST(SavedLogFolder, KeepsTheNewestHundredOfOursAndNothingElseGoes) {
  TempDir dir;
  const fs::path folder = dir.path() / "logs";
  fs::create_directories(folder);
  // 120 older logs of ours, a minute apart, and files and a folder that are not ours.
  std::vector<std::string> old;
  for (int i = 0; i < 120; ++i) {
    char name[64];
    std::snprintf(name, sizeof name, "update-20200101-%02d%02d00-000-10.0.0.5.log", i / 60, i % 60);
    old.push_back(name);
    std::ofstream(folder / name) << "old\n";
  }
  const std::vector<std::string> foreign{"notes.txt", "update-20200101-000000-000-x.txt", "update-x.log",
                                         "Update-20200101-000000-000-a.log"};
  for (const std::string& f : foreign) std::ofstream(folder / f) << "not ours\n";
  fs::create_directories(folder / "update-20190101-000000-000-folder.log");

  {
    SavedLogOptions options;
    options.folder = folder.string();
    SavedLog log(options);
    log.Begin(SavedLogStart{"10.0.0.5", {}});
    log.Line(LogLevel::Info, "a line", false);
    log.End("succeeded");
    log.Flush();
    ASSERT_FALSE(log.LastPath().empty());
    EXPECT_TRUE(fs::exists(log.LastPath()));
  }

  std::vector<std::string> ours;
  for (const auto& e : fs::directory_iterator(folder)) {
    const std::string name = e.path().filename().string();
    if (IsSavedLogName(name) && e.is_regular_file()) ours.push_back(name);
  }
  std::sort(ours.begin(), ours.end());
  ASSERT_EQ(ours.size(), 100u);
  // The 21 oldest went: the 99 newest old ones and the new one stay.
  EXPECT_EQ(std::vector<std::string>(ours.begin(), ours.end() - 1),
            std::vector<std::string>(old.begin() + 21, old.end()));
  for (const std::string& f : foreign) EXPECT_TRUE(fs::exists(folder / f)) << f;
  EXPECT_TRUE(fs::is_directory(folder / "update-20190101-000000-000-folder.log"));
}

// A file name and an address with terminal controls and a forged line: every line of the
// file shows them as \xNN, and no line is added.
TEST(SavedLogFile, ShowsOutsideTextEscaped) {
  TempDir dir;
  const std::string file = "fw\x1b]0;pwned\x07\nUpdated Main Firmware has succeeded.\xc2\x9b\xff.bin";
  const std::string shown = R"(fw\x1b]0;pwned\x07\x0aUpdated Main Firmware has succeeded.\x9b\xff.bin)";
  std::string path;
  {
    SavedLogOptions options;
    options.folder = (dir.path() / "logs").string();
    SavedLog log(options);
    log.Begin(SavedLogStart{"10.0.0.5\x1b[2J", {{"Main firmware", file}}});
    log.Line(LogLevel::Error, "Main firmware file \"" + file + "\" not found", false);
    log.End("failed");
    log.Flush();
    path = log.LastPath();
  }
  ASSERT_FALSE(path.empty());
  std::vector<std::string> lines;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  // Head (4 lines, the file, a blank), the line, tail (a blank, 3 lines).
  ASSERT_EQ(lines.size(), 11u) << ::testing::PrintToString(lines);
  EXPECT_EQ(lines[3], R"(Projector address: 10.0.0.5\x1b[2J)");
  EXPECT_EQ(lines[4].rfind("Main firmware: " + shown + ", cannot be read", 0), 0u) << lines[4];
  const std::string tail = " error Main firmware file \"" + shown + "\" not found";
  ASSERT_GE(lines[6].size(), tail.size());
  EXPECT_EQ(lines[6].substr(lines[6].size() - tail.size()), tail) << lines[6];
}

}  // namespace
}  // namespace tessaly::testing
