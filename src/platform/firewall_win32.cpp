// Windows Defender Firewall through its COM interfaces (INetFwPolicy2), and the network
// list manager for the profile of the adapter's network.
// winsock2.h before windows.h, and the ids defined before the headers that declare them.
// clang-format off
#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>
#include <oleauto.h>
// The firewall's class and interface ids are in no import library: defined here.
#include <initguid.h>
#include <netfw.h>
#include <netlistmgr.h>
// clang-format on

#include <cstdio>
#include <vector>

#include "platform/firewall.h"

namespace tessaly {

namespace {

constexpr const wchar_t* kRuleGroup = L"Updater for Tessaly";

template <class T>
class Com {
 public:
  Com() = default;
  ~Com() { Reset(); }
  Com(const Com&) = delete;
  Com& operator=(const Com&) = delete;
  T** Out() {
    Reset();
    return &p_;
  }
  void** OutVoid() { return reinterpret_cast<void**>(Out()); }
  T* operator->() const { return p_; }
  T* get() const { return p_; }
  void Reset() {
    if (p_) p_->Release();
    p_ = nullptr;
  }

 private:
  T* p_ = nullptr;
};

class Bstr {
 public:
  Bstr() = default;
  explicit Bstr(const std::wstring& s) : b_(::SysAllocStringLen(s.data(), static_cast<UINT>(s.size()))) {}
  ~Bstr() { ::SysFreeString(b_); }
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;
  BSTR* Out() {
    ::SysFreeString(b_);
    b_ = nullptr;
    return &b_;
  }
  BSTR get() const { return b_; }
  std::wstring str() const { return b_ ? std::wstring(b_, ::SysStringLen(b_)) : std::wstring(); }

 private:
  BSTR b_ = nullptr;
};

// COM for the length of one call, on whatever thread asks: a window's thread may have
// it already, in either model.
class ComScope {
 public:
  ComScope() : hr_(::CoInitializeEx(nullptr, COINIT_MULTITHREADED)) {}
  ~ComScope() {
    if (SUCCEEDED(hr_)) ::CoUninitialize();
  }
  ComScope(const ComScope&) = delete;
  ComScope& operator=(const ComScope&) = delete;
  bool usable() const { return SUCCEEDED(hr_) || hr_ == RPC_E_CHANGED_MODE; }

 private:
  HRESULT hr_;
};

std::string Utf8(const std::wstring& w) {
  if (w.empty()) return {};
  const int n = ::WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(n > 0 ? n : 0), '\0');
  if (n > 0) ::WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), out.data(), n, nullptr, nullptr);
  return out;
}

std::wstring Wide(const std::string& s) {
  if (s.empty()) return {};
  const int n = ::MultiByteToWideChar(CP_ACP, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring out(static_cast<std::size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0) ::MultiByteToWideChar(CP_ACP, 0, s.data(), static_cast<int>(s.size()), out.data(), n);
  return out;
}

// A path as rules compare it: variables expanded, one case.
std::string PathKey(const std::wstring& path) {
  if (path.empty()) return {};
  std::wstring expanded = path;
  const DWORD n = ::ExpandEnvironmentStringsW(path.c_str(), nullptr, 0);
  if (n > 0) {
    std::wstring buffer(n, L'\0');
    if (::ExpandEnvironmentStringsW(path.c_str(), buffer.data(), n) == n) expanded.assign(buffer.c_str());
  }
  ::CharUpperBuffW(expanded.data(), static_cast<DWORD>(expanded.size()));
  return Utf8(expanded);
}

std::wstring ModulePath() {
  std::wstring buffer(MAX_PATH, L'\0');
  for (int attempt = 0; attempt < 8; ++attempt) {
    const DWORD n = ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) return {};
    if (n < buffer.size()) return buffer.substr(0, n);
    buffer.resize(buffer.size() * 2);
  }
  return {};
}

// The adapter that owns `localAddress`, as the network list manager names it.
bool AdapterOf(std::uint32_t localAddress, GUID& id) {
  ULONG size = 0;
  std::vector<unsigned char> buffer;
  ULONG rc = ERROR_BUFFER_OVERFLOW;
  for (int attempt = 0; attempt < 4 && rc == ERROR_BUFFER_OVERFLOW; ++attempt) {
    buffer.resize(size ? size : sizeof(IP_ADAPTER_INFO));
    size = static_cast<ULONG>(buffer.size());
    rc = ::GetAdaptersInfo(reinterpret_cast<IP_ADAPTER_INFO*>(buffer.data()), &size);
  }
  if (rc != ERROR_SUCCESS) return false;
  for (auto* a = reinterpret_cast<IP_ADAPTER_INFO*>(buffer.data()); a; a = a->Next) {
    for (IP_ADDR_STRING* ip = &a->IpAddressList; ip; ip = ip->Next) {
      if (::inet_addr(ip->IpAddress.String) != localAddress) continue;
      const std::wstring name = Wide(a->AdapterName);
      return SUCCEEDED(::CLSIDFromString(name.c_str(), &id));
    }
  }
  return false;
}

// The firewall profile of the network the adapter is on; 0 when it cannot be told.
long AdapterProfile(std::uint32_t localAddress) {
  GUID adapter{};
  if (!AdapterOf(localAddress, adapter)) return 0;
  Com<INetworkListManager> nlm;
  if (FAILED(::CoCreateInstance(CLSID_NetworkListManager, nullptr, CLSCTX_ALL, IID_INetworkListManager, nlm.OutVoid())))
    return 0;
  Com<IEnumNetworkConnections> connections;
  if (FAILED(nlm->GetNetworkConnections(connections.Out())) || !connections.get()) return 0;
  for (int i = 0; i < 256; ++i) {
    Com<INetworkConnection> connection;
    ULONG fetched = 0;
    if (connections->Next(1, connection.Out(), &fetched) != S_OK || fetched != 1) return 0;
    GUID id{};
    if (FAILED(connection->GetAdapterId(&id)) || !::IsEqualGUID(id, adapter)) continue;
    Com<INetwork> network;
    NLM_NETWORK_CATEGORY category{};
    if (FAILED(connection->GetNetwork(network.Out())) || !network.get() || FAILED(network->GetCategory(&category))) {
      return 0;
    }
    switch (category) {
      case NLM_NETWORK_CATEGORY_PUBLIC: return NET_FW_PROFILE2_PUBLIC;
      case NLM_NETWORK_CATEGORY_PRIVATE: return NET_FW_PROFILE2_PRIVATE;
      case NLM_NETWORK_CATEGORY_DOMAIN_AUTHENTICATED: return NET_FW_PROFILE2_DOMAIN;
    }
    return 0;
  }
  return 0;
}

// Every rule of the firewall, one call per rule; false when they cannot all be read.
template <class Visit>
bool ForEachRule(INetFwRules* rules, Visit visit) {
  Com<IUnknown> unknown;
  if (FAILED(rules->get__NewEnum(unknown.Out())) || !unknown.get()) return false;
  Com<IEnumVARIANT> items;
  if (FAILED(unknown->QueryInterface(IID_IEnumVARIANT, items.OutVoid()))) return false;
  for (int i = 0; i < 100000; ++i) {
    VARIANT item;
    ::VariantInit(&item);
    ULONG fetched = 0;
    const HRESULT hr = items->Next(1, &item, &fetched);
    if (hr == S_FALSE || (SUCCEEDED(hr) && fetched == 0)) return true;
    if (FAILED(hr)) return false;
    Com<INetFwRule> rule;
    const bool ok = item.vt == VT_DISPATCH && item.pdispVal &&
                    SUCCEEDED(item.pdispVal->QueryInterface(IID_INetFwRule, rule.OutVoid())) && visit(rule.get());
    ::VariantClear(&item);
    if (!ok) return false;
  }
  return false;
}

bool ReadRule(INetFwRule* rule, FirewallRuleFacts& out) {
  VARIANT_BOOL enabled = VARIANT_FALSE;
  NET_FW_RULE_DIRECTION direction{};
  NET_FW_ACTION action{};
  long profiles = 0, protocol = 0;
  Bstr application, service, ports;
  if (FAILED(rule->get_Enabled(&enabled)) || FAILED(rule->get_Direction(&direction)) ||
      FAILED(rule->get_Action(&action)) || FAILED(rule->get_Profiles(&profiles)) ||
      FAILED(rule->get_Protocol(&protocol))) {
    return false;
  }
  out.enabled = enabled != VARIANT_FALSE;
  out.inbound = direction == NET_FW_RULE_DIR_IN;
  out.allow = action == NET_FW_ACTION_ALLOW;
  out.profiles = profiles;
  out.protocol = static_cast<int>(protocol);
  if (!out.enabled || !out.inbound || (protocol != 17 && protocol != 256)) return true;  // none of ours
  if (FAILED(rule->get_ApplicationName(application.Out())) || FAILED(rule->get_ServiceName(service.Out())) ||
      FAILED(rule->get_LocalPorts(ports.Out()))) {
    return false;
  }
  out.application = PathKey(application.str());
  out.service = Utf8(service.str());
  out.localPorts = Utf8(ports.str());
  return true;
}

bool OpenPolicy(Com<INetFwPolicy2>& policy) {
  return SUCCEEDED(
      ::CoCreateInstance(CLSID_NetFwPolicy2, nullptr, CLSCTX_INPROC_SERVER, IID_INetFwPolicy2, policy.OutVoid()));
}

class WindowsFirewallCheck final : public FirewallCheck {
 public:
  FirewallAnswer InboundUdp(std::uint32_t localAddress, const std::vector<PortRange>& ports) override {
    ComScope com;
    if (!com.usable()) return FirewallAnswer::Unknown;
    Com<INetFwPolicy2> policy;
    if (!OpenPolicy(policy)) return FirewallAnswer::Unknown;
    FirewallFacts facts;
    facts.program = PathKey(ModulePath());
    long current = 0;
    if (FAILED(policy->get_CurrentProfileTypes(&current))) return FirewallAnswer::Unknown;
    bool anyOn = false;
    for (long type : {NET_FW_PROFILE2_DOMAIN, NET_FW_PROFILE2_PRIVATE, NET_FW_PROFILE2_PUBLIC}) {
      if (!(current & type)) continue;
      const auto t = static_cast<NET_FW_PROFILE_TYPE2>(type);
      VARIANT_BOOL on = VARIANT_FALSE, blockAll = VARIANT_FALSE;
      NET_FW_ACTION inbound{};
      if (FAILED(policy->get_FirewallEnabled(t, &on))) return FirewallAnswer::Unknown;
      FirewallProfileFacts p;
      p.type = type;
      p.enabled = on != VARIANT_FALSE;
      if (p.enabled) {
        if (FAILED(policy->get_BlockAllInboundTraffic(t, &blockAll)) ||
            FAILED(policy->get_DefaultInboundAction(t, &inbound))) {
          return FirewallAnswer::Unknown;
        }
        p.blockAllInbound = blockAll != VARIANT_FALSE;
        p.defaultInboundAllow = inbound == NET_FW_ACTION_ALLOW;
        anyOn = true;
      }
      facts.current.push_back(p);
    }
    if (anyOn) {
      Com<INetFwRules> rules;
      if (FAILED(policy->get_Rules(rules.Out())) || !rules.get()) return FirewallAnswer::Unknown;
      const bool read = ForEachRule(rules.get(), [&](INetFwRule* rule) {
        FirewallRuleFacts r;
        if (!ReadRule(rule, r)) return false;
        facts.rules.push_back(std::move(r));
        return true;
      });
      if (!read) return FirewallAnswer::Unknown;
      facts.adapterProfile = AdapterProfile(localAddress);
    }
    return JudgeInboundUdp(facts, ports);
  }

  std::string ProgramPath() override {
    char path[MAX_PATH * 4] = {};
    const DWORD n = ::GetModuleFileNameA(nullptr, path, sizeof path);
    return std::string(path, n < sizeof path ? n : 0);
  }
};

std::string Failure(const char* what, HRESULT hr) {
  char text[96];
  std::snprintf(text, sizeof text, "%s failed (0x%08lX)", what, static_cast<unsigned long>(hr));
  return text;
}

// The firewall service is not there to take rules: nothing to add or remove.
bool Absent(HRESULT hr) {
  return hr == E_NOTIMPL || hr == REGDB_E_CLASSNOTREG || hr == HRESULT_FROM_WIN32(EPT_S_NOT_REGISTERED) ||
         hr == HRESULT_FROM_WIN32(ERROR_SERVICE_DOES_NOT_EXIST);
}

// Removes every rule of our group; Done, or why not.
FirewallRulesResult RemoveGroup(INetFwRules* rules, std::string& why) {
  std::vector<std::wstring> names;
  const bool read = ForEachRule(rules, [&](INetFwRule* rule) {
    Bstr group, name;
    if (SUCCEEDED(rule->get_Grouping(group.Out())) && group.str() == kRuleGroup &&
        SUCCEEDED(rule->get_Name(name.Out()))) {
      names.push_back(name.str());
    }
    return true;
  });
  if (!read) return FirewallRulesResult::Unavailable;
  for (const std::wstring& name : names) {
    Bstr b(name);
    const HRESULT hr = rules->Remove(b.get());
    if (Absent(hr)) return FirewallRulesResult::Unavailable;
    if (FAILED(hr)) {
      why = Failure("removing a firewall rule", hr);
      return FirewallRulesResult::Failed;
    }
  }
  return FirewallRulesResult::Done;
}

}  // namespace

std::unique_ptr<FirewallCheck> CreateSystemFirewallCheck() { return std::make_unique<WindowsFirewallCheck>(); }

FirewallRulesResult AddFirewallRules(const std::vector<std::string>& programs, const std::vector<PortRange>& ports,
                                     std::string& why) {
  ComScope com;
  if (!com.usable()) return FirewallRulesResult::Unavailable;
  Com<INetFwPolicy2> policy;
  if (!OpenPolicy(policy)) return FirewallRulesResult::Unavailable;
  Com<INetFwRules> rules;
  HRESULT hr = policy->get_Rules(rules.Out());
  if (FAILED(hr) || !rules.get()) return FirewallRulesResult::Unavailable;
  // A repair or a second install leaves one set, not two.
  if (const FirewallRulesResult r = RemoveGroup(rules.get(), why); r == FirewallRulesResult::Failed) return r;

  const std::wstring folder = [] {
    std::wstring path = ModulePath();
    return path.substr(0, path.find_last_of(L"\\/") + 1);
  }();
  for (const std::string& program : programs) {
    const std::wstring file = Wide(program);
    Com<INetFwRule> rule;
    hr = ::CoCreateInstance(CLSID_NetFwRule, nullptr, CLSCTX_INPROC_SERVER, IID_INetFwRule, rule.OutVoid());
    if (Absent(hr)) return FirewallRulesResult::Unavailable;
    if (FAILED(hr)) {
      why = Failure("making a firewall rule", hr);
      return FirewallRulesResult::Failed;
    }
    Bstr name(std::wstring(kRuleGroup) + L" (" + file + L")");
    Bstr description(L"BOOTP and TFTP requests of the projector's boot loader");
    Bstr application(folder + file);
    Bstr portText(Wide(PortListText(ports)));
    Bstr group(kRuleGroup);
    Bstr interfaces(L"All");
    const HRESULT steps[] = {
        rule->put_Name(name.get()),
        rule->put_Description(description.get()),
        rule->put_ApplicationName(application.get()),
        rule->put_Protocol(17),
        rule->put_LocalPorts(portText.get()),
        rule->put_Direction(NET_FW_RULE_DIR_IN),
        rule->put_Action(NET_FW_ACTION_ALLOW),
        rule->put_Profiles(NET_FW_PROFILE2_ALL),
        rule->put_InterfaceTypes(interfaces.get()),
        rule->put_Grouping(group.get()),
        rule->put_Enabled(VARIANT_TRUE),
    };
    for (HRESULT step : steps) {
      if (Absent(step)) return FirewallRulesResult::Unavailable;
      if (FAILED(step)) {
        why = Failure("setting up a firewall rule", step);
        return FirewallRulesResult::Failed;
      }
    }
    hr = rules->Add(rule.get());
    if (Absent(hr)) return FirewallRulesResult::Unavailable;
    if (FAILED(hr)) {
      why = Failure("adding a firewall rule", hr);
      return FirewallRulesResult::Failed;
    }
  }
  return FirewallRulesResult::Done;
}

FirewallRulesResult RemoveFirewallRules(std::string& why) {
  ComScope com;
  if (!com.usable()) return FirewallRulesResult::Unavailable;
  Com<INetFwPolicy2> policy;
  if (!OpenPolicy(policy)) return FirewallRulesResult::Unavailable;
  Com<INetFwRules> rules;
  if (FAILED(policy->get_Rules(rules.Out())) || !rules.get()) return FirewallRulesResult::Unavailable;
  return RemoveGroup(rules.get(), why);
}

}  // namespace tessaly
