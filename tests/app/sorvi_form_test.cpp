#include <gtest/gtest.h>

#include "support/param_print.h"

#include "support/fake_stages.h"
#include "support/harness.h"
#include "support/temp_dir.h"

namespace tessaly::testing {
namespace {

using Lines = std::vector<std::string>;

AdapterInfo Adapter(const std::string& name, std::vector<std::string> addresses) {
  return AdapterInfo{name, name, std::move(addresses)};
}

TEST(FormCreate, FirstRunWithoutProfileOrFiles) {
  Harness h;
  h.updater->Start();
  EXPECT_EQ(h.view.Caption(), "Updater for Tessaly.exe");
  EXPECT_EQ(h.view.Text(Control::IpAddrEdit), "192.168.0.2");
  EXPECT_EQ(h.view.Text(Control::MacAddrEdit), "FF.FF.FF.FF.FF.FF");
  EXPECT_FALSE(h.view.Enabled(Control::UpdateFwBtn));
  EXPECT_FALSE(h.view.Enabled(Control::AbortBtn));
  EXPECT_FALSE(h.view.Visible(Control::UpfwBox));
  EXPECT_EQ(h.view.logLines(), (std::vector<LogLine>{{"Not found any firmware file", LogColour::Red}}));
  EXPECT_EQ(h.debug.Lines().back(), "Not found any firmware file");
  EXPECT_EQ(h.profile.writes, 0);  // reading the profile never writes it
}

TEST(FormCreate, StepsRunInOrder) {
  Harness h;
  h.adapters.adapters = std::vector<AdapterInfo>{Adapter("eth0", {"10.0.0.5"})};
  h.updater->Start();
  const auto& calls = h.view.calls();
  auto at = [&](const std::string& call) {
    auto it = std::find(calls.begin(), calls.end(), call);
    EXPECT_NE(it, calls.end()) << call;
    return it - calls.begin();
  };
  // The order of window creation: hide the box, caption, bar, MAC text, empty log,
  // address, adapters, hide the adapter row, compact layout, then the search.
  const std::vector<std::string> order = {"hide UpfwBox",
                                          "caption Updater for Tessaly.exe",
                                          "position UpdateProgBar 0",
                                          "text MacAddrEdit FF.FF.FF.FF.FF.FF",
                                          "text MsgEdit ",
                                          "text IpAddrEdit 192.168.0.2",
                                          "item AdapterBox 10.0.0.5 - eth0",
                                          "select AdapterBox 0",
                                          "hide StaticText4",
                                          "hide AdapterBox",
                                          "top Panel1 50",
                                          "height 350"};
  for (std::size_t i = 1; i < order.size(); ++i) EXPECT_LT(at(order[i - 1]), at(order[i])) << order[i];
}

struct ProfileCase {
  const char* name;
  std::optional<std::string> ip;
  std::optional<std::string> index;
  int adapters;
  std::string expectedIp;
  int expectedSelection;
};
TESSALY_PRINT_PARAM(ProfileCase, name)

class FormSettings : public ::testing::TestWithParam<ProfileCase> {};

TEST_P(FormSettings, AddressAndAdapterSelection) {
  const ProfileCase& c = GetParam();
  Harness h;
  if (c.ip) h.profile.values[{"LAN Communication", "IP Address"}] = *c.ip;
  if (c.index) h.profile.values[{"LAN Communication", "Adapter Index"}] = *c.index;
  std::vector<AdapterInfo> list;
  for (int i = 0; i < c.adapters; ++i)
    list.push_back(Adapter("eth" + std::to_string(i), {"10.0.0." + std::to_string(i + 1)}));
  h.adapters.adapters = list;
  h.updater->Start();
  EXPECT_EQ(h.view.Text(Control::IpAddrEdit), c.expectedIp);
  EXPECT_EQ(h.view.ItemIndex(Control::AdapterBox), c.expectedSelection);
  EXPECT_EQ(h.view.Items(Control::AdapterBox).size(), static_cast<std::size_t>(c.adapters));
}

const std::string k127(127, '7');

INSTANTIATE_TEST_SUITE_P(
    Cases, FormSettings,
    ::testing::Values(ProfileCase{"missing_section", std::nullopt, std::nullopt, 3, "192.168.0.2", 0},
                      ProfileCase{"empty_value_is_not_missing", std::string(""), std::nullopt, 1, "", 0},
                      ProfileCase{"stored_address_unchecked", std::string("10-0-0-1 junk"), std::nullopt, 1,
                                  "10-0-0-1 junk", 0},
                      ProfileCase{"address_cut_to_127", k127 + "89", std::nullopt, 1, k127, 0},
                      ProfileCase{"index_in_range", std::nullopt, std::string("2"), 3, "192.168.0.2", 2},
                      ProfileCase{"index_out_of_range", std::nullopt, std::string("5"), 3, "192.168.0.2", 0},
                      ProfileCase{"index_equal_to_count", std::nullopt, std::string("3"), 3, "192.168.0.2", 0},
                      ProfileCase{"index_not_a_number", std::nullopt, std::string("abc"), 3, "192.168.0.2", 0},
                      ProfileCase{"index_negative", std::nullopt, std::string("-1"), 3, "192.168.0.2", 0},
                      ProfileCase{"index_empty", std::nullopt, std::string(""), 2, "192.168.0.2", 0},
                      ProfileCase{"index_with_trailing_text", std::nullopt, std::string("1x"), 2, "192.168.0.2", 1},
                      ProfileCase{"no_adapter_selects_nothing", std::nullopt, std::string("0"), 0, "192.168.0.2", -1}),
    [](const ::testing::TestParamInfo<ProfileCase>& p) { return std::string(p.param.name); });

TEST(FormLayout, CheckBoxSwitchesLayoutsAndRelistsAdapters) {
  Harness h;
  h.profile.values[{"LAN Communication", "Adapter Index"}] = "1";
  h.adapters.adapters = std::vector<AdapterInfo>{Adapter("lo", {"127.0.0.1"}), Adapter("eth0", {"10.0.0.5"})};
  h.updater->Start();
  EXPECT_EQ(h.view.Top(Control::UpdatePanel), 50);
  EXPECT_EQ(h.view.OuterHeight(), 350);

  h.view.SetVisible(Control::UpfwBox, true);
  h.view.ToggleByOperator(Control::UpfwBox);
  EXPECT_TRUE(h.view.Visible(Control::AdapterLabel));
  EXPECT_TRUE(h.view.Visible(Control::AdapterBox));
  EXPECT_EQ(h.view.Top(Control::UpdatePanel), 80);
  EXPECT_EQ(h.view.OuterHeight(), 385);
  EXPECT_EQ(h.view.Items(Control::AdapterBox), (Lines{"127.0.0.1 - lo", "10.0.0.5 - eth0"}));

  // The operator picks another adapter; unchecking keeps the list, rechecking restores
  // the stored index, not the last pick.
  h.view.SetItemIndex(Control::AdapterBox, 0);
  h.view.ToggleByOperator(Control::UpfwBox);
  EXPECT_FALSE(h.view.Visible(Control::AdapterBox));
  EXPECT_EQ(h.view.Top(Control::UpdatePanel), 50);
  EXPECT_EQ(h.view.OuterHeight(), 350);
  EXPECT_EQ(h.view.ItemIndex(Control::AdapterBox), 0);
  // An adapter added since is listed on the next check.
  h.adapters.adapters->push_back(Adapter("eth1", {"192.168.1.9"}));
  h.view.ToggleByOperator(Control::UpfwBox);
  EXPECT_EQ(h.view.Items(Control::AdapterBox).size(), 3u);
  EXPECT_EQ(h.view.ItemIndex(Control::AdapterBox), 1);

  for (const std::string& c : h.view.calls()) {
    if (c.rfind("top Panel1", 0) == 0) {
      EXPECT_TRUE(c == "top Panel1 50" || c == "top Panel1 80") << c;
    }
    if (c.rfind("height", 0) == 0) {
      EXPECT_TRUE(c == "height 350" || c == "height 385") << c;
    }
  }
}

// An update on the manual path whose Main stage writes until it is cancelled: the window
// and the core, driven through their faces only.
struct WritingUpdate {
  WritingUpdate() : h({}, Stages(stage)) {
    h.adapters.adapters = std::vector<AdapterInfo>{AdapterInfo{"lo", "lo", {"127.0.0.1"}}};
    h.updater->Start();
    h.view.QueuePasswordDialog({kAdvancePassword});
    h.view.Click(Control::AdvanceModeItem);
    h.view.SetText(Control::FileEdit, dir.Write("main.bin", std::vector<std::uint8_t>(64, 1)));
    h.view.Click(Control::UpdateFwBtn);
    writing = h.view.PumpUntil([this] { return stage.runs.load() == 1; }, std::chrono::seconds(5));
  }
  static StageRoutines Stages(WritingStage& stage) {
    StageRoutines stages;
    stages.UpdateMainFirmware = stage.Routine();
    return stages;
  }
  // The stage was cancelled, and its end has reached the window.
  bool Stopped() {
    return h.view.PumpUntil(
        [this] { return stage.cancels.load() == 1 && h.view.Enabled(Control::UpdateFwBtn); }, std::chrono::seconds(5));
  }

  TempDir dir;
  WritingStage stage;  // outlives the updater
  Harness h;
  bool writing = false;
};

TEST(FormClose, ClosesAtOnceWhenNothingIsBeingWritten) {
  Harness h;
  h.updater->Start();
  EXPECT_TRUE(h.view.TryClose());
  EXPECT_TRUE(h.view.questions().empty());
}

struct CloseCase {
  const char* name;
  Answer answer;
  bool closes;
};
TESSALY_PRINT_PARAM(CloseCase, name)

class FormCloseConfirm : public ::testing::TestWithParam<CloseCase> {};

TEST_P(FormCloseConfirm, AsksWhileFirmwareIsWritten) {
  WritingUpdate u;
  ASSERT_TRUE(u.writing);
  u.h.view.QueueAnswer(GetParam().answer);
  EXPECT_EQ(u.h.view.TryClose(), GetParam().closes);
  ASSERT_EQ(u.h.view.questions().size(), 1u);
  EXPECT_EQ(u.h.view.questions()[0],
            "Firmware updating in progress.\nThe firmware on the board will be damaged if you exit.\n"
            "Do you still want to exit?");
  if (GetParam().closes) {
    // Nothing more is written once the window goes: the stage was cancelled at once.
    EXPECT_EQ(u.stage.cancels.load(), 1);
  } else {
    u.h.view.PumpUntil([] { return false; }, std::chrono::milliseconds(50));
    EXPECT_EQ(u.stage.cancels.load(), 0);
    EXPECT_TRUE(u.h.view.Enabled(Control::AbortBtn));
    // The update goes on, and an Abort still asks.
    u.h.view.QueueAnswer(Answer::Yes);
    u.h.view.Click(Control::AbortBtn);
    EXPECT_EQ(u.h.view.questions().size(), 2u);
    EXPECT_TRUE(u.Stopped());
  }
}

INSTANTIATE_TEST_SUITE_P(Answers, FormCloseConfirm,
                         ::testing::Values(CloseCase{"Yes", Answer::Yes, true}, CloseCase{"No", Answer::No, false},
                                           CloseCase{"BoxClosed", Answer::Closed, false}),
                         [](const ::testing::TestParamInfo<CloseCase>& p) { return std::string(p.param.name); });

TEST(FormClose, ExitMenuPostsTheCloseAndTakesTheSameRoad) {
  WritingUpdate u;
  ASSERT_TRUE(u.writing);
  u.h.view.QueueAnswer(Answer::No);
  u.h.view.Click(Control::ExitItem);
  EXPECT_TRUE(u.h.view.questions().empty()) << "the close must be posted, not run inside the menu handler";
  u.h.view.Pump();
  EXPECT_EQ(u.h.view.questions().size(), 1u);
  EXPECT_FALSE(u.h.view.closed());
}

struct PasswordCase {
  const char* name;
  std::vector<std::string> typed;
  bool entersAdvance;
  int invalidBoxes;
};
TESSALY_PRINT_PARAM(PasswordCase, name)

class AdvanceMode : public ::testing::TestWithParam<PasswordCase> {};

TEST_P(AdvanceMode, PasswordDialog) {
  const PasswordCase& c = GetParam();
  Harness h;
  h.adapters.adapters = std::vector<AdapterInfo>{Adapter("eth0", {"10.0.0.5"})};
  h.updater->Start();
  h.view.QueuePasswordDialog(c.typed);
  h.view.Click(Control::AdvanceModeItem);
  EXPECT_EQ(h.view.messages(), Lines(static_cast<std::size_t>(c.invalidBoxes), "Invalid Password"));
  EXPECT_EQ(h.view.Visible(Control::UpfwBox), c.entersAdvance);
  EXPECT_EQ(h.view.Checked(Control::UpfwBox), c.entersAdvance);
  EXPECT_EQ(h.view.Enabled(Control::AdvanceModeItem), !c.entersAdvance);
  EXPECT_EQ(h.view.Enabled(Control::NormalModeItem), c.entersAdvance);
  EXPECT_EQ(h.view.Visible(Control::AdapterBox), c.entersAdvance);
  EXPECT_EQ(h.view.OuterHeight(), c.entersAdvance ? 385 : 350);
}

INSTANTIATE_TEST_SUITE_P(Cases, AdvanceMode,
                         ::testing::Values(PasswordCase{"right", {"lanterns"}, true, 0},
                                           PasswordCase{"empty", {""}, false, 1},
                                           PasswordCase{"trailing_blank", {"lanterns "}, false, 1},
                                           PasswordCase{"upper_case", {"LANTERNS"}, false, 1},
                                           PasswordCase{"prefix", {"lantern"}, false, 1},
                                           PasswordCase{"wrong_then_right", {"lamps", "lanterns"}, true, 1},
                                           PasswordCase{"cancel", {}, false, 0}),
                         [](const ::testing::TestParamInfo<PasswordCase>& p) { return std::string(p.param.name); });

TEST(AdvanceModeSwitching, NormalModeHidesBoxAndAdvanceAsksAgain) {
  Harness h;
  h.updater->Start();
  h.view.QueuePasswordDialog({"lanterns"});
  h.view.Click(Control::AdvanceModeItem);
  ASSERT_TRUE(h.view.Checked(Control::UpfwBox));

  // Unchecking in Advance mode shrinks the window; the mode stays.
  h.view.ToggleByOperator(Control::UpfwBox);
  EXPECT_EQ(h.view.OuterHeight(), 350);
  EXPECT_FALSE(h.view.Enabled(Control::AdvanceModeItem));

  // Normal mode with the box already unchecked: no layout change, the menu swaps.
  const std::size_t before = h.view.calls().size();
  h.view.Click(Control::NormalModeItem);
  for (std::size_t i = before; i < h.view.calls().size(); ++i) {
    EXPECT_NE(h.view.calls()[i].rfind("height", 0), 0u) << h.view.calls()[i];
  }
  EXPECT_FALSE(h.view.Visible(Control::UpfwBox));
  EXPECT_TRUE(h.view.Enabled(Control::AdvanceModeItem));
  EXPECT_FALSE(h.view.Enabled(Control::NormalModeItem));

  h.view.Click(Control::AdvanceModeItem);  // no dialog script: Cancel
  EXPECT_EQ(h.view.passwordDialogsShown(), 2);
  EXPECT_FALSE(h.view.Visible(Control::UpfwBox));

  // From Advance mode with the box checked, Normal mode restores the compact layout.
  h.view.QueuePasswordDialog({"lanterns"});
  h.view.Click(Control::AdvanceModeItem);
  EXPECT_EQ(h.view.OuterHeight(), 385);
  h.view.Click(Control::NormalModeItem);
  EXPECT_FALSE(h.view.Checked(Control::UpfwBox));
  EXPECT_EQ(h.view.OuterHeight(), 350);
  EXPECT_FALSE(h.view.Visible(Control::AdapterBox));
}

}  // namespace
}  // namespace tessaly::testing
