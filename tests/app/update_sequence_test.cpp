#include <gtest/gtest.h>

#include "support/param_print.h"
#include "support/core_probe.h"

#include "support/harness.h"
#include "support/temp_dir.h"

namespace tessaly::testing {
namespace {

using Lines = std::vector<std::string>;

struct Refusal {
  const char* name;
  std::string ip;
  std::string mac;
  bool main;     // name a Main image
  int mainSize;  // -1: the file is missing
  bool sub;
  int subSize;  // payload bytes after the 32-byte header; -1 missing; -2 a 31-byte file; -3 no known model
  bool manual;
  bool adapterSelected;
  Lines lines;  // {main} and {sub} stand for the file paths
  bool ipRemembered;
};
TESSALY_PRINT_PARAM(Refusal, name)

class UpdateFwRefusal : public ::testing::TestWithParam<Refusal> {};

std::string Expand(std::string line, const std::string& main, const std::string& sub) {
  for (auto [key, value] : {std::pair<std::string, std::string>{"{main}", main}, {"{sub}", sub}}) {
    const auto at = line.find(key);
    if (at != std::string::npos) line.replace(at, key.size(), value);
  }
  return line;
}

TEST_P(UpdateFwRefusal, LogsTheReasonAndStartsNothing) {
  const Refusal& c = GetParam();
  TempDir dir;
  Harness h;
  h.adapters.adapters = std::vector<AdapterInfo>{{"lo", "lo", {"127.0.0.1"}}};
  h.updater->Start();
  const std::string mainPath = dir.File("m.bin");
  const std::string subPath = dir.File("s.brec2");
  if (c.main && c.mainSize >= 0) dir.Write("m.bin", std::vector<std::uint8_t>(static_cast<std::size_t>(c.mainSize), 7));
  if (c.sub && c.subSize >= 0)
    dir.WriteSubImage("s.brec2", 0x0A, std::vector<std::uint8_t>(static_cast<std::size_t>(c.subSize), 1));
  if (c.sub && c.subSize == -2) dir.Write("s.brec2", std::vector<std::uint8_t>(31, 1));
  if (c.sub && c.subSize == -3) dir.WriteSubImage("s.brec2", 0x0C, std::vector<std::uint8_t>(10, 1));
  h.view.SetText(Control::FileEdit, c.main ? mainPath : "");
  h.view.SetText(Control::FileEdit2, c.sub ? subPath : "");
  h.view.SetText(Control::IpAddrEdit, c.ip);
  h.view.SetText(Control::MacAddrEdit, c.mac);
  if (c.manual) {
    h.view.SetVisible(Control::UpfwBox, true);
    h.view.SetChecked(Control::UpfwBox, true);
    if (!c.adapterSelected) h.view.SetItemIndex(Control::AdapterBox, -1);
  }
  const std::size_t before = h.view.logLines().size();
  h.view.Click(Control::UpdateFwBtn);
  Lines got;
  for (std::size_t i = before; i < h.view.logLines().size(); ++i) {
    EXPECT_EQ(h.view.logLines()[i].colour, LogColour::Red);
    got.push_back(h.view.logLines()[i].text);
  }
  Lines want;
  for (const std::string& l : c.lines) want.push_back(Expand(l, mainPath, subPath));
  EXPECT_EQ(got, want);
  // Nothing started: the controls are idle, no connection, no worker.
  EXPECT_TRUE(h.view.Enabled(Control::UpdateFwBtn));
  EXPECT_FALSE(h.view.Enabled(Control::AbortBtn));
  EXPECT_TRUE(h.view.Enabled(Control::IpAddrEdit));
  EXPECT_FALSE(Probe(h.updater).client().Active());
  EXPECT_EQ(Probe(h.updater).session().StagesRunning(), 0);
  const auto remembered = h.profile.Read("LAN Communication", "IP Address");
  EXPECT_EQ(remembered.has_value(), c.ipRemembered);
  if (remembered) {
    EXPECT_EQ(*remembered, c.ip);
  }
  EXPECT_FALSE(h.profile.Read("LAN Communication", "Adapter Index").has_value());
}

const std::string kIp = "127.0.0.1";
const std::string kMac = "FF.FF.FF.FF.FF.FF";

INSTANTIATE_TEST_SUITE_P(
    Cases, UpdateFwRefusal,
    ::testing::Values(
        Refusal{"ip_three_parts",
                "192.168.0",
                kMac,
                true,
                10,
                false,
                0,
                false,
                true,
                {"Projector IP address \"192.168.0\" error"},
                false},
        Refusal{"ip_empty", "", kMac, true, 10, false, 0, false, true, {"Projector IP address \"\" error"}, false},
        Refusal{"mac_five_parts_ip_still_remembered",
                kIp,
                "00-11-22-33-44",
                true,
                10,
                false,
                0,
                false,
                true,
                {"Projector MAC address \"00-11-22-33-44\" error"},
                true},
        Refusal{"mac_not_hex",
                kIp,
                "00.11.GG.33.44.55",
                true,
                10,
                false,
                0,
                false,
                true,
                {"Projector MAC address \"00.11.GG.33.44.55\" error"},
                true},
        Refusal{"main_missing", kIp, kMac, true, -1, true, 10, false, true, {"Main firmware file not found"}, true},
        Refusal{
            "main_empty", kIp, kMac, true, 0, true, 10, false, true, {"Main firmware file \"{main}\" is empty"}, true},
        Refusal{"sub_missing", kIp, kMac, true, 10, true, -1, false, true, {"Sub firmware file not found"}, true},
        Refusal{"sub_shorter_than_header",
                kIp,
                kMac,
                false,
                0,
                true,
                -2,
                false,
                true,
                {"Sub firmware file \"{sub}\" is shorter than its 32-byte header"},
                true},
        // The Main firmware would be written for a Sub stage bound to refuse the image.
        Refusal{"both_with_a_sub_image_of_no_known_model",
                kIp,
                kMac,
                true,
                10,
                true,
                -3,
                false,
                true,
                {"This Sub firmware model doesn't match to QRN model"},
                true},
        Refusal{"manual_without_adapter",
                kIp,
                kMac,
                true,
                10,
                false,
                0,
                true,
                false,
                {"Please verify PC ethernet adapter..."},
                true},
        Refusal{"manual_without_main",
                kIp,
                kMac,
                false,
                0,
                true,
                10,
                true,
                true,
                {"Checked Manually switch to download mode", "The folder must have Main Firmware"},
                true}),
    [](const ::testing::TestParamInfo<Refusal>& p) { return std::string(p.param.name); });

struct NotDottedCase {
  const char* name;
  bool manual;
  bool sub;
};
TESSALY_PRINT_PARAM(NotDottedCase, name)

class NotDottedAddress : public ::testing::TestWithParam<NotDottedCase> {};

// "127.0.0.300" would be read as 127.0.0.44: refused on every path before anything is
// sent or served (the manual path's BOOTP reply would hand the boot loader an address
// nobody typed), and never remembered, so the next start does not offer it again.
TEST_P(NotDottedAddress, RefusedOnEveryPathAndNotRemembered) {
  const NotDottedCase& c = GetParam();
  TempDir dir;
  Harness h;
  h.adapters.adapters = std::vector<AdapterInfo>{{"eth0", "eth0", {"10.0.0.5"}}};
  h.updater->Start();
  h.view.SetText(Control::FileEdit, dir.Write("m.bin", {1, 2, 3}));
  h.view.SetText(Control::FileEdit2, c.sub ? dir.WriteSubImage("s.brec2", 0x0A, {1, 2}) : "");
  h.view.SetText(Control::IpAddrEdit, "127.0.0.300");
  if (c.manual) {
    h.view.SetVisible(Control::UpfwBox, true);
    h.view.SetChecked(Control::UpfwBox, true);
  }
  h.view.Click(Control::UpdateFwBtn);
  EXPECT_EQ(h.LogTexts().back(), "Projector IP address \"127.0.0.300\" error");
  EXPECT_TRUE(h.view.Enabled(Control::UpdateFwBtn));
  EXPECT_FALSE(h.view.Enabled(Control::AbortBtn));
  EXPECT_FALSE(Probe(h.updater).control().ConnectTimer().Enabled());
  EXPECT_EQ(Probe(h.updater).session().StagesRunning(), 0);
  EXPECT_FALSE(h.profile.Read("LAN Communication", "IP Address").has_value());
}

INSTANTIATE_TEST_SUITE_P(Paths, NotDottedAddress,
                         ::testing::Values(NotDottedCase{"session", false, false},
                                           NotDottedCase{"manual_main_only", true, false},
                                           NotDottedCase{"manual_then_sub", true, true}),
                         [](const ::testing::TestParamInfo<NotDottedCase>& p) { return std::string(p.param.name); });

TEST(UpdateFwBtn, StartResetsTheStateOfTheLastUpdate) {
  Harness h;
  h.updater->Start();
  auto& s = Probe(h.updater).state();
  s.UpdateStage.store(2);
  s.UpdateInProgress.store(1);
  s.ReadsSuspended.store(1);
  s.StopRequested.store(1);
  h.view.SetText(Control::FileEdit, "x.bin");
  h.view.SetText(Control::IpAddrEdit, "1.2.3");
  h.view.Click(Control::UpdateFwBtn);
  EXPECT_EQ(s.UpdateStage.load(), 0);
  EXPECT_EQ(s.UpdateInProgress.load(), 0);
  EXPECT_EQ(s.ReadsSuspended.load(), 0);
  EXPECT_EQ(s.StopRequested.load(), 0u);
  EXPECT_EQ(s.PjIpText, "1.2.3");
  EXPECT_EQ(s.MainFwFile, "x.bin");
}

}  // namespace
}  // namespace tessaly::testing
