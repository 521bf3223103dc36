#include <gtest/gtest.h>

#include "app/adapter_list.h"
#include "support/fake_view.h"
#include "support/fakes.h"

namespace tessaly::testing {
namespace {

TEST(ListAdapters, EntriesTraceAndTable) {
  FakeView view;
  ListedAdapters source;
  source.adapters =
      std::vector<AdapterInfo>{{"{A}", "Wired", {"0.0.0.0"}}, {"{B}", "Dock", {"10.0.0.5", "192.168.0.10"}}};
  RecordingDebugOutput debug;
  AdapterAddressTable table;
  table[2] = "stale";
  EXPECT_EQ(ListAdapters(
                source, [&](const std::string& item) { view.AddItem(Control::AdapterBox, item); }, table, debug),
            2);
  EXPECT_EQ(view.Items(Control::AdapterBox), (std::vector<std::string>{"10.0.0.5 - Dock", "192.168.0.10 - Dock"}));
  EXPECT_EQ(table[0], "10.0.0.5");
  EXPECT_EQ(table[1], "192.168.0.10");
  EXPECT_EQ(table[2], "stale");  // slots past the count keep older texts
  const std::string stars(53, '*');
  EXPECT_EQ(debug.Lines(), (std::vector<std::string>{"{A}", "Wired", "IP address:", "0.0.0.0", stars, "{B}", "Dock",
                                                     "IP address:", "10.0.0.5", "192.168.0.10", stars}));
}

TEST(ListAdapters, TenAtMostButAllTraced) {
  FakeView view;
  ListedAdapters source;
  std::vector<AdapterInfo> list;
  for (int a = 0; a < 4; ++a) {
    AdapterInfo info{"if" + std::to_string(a), "nic" + std::to_string(a), {}};
    for (int i = 0; i < 3; ++i) info.addresses.push_back("10.0." + std::to_string(a) + "." + std::to_string(i + 1));
    list.push_back(info);
  }
  source.adapters = list;
  RecordingDebugOutput debug;
  AdapterAddressTable table;
  EXPECT_EQ(ListAdapters(
                source, [&](const std::string& item) { view.AddItem(Control::AdapterBox, item); }, table, debug),
            10);
  EXPECT_EQ(view.Items(Control::AdapterBox).size(), 10u);
  EXPECT_EQ(table[9], "10.0.3.1");
  const auto lines = debug.Lines();
  EXPECT_NE(std::find(lines.begin(), lines.end(), "10.0.3.3"), lines.end());
}

TEST(ListAdapters, FailingSystemCallLeavesTheListEmpty) {
  FakeView view;
  ListedAdapters source;
  source.adapters = std::nullopt;
  RecordingDebugOutput debug;
  AdapterAddressTable table;
  view.AddItem(Control::AdapterBox, "kept");
  EXPECT_EQ(ListAdapters(
                source, [&](const std::string& item) { view.AddItem(Control::AdapterBox, item); }, table, debug),
            0);
  EXPECT_EQ(view.Items(Control::AdapterBox), std::vector<std::string>{"kept"});  // appends, never clears
  EXPECT_TRUE(debug.Lines().empty());
}

TEST(SystemAdapters, LoopbackIsListedForDryRuns) {
  SystemAdapterSource source;
  auto adapters = source.GetAdaptersInfo();
  ASSERT_TRUE(adapters.has_value());
  bool loopback = false;
  for (const AdapterInfo& a : *adapters) {
    for (const std::string& addr : a.addresses) loopback |= (addr == "127.0.0.1" && a.description == a.adapterName);
  }
  EXPECT_TRUE(loopback);
}

}  // namespace
}  // namespace tessaly::testing
