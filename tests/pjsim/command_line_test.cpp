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
  EXPECT_FALSE(c.options.close_with_reset);
  EXPECT_FALSE(c.options.repeat_ud_ack);
  EXPECT_EQ(c.options.answer_delay, 0ms);
}

TEST(PjsimCommandLine, EveryOptionIsTaken) {
  const CommandLine c = Parse({"--listen", "127.0.0.2", "--port=0", "--model", "QRN", "--no-greeting",
                               "--greeting-extra", "--split-model-answer", "--close-at", "model-answer",
                               "--close-with-reset", "--repeat-ud-ack", "--answer-delay-ms=250"});
  ASSERT_EQ(c.action, CommandLine::Action::kRun) << c.error;
  EXPECT_EQ(c.options.listen_address, "127.0.0.2");
  EXPECT_EQ(c.options.port, 0);
  EXPECT_EQ(c.options.model_code, "QRN");
  EXPECT_TRUE(c.options.no_greeting);
  EXPECT_TRUE(c.options.greeting_extra);
  EXPECT_TRUE(c.options.split_model_answer);
  EXPECT_EQ(c.options.close_at, CloseAt::kAfterModelAnswer);
  EXPECT_TRUE(c.options.close_with_reset);
  EXPECT_TRUE(c.options.repeat_ud_ack);
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
      {{"--close-with-reset=yes"}, "takes no value"},
      {{"--repeat-ud-ack=2"}, "takes no value"},
      {{"--verbose"}, "unknown option \"--verbose\""},
  };
  for (const Case& c : cases) {
    const CommandLine r = Parse(c.args);
    EXPECT_EQ(r.action, CommandLine::Action::kError) << c.reason;
    EXPECT_NE(r.error.find(c.reason), std::string::npos) << r.error;
  }
}

TEST(PjsimCommandLine, BootLoaderDefaultsAreTheRealPortsAndTheBroadcast) {
  const CommandLine c = Parse({});
  ASSERT_EQ(c.action, CommandLine::Action::kRun) << c.error;
  const SimOptions& o = c.options;
  EXPECT_EQ(o.mac, (MacAddress{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(o.magic_port, 9);
  EXPECT_EQ(o.bootp_server_port, 67);
  EXPECT_EQ(o.bootp_client_port, 68);
  EXPECT_EQ(o.tftp_port, 69);
  EXPECT_EQ(o.broadcast_address, "255.255.255.255");
  EXPECT_EQ(o.broadcast_bind_address, "0.0.0.0");
  EXPECT_FALSE(o.start_without_magic.has_value());
  EXPECT_EQ(o.bootp_retry, 1000ms);
  EXPECT_EQ(o.tftp_timeout, 1000ms);
  EXPECT_EQ(o.restart_delay, 2000ms);
  EXPECT_EQ(o.bootp_sname, "stellaris");
  EXPECT_FALSE(o.bootp_mac.has_value());
  EXPECT_FALSE(o.skip_bootp);
  EXPECT_TRUE(o.tftp_server.empty());
  EXPECT_EQ(o.drop_acks, 0);
  EXPECT_FALSE(o.duplicate_acks);
  EXPECT_EQ(o.stop_at_block, 0u);
  EXPECT_TRUE(o.expected_image_path.empty());
}

TEST(PjsimCommandLine, EveryBootLoaderOptionIsTaken) {
  const CommandLine c = Parse({"--mac",
                               "00:1b:44:11:3a:b7",
                               "--bootp-mac=02-00-00-00-00-01",
                               "--bootp-sname",
                               "STELLARIS",
                               "--skip-bootp",
                               "--tftp-server",
                               "127.0.0.1",
                               "--magic-port",
                               "0",
                               "--bootp-server-port=1067",
                               "--bootp-client-port",
                               "1068",
                               "--tftp-port",
                               "1069",
                               "--broadcast",
                               "127.0.0.1",
                               "--broadcast-bind",
                               "255.255.255.255",
                               "--image",
                               "/tmp/main.bin",
                               "--restart-delay-ms",
                               "500",
                               "--bootp-retry-ms=250",
                               "--bootp-tries",
                               "4",
                               "--tftp-timeout-ms",
                               "300",
                               "--tftp-tries=2",
                               "--start-without-magic-ms",
                               "150",
                               "--drop-acks",
                               "3",
                               "--duplicate-acks",
                               "--stop-at-block",
                               "70000"});
  ASSERT_EQ(c.action, CommandLine::Action::kRun) << c.error;
  const SimOptions& o = c.options;
  EXPECT_EQ(o.mac, (MacAddress{0x00, 0x1B, 0x44, 0x11, 0x3A, 0xB7}));
  EXPECT_EQ(o.bootp_mac, (MacAddress{0x02, 0, 0, 0, 0, 0x01}));
  EXPECT_EQ(o.bootp_sname, "STELLARIS");
  EXPECT_TRUE(o.skip_bootp);
  EXPECT_EQ(o.tftp_server, "127.0.0.1");
  EXPECT_EQ(o.magic_port, 0);
  EXPECT_EQ(o.bootp_server_port, 1067);
  EXPECT_EQ(o.bootp_client_port, 1068);
  EXPECT_EQ(o.tftp_port, 1069);
  EXPECT_EQ(o.broadcast_address, "127.0.0.1");
  EXPECT_EQ(o.broadcast_bind_address, "255.255.255.255");
  EXPECT_EQ(o.expected_image_path, "/tmp/main.bin");
  EXPECT_EQ(o.restart_delay, 500ms);
  EXPECT_EQ(o.bootp_retry, 250ms);
  EXPECT_EQ(o.bootp_tries, 4);
  EXPECT_EQ(o.tftp_timeout, 300ms);
  EXPECT_EQ(o.tftp_tries, 2);
  EXPECT_EQ(o.start_without_magic, 150ms);
  EXPECT_EQ(o.drop_acks, 3);
  EXPECT_TRUE(o.duplicate_acks);
  EXPECT_EQ(o.stop_at_block, 70000u);
}

TEST(PjsimCommandLine, BadBootLoaderInputIsAnErrorWithTheReason) {
  struct Case {
    std::vector<std::string_view> args;
    std::string_view reason;
  };
  const std::vector<Case> cases = {
      {{"--mac", "FF:FF:FF:FF:FF"}, "--mac must look like"},
      {{"--bootp-mac", "GG:FF:FF:FF:FF:FF"}, "--bootp-mac must look like"},
      {{"--tftp-port", "0"}, "--tftp-port must be a number from 1"},
      {{"--bootp-server-port", "70000"}, "--bootp-server-port"},
      {{"--magic-port", "-1"}, "--magic-port must be a number from 0"},
      {{"--broadcast", "everyone"}, "broadcast address \"everyone\""},
      {{"--broadcast-bind", "any"}, "broadcast bind address"},
      {{"--tftp-server", "updater"}, "TFTP server \"updater\""},
      {{"--tftp-timeout-ms", "0"}, "--tftp-timeout-ms must be a number from 1"},
      {{"--restart-delay-ms", "60001"}, "--restart-delay-ms"},
      {{"--bootp-tries", "0"}, "--bootp-tries"},
      {{"--stop-at-block", "0"}, "--stop-at-block must be a number from 1"},
      {{"--drop-acks", "x"}, "--drop-acks"},
      {{"--bootp-sname", std::string_view("stellaris-with-a-name-much-longer-than-the-field-can-ever-hold-x")},
       "server name must have at most 63"},
      {{"--image", ""}, "--image needs a file name"},
      {{"--duplicate-acks=1"}, "takes no value"},
      {{"--skip-bootp=yes"}, "takes no value"},
  };
  for (const Case& c : cases) {
    const CommandLine r = Parse(c.args);
    EXPECT_EQ(r.action, CommandLine::Action::kError) << c.reason;
    EXPECT_NE(r.error.find(c.reason), std::string::npos) << r.error;
  }
}

TEST(PjsimCommandLine, UsageNamesEveryBootLoaderOption) {
  const std::string usage = UsageText("tessaly-pjsim");
  for (const char* option : {"--mac",
                             "--magic-port",
                             "--bootp-client-port",
                             "--bootp-server-port",
                             "--broadcast ",
                             "--broadcast-bind",
                             "--tftp-port",
                             "--tftp-server",
                             "--image",
                             "--start-without-magic-ms",
                             "--bootp-retry-ms",
                             "--bootp-tries",
                             "--tftp-timeout-ms",
                             "--tftp-tries",
                             "--restart-delay-ms",
                             "--drop-acks",
                             "--duplicate-acks",
                             "--stop-at-block",
                             "--bootp-mac",
                             "--bootp-sname",
                             "--skip-bootp"}) {
    EXPECT_NE(usage.find(option), std::string::npos) << option;
  }
}

TEST(PjsimCommandLine, UsageNamesEveryOption) {
  const std::string usage = UsageText("tessaly-pjsim");
  for (const char* option :
       {"--listen", "--port", "--model", "--no-greeting", "--greeting-extra", "--split-model-answer", "--close-at",
        "--close-with-reset", "--repeat-ud-ack", "--answer-delay-ms", "--help"}) {
    EXPECT_NE(usage.find(option), std::string::npos) << option;
  }
}

}  // namespace
}  // namespace tessaly::pjsim
