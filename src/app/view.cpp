#include "app/view.h"

namespace tessaly {

const char* ControlName(Control c) {
  switch (c) {
    case Control::PjAddrText: return "PjAddrText";
    case Control::IpAddrEdit: return "IpAddrEdit";
    case Control::UpfwBox: return "UpfwBox";
    case Control::AdapterLabel: return "StaticText4";
    case Control::AdapterBox: return "AdapterBox";
    case Control::UpdatePanel: return "Panel1";
    case Control::UpdateFwBtn: return "UpdateFwBtn";
    case Control::AbortBtn: return "AbortBtn";
    case Control::UpdateProgBar: return "UpdateProgBar";
    case Control::PercentText: return "PercentText";
    case Control::MessageLabel: return "StaticText2";
    case Control::MsgEdit: return "MsgEdit";
    case Control::FileEdit: return "FileEdit";
    case Control::FileEdit2: return "FileEdit2";
    case Control::MacAddrEdit: return "MacAddrEdit";
    case Control::SearchFwBtn: return "SearchFwBtn";
    case Control::ConnectBtn: return "ConnectBtn";
    case Control::FileMenu: return "File1";
    case Control::ExitItem: return "Exit1";
    case Control::SettingsMenu: return "Setting1";
    case Control::AdvanceModeItem: return "Advancemode1";
    case Control::NormalModeItem: return "Normalmode1";
  }
  return "?";
}

}  // namespace tessaly
