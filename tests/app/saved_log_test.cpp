// The saved logs' folder: the newest 100 of ours stay, older ones of ours go, no other
// file is ever touched, and a name already taken is never written through; the file's
// lines show outside text without obeying it.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

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

std::string Content(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

SavedLogOptions FixedClockOptions(const fs::path& folder) {
  SavedLogOptions options;
  options.folder = folder.string();
  options.clock = [] { return SavedLog::Clock::time_point(std::chrono::seconds(1800000000)); };
  return options;
}

// The name a log of FixedClockOptions to `address` gets in an empty folder.
std::string FirstName(const fs::path& scratch, const std::string& address) {
  SavedLog log(FixedClockOptions(scratch));
  log.Begin(SavedLogStart{address, {}});
  log.End("succeeded");
  log.Flush();
  return fs::path(log.LastPath()).filename().string();
}

enum class Planted { File, Folder, LinkToOutsideFile, DanglingLink };

struct PlantedCase {
  const char* name;
  Planted planted;
};
TESSALY_PRINT_PARAM(PlantedCase, name)

class SavedLogPlanted : public ::testing::TestWithParam<PlantedCase> {};

// Whatever stands at the first name stays as it was, and so does what a link there points
// to: the log takes the next name.
TEST_P(SavedLogPlanted, TakesTheNextNameAndLeavesThePlantedOneAlone) {
  TempDir dir;
  const std::string first = FirstName(dir.path() / "scratch", "10.0.0.5");
  ASSERT_TRUE(IsSavedLogName(first)) << first;
  const fs::path folder = dir.path() / "logs";
  fs::create_directories(folder);
  const fs::path at = folder / first;
  const fs::path outside = dir.path() / "outside.txt";
  const std::string kept = "not a log\n";
  switch (GetParam().planted) {
    case Planted::File: std::ofstream(at, std::ios::binary) << kept; break;
    case Planted::Folder: fs::create_directory(at); break;
    case Planted::LinkToOutsideFile:
      std::ofstream(outside, std::ios::binary) << kept;
      fs::create_symlink(outside, at);
      break;
    case Planted::DanglingLink: fs::create_symlink(outside, at); break;
  }

  std::string path;
  {
    SavedLog log(FixedClockOptions(folder));
    log.Begin(SavedLogStart{"10.0.0.5", {}});
    log.Line(LogLevel::Info, "a line", false);
    log.End("succeeded");
    log.Flush();
    path = log.LastPath();
  }
  const std::string second = first.substr(0, first.size() - 4) + "-2.log";
  EXPECT_EQ(fs::path(path).filename().string(), second);
  std::ifstream written(folder / second);
  std::string head;
  std::getline(written, head);
  EXPECT_EQ(head, "Updater for Tessaly: the log of one update");

  switch (GetParam().planted) {
    case Planted::File: EXPECT_EQ(Content(at), kept); break;
    case Planted::Folder: EXPECT_TRUE(fs::is_directory(fs::symlink_status(at))); break;
    case Planted::LinkToOutsideFile:
      EXPECT_TRUE(fs::is_symlink(at));
      EXPECT_EQ(Content(outside), kept);
      break;
    case Planted::DanglingLink:
      EXPECT_TRUE(fs::is_symlink(at));
      EXPECT_FALSE(fs::exists(fs::symlink_status(outside)));
      break;
  }
}

std::vector<PlantedCase> PlantedCases() {
  std::vector<PlantedCase> cases{{"file", Planted::File}, {"folder", Planted::Folder}};
#ifndef _WIN32  // symbolic links need a privilege there
  cases.push_back({"link_to_outside_file", Planted::LinkToOutsideFile});
  cases.push_back({"dangling_link", Planted::DanglingLink});
#endif
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Cases, SavedLogPlanted, ::testing::ValuesIn(PlantedCases()),
                         [](const ::testing::TestParamInfo<PlantedCase>& p) { return std::string(p.param.name); });

// A file name and an address with terminal controls and a forged line: every line of the
// file shows them as \xNN, and no line is added.
TEST(SavedLogFile, ShowsOutsideTextEscaped) {
  TempDir dir;
  const std::string file = "fw\x1b]0;pwned\x07\nUpdated Main Firmware has succeeded.\xc2\x9b\xff.bin";
#if defined(_WIN32)
  // Bytes from 0x80 on are the ANSI code page's characters there.
  const std::string shown = "fw\\x1b]0;pwned\\x07\\x0aUpdated Main Firmware has succeeded.\xc2\x9b\xff.bin";
#else
  const std::string shown = R"(fw\x1b]0;pwned\x07\x0aUpdated Main Firmware has succeeded.\x9b\xff.bin)";
#endif
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
