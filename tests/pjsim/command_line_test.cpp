#include <gtest/gtest.h>

#include <string_view>
#include <vector>

#include "command_line.h"

namespace tessaly::pjsim {
namespace {

using namespace std::chrono_literals;

CommandLine Parse(std::vector<std::string_view> args) { return ParseCommandLine(args); }

TEST(PjsimCommandLine, DefaultsListenOnTheControlPortOfTheLoopback) {
  const CommandLine c = Parse({});
  ASSERT_EQ(c.action, CommandLine::Action::kRun) << c.error;
  EXPECT_EQ(c.options.listen_address, "127.0.0.1");
  EXPECT_EQ(c.options.port, 20554);
  EXPECT_EQ(c.options.model_code, "QMA");
  EXPECT_FALSE(c.options.no_greeting);
  EXPECT_FALSE(c.options.greeting_extra);
  EXPECT_FALSE(c.options.split_model_answer);
  EXPECT_EQ(c.options.close_at, CloseAt::kNever);
  EXPECT_EQ(c.options.answer_delay, 0ms);
}

TEST(PjsimCommandLine, EveryOptionIsTaken) {
  const CommandLine c = Parse({"--listen", "127.0.0.2", "--port=0", "--model", "QRN", "--no-greeting",
                               "--greeting-extra", "--split-model-answer", "--close-at", "model-answer",
                               "--answer-delay-ms=250"});
  ASSERT_EQ(c.action, CommandLine::Action::kRun) << c.error;
  EXPECT_EQ(c.options.listen_address, "127.0.0.2");
  EXPECT_EQ(c.options.port, 0);
  EXPECT_EQ(c.options.model_code, "QRN");
  EXPECT_TRUE(c.options.no_greeting);
  EXPECT_TRUE(c.options.greeting_extra);
  EXPECT_TRUE(c.options.split_model_answer);
  EXPECT_EQ(c.options.close_at, CloseAt::kAfterModelAnswer);
  EXPECT_EQ(c.options.answer_delay, 250ms);
}

TEST(PjsimCommandLine, EveryCloseStepNameRoundTrips) {
  for (CloseAt at : {CloseAt::kNever, CloseAt::kAfterAccept, CloseAt::kAfterGreeting, CloseAt::kAfterPjack,
                     CloseAt::kAfterUdAck, CloseAt::kAfterModelAnswer, CloseAt::kAfterSq, CloseAt::kAfterSc}) {
    const std::string name(CloseAtName(at));
    const CommandLine c = Parse({"--close-at", name});
    ASSERT_EQ(c.action, CommandLine::Action::kRun) << name << ": " << c.error;
    EXPECT_EQ(c.options.close_at, at) << name;
  }
}

TEST(PjsimCommandLine, HelpWins) {
  EXPECT_EQ(Parse({"--port", "1", "--help"}).action, CommandLine::Action::kHelp);
  EXPECT_EQ(Parse({"-h"}).action, CommandLine::Action::kHelp);
}

TEST(PjsimCommandLine, BadInputIsAnErrorWithTheReason) {
  struct Case {
    std::vector<std::string_view> args;
    std::string_view reason;
  };
  const std::vector<Case> cases = {
      {{"--port", "65536"}, "--port"},
      {{"--port", "12x"}, "--port"},
      {{"--port"}, "needs a value"},
      {{"--close-at", "later"}, "--close-at must be one of"},
      {{"--answer-delay-ms", "-5"}, "--answer-delay-ms"},
      {{"--model", ""}, "model code"},
      {{"--model", "Q A"}, "model code"},
      {{"--model", "ABCDEFGHIJKLMNO"}, "model code"},
      {{"--no-greeting=1"}, "takes no value"},
      {{"--verbose"}, "unknown option \"--verbose\""},
  };
  for (const Case& c : cases) {
    const CommandLine r = Parse(c.args);
    EXPECT_EQ(r.action, CommandLine::Action::kError) << c.reason;
    EXPECT_NE(r.error.find(c.reason), std::string::npos) << r.error;
  }
}

TEST(PjsimCommandLine, UsageNamesEveryOption) {
  const std::string usage = UsageText("tessaly-pjsim");
  for (const char* option : {"--listen", "--port", "--model", "--no-greeting", "--greeting-extra",
                             "--split-model-answer", "--close-at", "--answer-delay-ms", "--help"}) {
    EXPECT_NE(usage.find(option), std::string::npos) << option;
  }
}

}  // namespace
}  // namespace tessaly::pjsim
