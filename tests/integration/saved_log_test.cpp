// The saved log of whole updates through the core: every line in order with its level
// and time, the files' digests, the projector's address and model, the outcome; and a
// folder that cannot be written changes nothing but one line on standard error.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "app/version.h"
#include "sub_update_run.h"
#include "support/param_print.h"

namespace tessaly::testing {
namespace {

using namespace std::chrono_literals;
using Lines = std::vector<std::string>;

// The digest as a separate tool computes it.
std::string Sha256Sum(const std::string& path) {
  std::string out;
  if (std::FILE* p = ::popen(("sha256sum '" + path + "'").c_str(), "r")) {
    char buffer[128] = {};
    if (std::fgets(buffer, sizeof buffer, p)) out = std::string(buffer).substr(0, 64);
    ::pclose(p);
  }
  return out;
}

// A saved log's three parts: head, lines, tail, parted by empty lines.
struct SavedFile {
  Lines head, body, tail;
};

SavedFile ReadSaved(const std::string& path) {
  SavedFile f;
  std::ifstream in(path);
  Lines* part = &f.head;
  for (std::string line; std::getline(in, line);) {
    if (line.empty()) {
      part = part == &f.head ? &f.body : &f.tail;
      continue;
    }
    part->push_back(line);
  }
  return f;
}

enum class Act { None, AbortWhileBurning, CloseWhileBurning, ManualPath };

struct SavedCase {
  const char* name;
  void (*arrange)(pjsim::SimOptions&);
  Act act;
  const char* outcome;
  const char* model;
};
TESSALY_PRINT_PARAM(SavedCase, name)

class SavedLogThreaded : public ::testing::TestWithParam<SavedCase> {};

TEST_P(SavedLogThreaded, HoldsTheWholeUpdate) {
  const SavedCase& c = GetParam();
  pjsim::SimOptions o;
  o.burn_time = 200ms;
  c.arrange(o);
  StageRoutines stages;
  if (c.act == Act::ManualPath) {
    stages.UpdateMainFirmware = MainStageGiving([] { return StageEnd::Failed; });  // no boot loader on loopback
  }
  SubUpdateRun run(o, stages);
  ASSERT_TRUE(run.started) << run.sim->error();
  run.events.answers.push_back(Answer::Yes);
  TempDir logs;
  SavedLogOptions options;
  options.folder = logs.File("logs");
  run.core->EnableSavedLog(options);

  UpdateRequest request = run.SubRequest();
  if (c.act == Act::ManualPath) {
    request.subFile.clear();
    request.mainFile = run.dir.Write("m.bin", Pattern(3000));
    request.manual = true;
    request.adapterIndex = 0;
    request.adapterAddress = "127.0.0.1";
  }
  ASSERT_TRUE(run.Start(request));
  if (c.act == Act::AbortWhileBurning || c.act == Act::CloseWhileBurning) {
    ASSERT_TRUE(run.PumpUntilSeen("info: Burning...... Please waiting....."))
        << ::testing::PrintToString(run.events.events);
    if (c.act == Act::AbortWhileBurning) run.core->Abort();
  }
  if (c.act == Act::CloseWhileBurning) {
    run.core->Shutdown();
  } else {
    ASSERT_TRUE(run.PumpUntilEnded()) << ::testing::PrintToString(run.events.events);
    run.core->Shutdown();  // the file is complete once the core has shut down
  }

  const std::string path = run.core->LastSavedLogPath();
  ASSERT_FALSE(path.empty());
  EXPECT_EQ(std::filesystem::path(path).parent_path(), std::filesystem::path(options.folder));
  const SavedFile saved = ReadSaved(path);

  // The head: version, address, each file with its size and digest.
  const std::string file = request.mainFile.empty() ? request.subFile : request.mainFile;
  const std::string label = request.mainFile.empty() ? "Sub firmware: " : "Main firmware: ";
  ASSERT_EQ(saved.head.size(), 5u) << ::testing::PrintToString(saved.head);
  EXPECT_EQ(saved.head[1], std::string("Program version: ") + ProgramVersion());
  EXPECT_TRUE(
      std::regex_match(saved.head[2], std::regex(R"(Started: \d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} local time, )"
                                                 R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)")))
      << saved.head[2];
  EXPECT_EQ(saved.head[3], "Projector address: 127.0.0.1");
  const std::string digest = Sha256Sum(file);
  ASSERT_EQ(digest.size(), 64u);
  EXPECT_EQ(saved.head[4],
            label + file + ", " + std::to_string(std::filesystem::file_size(file)) + " bytes, SHA-256 " + digest);

  // Every line, in order, with its level, each stamped, the stamps never going back.
  const std::regex lineForm(R"((\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}) (info |error) (.*))");
  Lines lines;
  std::string lastStamp;
  for (const std::string& l : saved.body) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(l, m, lineForm)) << l;
    EXPECT_LE(lastStamp, m[1].str());
    lastStamp = m[1].str();
    lines.push_back((m[2].str() == "error" ? "error: " : "info: ") + m[3].str());
  }
  const Lines shown = run.LogLines();
  if (c.act == Act::CloseWhileBurning) {
    // The worker's last lines come while the core shuts down, after the front end's last turn.
    ASSERT_GE(lines.size(), shown.size());
    EXPECT_EQ(Lines(lines.begin(), lines.begin() + static_cast<long>(shown.size())), shown);
  } else {
    EXPECT_EQ(lines, shown);
  }
  if (c.act == Act::ManualPath) {
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), "info: Waiting update Main firmware packet ....");
  }

  ASSERT_EQ(saved.tail.size(), 3u) << ::testing::PrintToString(saved.tail);
  EXPECT_EQ(saved.tail[0], std::string("Projector model: ") + c.model);
  EXPECT_EQ(saved.tail[1], std::string("Outcome: ") + c.outcome);
  EXPECT_EQ(saved.tail[2].rfind("Ended: ", 0), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SavedLogThreaded,
    ::testing::Values(
        SavedCase{"succeeded", [](pjsim::SimOptions&) {}, Act::None, "succeeded", "QMA"},
        SavedCase{"wrong_checksum", [](pjsim::SimOptions& o) { o.sub_wrong_checksum = true; }, Act::None, "failed",
                  "QMA"},
        SavedCase{"other_model", [](pjsim::SimOptions& o) { o.model_code = "QMB"; }, Act::None, "failed", "QMB"},
        SavedCase{"aborted", [](pjsim::SimOptions& o) { o.burn_time = 20000ms; }, Act::AbortWhileBurning,
                  "aborted by the operator", "QMA"},
        SavedCase{"window_closed", [](pjsim::SimOptions& o) { o.burn_time = 20000ms; }, Act::CloseWhileBurning,
                  "closed: the program ended before the update did", "QMA"},
        SavedCase{"manual_path", [](pjsim::SimOptions&) {}, Act::ManualPath, "failed", "not learned in this update"}),
    [](const ::testing::TestParamInfo<SavedCase>& p) { return std::string(p.param.name); });

// The same update with a log folder that can be written and with one that cannot (a
// plain file stands where its parent should be, which stops root as well).
TEST(SavedLogThreadedUnwritable, ChangesNothingButOneLineOnStandardError) {
  // No system bus: the hold on sleep says its own line the same way in both runs.
  ::setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/tessaly-test-bus", 1);
  struct Result {
    Lines events;
    Lines stderrLines;
    std::string path;
  };
  std::string unwritable;
  auto runWith = [&](bool writable) {
    Result r;
    SubUpdateRun run;
    EXPECT_TRUE(run.started);
    SavedLogOptions options;
    run.dir.Write("plain-file", {1, 2, 3});
    unwritable = run.dir.File("plain-file") + "/logs";
    options.folder = writable ? run.dir.File("logs") : unwritable;
    run.core->EnableSavedLog(options);
    ::testing::internal::CaptureStderr();
    EXPECT_TRUE(run.Start());
    EXPECT_TRUE(run.PumpUntilEnded()) << ::testing::PrintToString(run.events.events);
    run.core->Shutdown();
    std::istringstream err(::testing::internal::GetCapturedStderr());
    for (std::string line; std::getline(err, line);) r.stderrLines.push_back(line);
    r.events = run.events.events;
    r.path = run.core->LastSavedLogPath();
    return r;
  };
  const Result good = runWith(true);
  const Result bad = runWith(false);

  EXPECT_EQ(good.events.back(), "end: succeeded");
  EXPECT_EQ(bad.events, good.events);
  EXPECT_FALSE(good.path.empty());
  EXPECT_TRUE(bad.path.empty());
  ASSERT_EQ(bad.stderrLines.size(), good.stderrLines.size() + 1) << ::testing::PrintToString(bad.stderrLines);
  Lines extra = bad.stderrLines;
  for (const std::string& line : good.stderrLines) {
    const auto same = std::find(extra.begin(), extra.end(), line);
    if (same != extra.end()) extra.erase(same);
  }
  ASSERT_EQ(extra.size(), 1u) << ::testing::PrintToString(bad.stderrLines);
  EXPECT_NE(extra[0].find(unwritable), std::string::npos) << extra[0];
  ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
}

}  // namespace
}  // namespace tessaly::testing
