#include "platform/qt/profile_qt.h"
#include "platform/user_profile.h"

#include <QSettings>
#include <QString>
#include <QStringList>
#include <QVariant>

namespace tessaly {

struct IniProfile::Impl {
  explicit Impl(const std::string& path) : settings(QString::fromStdString(path), QSettings::IniFormat) {}
  QSettings settings;
};

IniProfile::IniProfile(const std::string& path) : impl_(std::make_unique<Impl>(path)) {}
IniProfile::~IniProfile() = default;

std::optional<std::string> IniProfile::Read(const std::string& section, const std::string& key) {
  // Read afresh each time: another program (or a technician's editor) may have changed it.
  impl_->settings.sync();
  const QString name = QString::fromStdString(section + "/" + key);
  if (!impl_->settings.contains(name)) return std::nullopt;
  const QVariant value = impl_->settings.value(name);
  // A hand-written value with commas reads as a list; the profile holds plain text.
  if (value.typeId() == QMetaType::QStringList) return value.toStringList().join(',').toStdString();
  return value.toString().toStdString();
}

bool IniProfile::Write(const std::string& section, const std::string& key, const std::string& value) {
  impl_->settings.setValue(QString::fromStdString(section + "/" + key), QString::fromStdString(value));
  impl_->settings.sync();
  return impl_->settings.status() == QSettings::NoError;
}

}  // namespace tessaly

namespace tessaly {

std::unique_ptr<Profile> OpenUserProfile() { return std::make_unique<IniProfile>(); }

}  // namespace tessaly
