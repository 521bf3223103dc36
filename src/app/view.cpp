#include "app/view.h"

namespace tessaly {

const char* ControlName(Control c) {
  switch (c) {
    case Control::PjAddrText: return "PjAddrText";
    case Control::IpAddrEdit: return "IpAddrEdit";
    case Control::UpfwBox: return "UpfwBox";
    case Control::StaticText4: return "StaticText4";
    case Control::AdapterBox: return "AdapterBox";
    case Control::Panel1: return "Panel1";
    case Control::UpdateFwBtn: return "UpdateFwBtn";
    case Control::AbortBtn: return "AbortBtn";
    case Control::UpdateProgBar: return "UpdateProgBar";
    case Control::PercentText: return "PercentText";
    case Control::StaticText2: return "StaticText2";
    case Control::MsgEdit: return "MsgEdit";
    case Control::FileEdit: return "FileEdit";
    case Control::FileEdit2: return "FileEdit2";
    case Control::MacAddrEdit: return "MacAddrEdit";
    case Control::SearchFwBtn: return "SearchFwBtn";
    case Control::ConnectBtn: return "ConnectBtn";
    case Control::File1: return "File1";
    case Control::Exit1: return "Exit1";
    case Control::Setting1: return "Setting1";
    case Control::Advancemode1: return "Advancemode1";
    case Control::Normalmode1: return "Normalmode1";
  }
  return "?";
}

}  // namespace tessaly
