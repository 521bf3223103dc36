#include <gtest/gtest.h>

#include "support/harness.h"

namespace tessaly::testing {
namespace {

TEST(MessageLog, EachLineKeepsItsColour) {
  Harness h;
  h.updater->log().LogInfo("one %d", 1);
  h.updater->log().LogError("two %s", "b");
  h.updater->log().LogInfo("three");
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
  h.updater->log().LogError("%s", "");
  EXPECT_EQ(h.view.logLines(), (std::vector<LogLine>{{"", LogColour::Red}}));
  EXPECT_EQ(h.debug.Lines(), std::vector<std::string>{""});
}

TEST(MessageLog, LongLineIsKeptWhole) {
  Harness h;
  const std::string big(20000, 'x');
  h.updater->log().LogInfo("[%s]", big.c_str());
  ASSERT_EQ(h.view.logLines().size(), 1u);
  EXPECT_EQ(h.view.logLines()[0].text, "[" + big + "]");
}

TEST(MessageLog, QuotesAndPercentFormatting) {
  EXPECT_EQ(Format("Try connecting to \"%s\"...", "10.0.0.5"), "Try connecting to \"10.0.0.5\"...");
  EXPECT_EQ(Format("%d%%", 50), "50%");
}

}  // namespace
}  // namespace tessaly::testing
