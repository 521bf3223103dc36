#include <gtest/gtest.h>

#include <thread>

#include "support/harness.h"
#include "support/core_probe.h"

namespace tessaly::testing {
namespace {

TEST(MessageLog, EachLineKeepsItsColour) {
  Harness h;
  Probe(h.updater).log().LogInfo("one %d", 1);
  Probe(h.updater).log().LogError("two %s", "b");
  Probe(h.updater).log().LogInfo("three");
  EXPECT_EQ(h.view.logLines(),
            (std::vector<LogLine>{{"one 1", LogColour::Blue}, {"two b", LogColour::Red}, {"three", LogColour::Blue}}));
  EXPECT_EQ(h.debug.Lines(), (std::vector<std::string>{"one 1", "two b", "three"}));
}

TEST(MessageLog, ColourValuesInTheToolkitLayout) {
  EXPECT_EQ(static_cast<std::uint32_t>(LogColour::Blue), 16711680u);
  EXPECT_EQ(static_cast<std::uint32_t>(LogColour::Red), 255u);
}

TEST(MessageLog, EmptyFormatGivesAnEmptyLine) {
  Harness h;
  Probe(h.updater).log().LogError("%s", "");
  EXPECT_EQ(h.view.logLines(), (std::vector<LogLine>{{"", LogColour::Red}}));
  EXPECT_EQ(h.debug.Lines(), std::vector<std::string>{""});
}

TEST(MessageLog, LongLineIsKeptWhole) {
  Harness h;
  const std::string big(20000, 'x');
  Probe(h.updater).log().LogInfo("[%s]", big.c_str());
  ASSERT_EQ(h.view.logLines().size(), 1u);
  EXPECT_EQ(h.view.logLines()[0].text, "[" + big + "]");
}

// A worker that writes faster than the front end shows: what waits for the front end
// stays bounded, the saved log and the debugger output keep every line, and the front
// end is told how many it missed.
TEST(MessageLog, LinesBeyondTheBacklogGoOnlyToTheRecord) {
  Harness h;
  std::vector<std::string> saved;
  Probe(h.updater).log().SetSink([&](LogLevel, const std::string& text) { saved.push_back(text); });
  constexpr std::uint32_t kWritten = MessageLog::kMaxQueuedLines + 500;
  std::thread worker([&] {
    for (std::uint32_t i = 0; i < kWritten; ++i) Probe(h.updater).log().LogInfo("line %u", static_cast<unsigned>(i));
  });
  worker.join();  // the front end's thread has not turned once meanwhile
  h.view.ProcessEvents();
  const auto shown = h.LogTexts();
  ASSERT_EQ(shown.size(), MessageLog::kMaxQueuedLines + 1);
  EXPECT_EQ(shown[MessageLog::kMaxQueuedLines - 1], "line " + std::to_string(MessageLog::kMaxQueuedLines - 1));
  EXPECT_EQ(shown.back(), "500 lines came faster than they could be shown; the saved log has them");
  EXPECT_EQ(saved.size(), kWritten);
  EXPECT_EQ(h.debug.Lines().size(), kWritten);
  // Drained, the front end shows every line again.
  Probe(h.updater).log().LogInfo("after");
  EXPECT_EQ(h.LogTexts().back(), "after");
}

TEST(MessageLog, AsideLinesGoToTheRecordOnly) {
  Harness h;
  std::vector<std::string> saved;
  Probe(h.updater).log().SetSink([&](LogLevel, const std::string& text) { saved.push_back(text); });
  Probe(h.updater).log().Aside(LogLevel::Info, "another host");
  EXPECT_TRUE(h.view.logLines().empty());
  EXPECT_EQ(saved, std::vector<std::string>{"another host"});
  EXPECT_EQ(h.debug.Lines(), std::vector<std::string>{"another host"});
  RecordingDebugOutput aside;
  Probe(h.updater).log().SetAsideOutput(aside);
  Probe(h.updater).log().Aside(LogLevel::Info, "elsewhere");
  EXPECT_EQ(aside.Lines(), std::vector<std::string>{"elsewhere"});
  EXPECT_EQ(h.debug.Lines().size(), 1u);
}

TEST(MessageLog, QuotesAndPercentFormatting) {
  EXPECT_EQ(Format("Try connecting to \"%s\"...", "10.0.0.5"), "Try connecting to \"10.0.0.5\"...");
  EXPECT_EQ(Format("%d%%", 50), "50%");
}

}  // namespace
}  // namespace tessaly::testing
