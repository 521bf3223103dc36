#include <gtest/gtest.h>

#include "support/param_print.h"

#include <string>
#include <vector>

#include "control/frames.h"

namespace tessaly::testing {
namespace {

std::vector<std::uint8_t> Bytes(std::initializer_list<int> b) {
  std::vector<std::uint8_t> v;
  for (int x : b) v.push_back(static_cast<std::uint8_t>(x));
  return v;
}
std::vector<std::uint8_t> Text(const std::string& s) { return {s.begin(), s.end()}; }

std::vector<std::uint8_t> ModelAnswer(char letter) {
  auto v = Bytes({0x06, 0x89, 0x01, 0x4D, 0x44, 0x0A});
  std::vector<std::uint8_t> reply(20, 0x20);
  reply[18] = static_cast<std::uint8_t>(letter);  // index 24 of the whole answer
  v.insert(v.end(), reply.begin(), reply.end());
  return v;
}

struct ReadCase {
  const char* name;
  std::vector<std::uint8_t> bytes;
  ControlRead kind;
};
TESSALY_PRINT_PARAM(ReadCase, name)

class Classify : public ::testing::TestWithParam<ReadCase> {};

TEST_P(Classify, ByContentAlone) {
  EXPECT_EQ(ClassifyControlRead(GetParam().bytes.data(), GetParam().bytes.size()), GetParam().kind);
}

INSTANTIATE_TEST_SUITE_P(
    Reads, Classify,
    ::testing::Values(ReadCase{"greeting", Text("PJ_OK"), ControlRead::Greeting},
                      ReadCase{"greeting_then_nul", Bytes({'P', 'J', '_', 'O', 'K', 0, 'x'}), ControlRead::Greeting},
                      ReadCase{"greeting_with_line_end", Text("PJ_OK\r\n"), ControlRead::Other},
                      ReadCase{"greeting_short", Text("PJ_O"), ControlRead::Other},
                      ReadCase{"session_ack", Text("PJACK"), ControlRead::SessionAck},
                      ReadCase{"ud_ack", Bytes({0x06, 0x89, 0x01, 0x55, 0x44, 0x0A}), ControlRead::UdAck},
                      ReadCase{"ud_ack_loose_bytes", Bytes({0x06, 0x00, 0x00, 0x55, 0x44, 0x00}), ControlRead::UdAck},
                      ReadCase{"ud_ack_seven_bytes", Bytes({0x06, 0x89, 0x01, 0x55, 0x44, 0x0A, 0x0A}),
                               ControlRead::Other},
                      ReadCase{"ud_wrong_header", Bytes({0x21, 0x89, 0x01, 0x55, 0x44, 0x0A}), ControlRead::Other},
                      ReadCase{"model_ack_alone", Bytes({0x06, 0x89, 0x01, 0x4D, 0x44, 0x0A}), ControlRead::Other},
                      ReadCase{"model_answer", ModelAnswer('A'), ControlRead::ModelAnswer},
                      ReadCase{"sq", Bytes({0x73, 0x71, 0, 0}), ControlRead::SqReply},
                      ReadCase{"sc", Bytes({0x73, 0x63}), ControlRead::ScReply},
                      ReadCase{"s_alone", Bytes({0x73}), ControlRead::Other},
                      ReadCase{"upper_SC", Bytes({0x53, 0x43}), ControlRead::Other}),
    [](const ::testing::TestParamInfo<ReadCase>& p) { return std::string(p.param.name); });

TEST(Frames, BytesOnTheWire) {
  EXPECT_EQ(kMainDownloadCommand, (Frame8{0x21, 0x89, 0x01, 'U', 'D', 'E', 'T', 0x0A}));
  EXPECT_EQ(kSubDownloadCommand, (Frame8{0x21, 0x89, 0x01, 'U', 'D', 'R', 'E', 0x0A}));
  EXPECT_EQ(kModelQuery, (Frame6{0x3F, 0x89, 0x01, 'M', 'D', 0x0A}));
  EXPECT_EQ(kSqRecord, (Record16{'S', 'Q', 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(kScRecord, (Record16{'S', 'C', 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(kPjControlPort, 0x504A);
}

}  // namespace
}  // namespace tessaly::testing
