// The Windows profile: what is stored reads back as stored, a missing key is told from
// an empty value, the user's registry comes before win.ini, and a win.ini the user may
// not write loses nothing.

#include <gtest/gtest.h>

#include <windows.h>

#include <map>
#include <memory>
#include <optional>
#include <string>

#include "platform/profile_win32.h"

namespace tessaly::testing {
namespace {

std::string WinIniPath() {
  char dir[MAX_PATH] = {};
  const UINT n = ::GetWindowsDirectoryA(dir, MAX_PATH);
  return std::string(dir, n) + "\\win.ini";
}

// win.ini unwritable while it lives: read-only, and held open by a handle that lets
// others read it but not write it, as a file the user has no write access to behaves
// (a read-only attribute alone does not stop Wine's root user).
class UnwritableWinIni {
 public:
  UnwritableWinIni() : path_(WinIniPath()), attributes_(::GetFileAttributesA(path_.c_str())) {
    if (attributes_ != INVALID_FILE_ATTRIBUTES)
      ::SetFileAttributesA(path_.c_str(), attributes_ | FILE_ATTRIBUTE_READONLY);
    handle_ = ::CreateFileA(path_.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  }
  ~UnwritableWinIni() {
    if (handle_ != INVALID_HANDLE_VALUE) ::CloseHandle(handle_);
    if (attributes_ != INVALID_FILE_ATTRIBUTES) ::SetFileAttributesA(path_.c_str(), attributes_);
  }
  UnwritableWinIni(const UnwritableWinIni&) = delete;
  UnwritableWinIni& operator=(const UnwritableWinIni&) = delete;
  bool held() const { return handle_ != INVALID_HANDLE_VALUE; }

 private:
  std::string path_;
  DWORD attributes_;
  HANDLE handle_ = INVALID_HANDLE_VALUE;
};

class WindowsProfileTest : public ::testing::Test {
 protected:
  // A registry key and a win.ini section of the test's own, removed afterwards: the
  // user's settings stay as they are. The updater's own section is written as well
  // (it names the key itself): its win.ini values are put back.
  void SetUp() override {
    const std::string id = std::to_string(::GetCurrentProcessId());
    key_ = std::string("Software\\Tessaly\\Updater Test ") + id;
    section_ = "Tessaly Test " + id;
    profile_ = std::make_unique<WindowsProfile>(key_);
    for (const char* name : {"IP Address", "Adapter Index"})
      saved_[name] = WindowsProfile::ReadWinIni(kMainProfileSection, name);
  }
  void TearDown() override {
    ::RegDeleteTreeA(HKEY_CURRENT_USER, key_.c_str());
    ::WriteProfileStringA(section_.c_str(), nullptr, nullptr);
    for (const auto& [name, value] : saved_) {
      ::WriteProfileStringA(kMainProfileSection, name.c_str(), value ? value->c_str() : nullptr);
    }
  }
  std::optional<std::string> Registry(const std::string& subkey, const std::string& name) {
    char buffer[256] = {};
    DWORD size = sizeof buffer;
    if (::RegGetValueA(HKEY_CURRENT_USER, subkey.c_str(), name.c_str(), RRF_RT_REG_SZ, nullptr, buffer, &size) !=
        ERROR_SUCCESS) {
      return std::nullopt;
    }
    return std::string(buffer);
  }

  std::string key_;
  std::string section_;
  std::unique_ptr<WindowsProfile> profile_;
  std::map<std::string, std::optional<std::string>> saved_;
};

TEST_F(WindowsProfileTest, MissingKeyAndSectionAreNotEmptyValues) {
  EXPECT_EQ(profile_->Read(section_, "IP Address"), std::nullopt);
  ASSERT_TRUE(profile_->Write(section_, "IP Address", ""));
  EXPECT_EQ(profile_->Read(section_, "IP Address"), std::optional<std::string>(""));
  EXPECT_EQ(profile_->Read(section_, "Adapter Index"), std::nullopt);
  EXPECT_EQ(GetProfileString(*profile_, section_, "Adapter Index", "192.168.0.2", 128), "192.168.0.2");
  EXPECT_EQ(GetProfileInt(*profile_, section_, "Adapter Index", 7), 7);
}

TEST_F(WindowsProfileTest, WrittenValuesReadBackAsWritten) {
  // The values the win.ini reader uses as its own markers, and one longer than its first buffer.
  const std::string values[] = {"10.1.2.3", "0", "1", "2", std::string(700, 'x')};
  for (const std::string& value : values) {
    SCOPED_TRACE(value.substr(0, 16));
    ASSERT_TRUE(profile_->Write(section_, "IP Address", value));
    EXPECT_EQ(profile_->Read(section_, "IP Address"), std::optional<std::string>(value));
  }
  ASSERT_TRUE(profile_->Write(section_, "Adapter Index", "3"));
  EXPECT_EQ(GetProfileInt(*profile_, section_, "Adapter Index", 0), 3);
  // Another reader of the same profile sees it: it is the system's, not this object's.
  WindowsProfile other(key_);
  EXPECT_EQ(other.Read(section_, "Adapter Index"), std::optional<std::string>("3"));
}

TEST_F(WindowsProfileTest, TheUpdatersSectionIsItsKeyWithStringValuesAndWinIniBeside) {
  EXPECT_EQ(WindowsProfile().KeyOf(kMainProfileSection), "Software\\Tessaly\\Updater");
  ASSERT_TRUE(profile_->Write(kMainProfileSection, "IP Address", "10.9.8.7"));
  ASSERT_TRUE(profile_->Write(kMainProfileSection, "Adapter Index", "2"));
  EXPECT_EQ(Registry(key_, "IP Address"), std::optional<std::string>("10.9.8.7"));  // REG_SZ only
  EXPECT_EQ(Registry(key_, "Adapter Index"), std::optional<std::string>("2"));
  // Written to win.ini as well, where an older version run next looks.
  EXPECT_EQ(WindowsProfile::ReadWinIni(kMainProfileSection, "IP Address"), std::optional<std::string>("10.9.8.7"));
  EXPECT_EQ(WindowsProfile::ReadWinIni(kMainProfileSection, "Adapter Index"), std::optional<std::string>("2"));
}

TEST_F(WindowsProfileTest, RegistryFirstThenWinIniOfAnOlderInstallation) {
  // An older installation left both values in win.ini only.
  ASSERT_TRUE(::WriteProfileStringA(section_.c_str(), "IP Address", "10.0.0.1"));
  ASSERT_TRUE(::WriteProfileStringA(section_.c_str(), "Adapter Index", "4"));
  EXPECT_EQ(profile_->Read(section_, "IP Address"), std::optional<std::string>("10.0.0.1"));
  EXPECT_EQ(GetProfileInt(*profile_, section_, "Adapter Index", 0), 4);
  // Once the registry holds a value it wins, even an empty one; the other still comes
  // from win.ini.
  ASSERT_EQ(
      ::RegSetKeyValueA(HKEY_CURRENT_USER, profile_->KeyOf(section_).c_str(), "IP Address", REG_SZ, "10.0.0.2", 9),
      ERROR_SUCCESS);
  EXPECT_EQ(profile_->Read(section_, "IP Address"), std::optional<std::string>("10.0.0.2"));
  ASSERT_EQ(::RegSetKeyValueA(HKEY_CURRENT_USER, profile_->KeyOf(section_).c_str(), "IP Address", REG_SZ, "", 1),
            ERROR_SUCCESS);
  EXPECT_EQ(profile_->Read(section_, "IP Address"), std::optional<std::string>(""));
  EXPECT_EQ(GetProfileInt(*profile_, section_, "Adapter Index", 0), 4);
}

TEST_F(WindowsProfileTest, RemembersWhileWinIniIsUnwritable) {
  ASSERT_TRUE(profile_->Write(section_, "IP Address", "10.0.0.1"));  // both have it
  {
    UnwritableWinIni locked;
    ASSERT_TRUE(locked.held());
    ASSERT_FALSE(::WriteProfileStringA(section_.c_str(), "Probe", "x")) << "win.ini is still writable";
    EXPECT_TRUE(profile_->Write(section_, "IP Address", "10.0.0.5"));
    EXPECT_TRUE(profile_->Write(section_, "Adapter Index", "1"));
  }
  // The next run reads what this one was given, though win.ini kept the old value.
  WindowsProfile next(key_);
  EXPECT_EQ(next.Read(section_, "IP Address"), std::optional<std::string>("10.0.0.5"));
  EXPECT_EQ(GetProfileInt(next, section_, "Adapter Index", 0), 1);
  EXPECT_EQ(WindowsProfile::ReadWinIni(section_, "IP Address"), std::optional<std::string>("10.0.0.1"));
  EXPECT_EQ(WindowsProfile::ReadWinIni(section_, "Adapter Index"), std::nullopt);
}

}  // namespace
}  // namespace tessaly::testing
