#pragma once
// How the main window's controls stand before the window logic touches them: the
// design state that every view (Qt, command line, tests) starts from.

#include <array>

#include "app/view.h"

namespace tessaly {

struct ControlDesign {
  Control control;
  const char* caption;
  bool visible;
  bool enabled;
  int left, top, width, height;  // relative to the parent (Panel1 for the controls on it)
};

constexpr int kClientWidth = 568;
constexpr int kClientHeight = 440;
constexpr int kPanelDesignTop = 78;

inline constexpr std::array<ControlDesign, 22> kControlDesign{{
    {Control::PjAddrText, "Projector IP Address :", true, true, 8, 14, 133, 20},
    {Control::IpAddrEdit, "", true, true, 146, 12, 177, 24},
    {Control::UpfwBox, "Manually switch to download mode", false, true, 328, 16, 237, 17},
    {Control::AdapterLabel, "PC Ethernet  Adapter :", false, true, 8, 48, 134, 20},
    {Control::AdapterBox, "", false, true, 146, 44, 403, 24},
    {Control::UpdatePanel, "", true, true, 6, kPanelDesignTop, 553, 241},
    {Control::UpdateFwBtn, "Update Firmware", true, false, 6, 6, 121, 25},
    {Control::AbortBtn, "Abort ", true, false, 138, 6, 121, 25},
    {Control::UpdateProgBar, "", true, true, 6, 38, 497, 25},
    {Control::PercentText, "0%", true, true, 514, 41, 23, 20},
    {Control::MessageLabel, "Message", true, true, 18, 69, 61, 20},
    {Control::MsgEdit, "MsgEdit", true, true, 8, 92, 529, 141},
    {Control::FileEdit, "", false, true, 0, 0, 0, 0},
    {Control::FileEdit2, "", false, true, 0, 0, 0, 0},
    {Control::MacAddrEdit, "", false, true, 0, 0, 0, 0},
    {Control::SearchFwBtn, "Search Firmware", false, true, 0, 0, 0, 0},
    {Control::ConnectBtn, "ConnectBtn", false, true, 0, 0, 0, 0},
    {Control::FileMenu, "File", true, true, 0, 0, 0, 0},
    {Control::ExitItem, "E&xit", true, true, 0, 0, 0, 0},
    {Control::SettingsMenu, "Settings", true, true, 0, 0, 0, 0},
    {Control::AdvanceModeItem, "&Advance mode", true, true, 0, 0, 0, 0},
    {Control::NormalModeItem, "&Normal mode", true, false, 0, 0, 0, 0},
}};

inline const ControlDesign& DesignOf(Control c) {
  for (const ControlDesign& d : kControlDesign) {
    if (d.control == c) return d;
  }
  return kControlDesign[0];
}

}  // namespace tessaly
