// tessaly-updater: the Qt window over the update logic.

#include <QApplication>
#include <QString>

#include <exception>
#include <memory>

#include "app/sorvi_form.h"
#include "app/updater.h"
#include "gui/sorvi_window.h"
#include "platform/adapters.h"
#include "platform/debug_output.h"
#include "platform/directory.h"
#include "platform/qt/profile_qt.h"

namespace {

void Run(QApplication& app) {
  tessaly::IniProfile profile;
  tessaly::WorkingDirectoryLister directory;
  tessaly::SystemAdapterSource adapters;
  tessaly::StderrDebugOutput debug;
  tessaly::Updater updater(tessaly::FormPlatform{profile, directory, adapters, debug});

  auto window = std::make_unique<tessaly::gui::SorviWindow>();
  tessaly::ShutdownBeforeWindow shutdown(updater);
  window->SetEvents(&updater.events());
  updater.AttachView(*window);
  updater.EnableSavedLog();
  // An error while the window is created is shown; the window still opens.
  tessaly::gui::Guarded(window.get(), [&] { updater.Start(); });
  window->show();
  app.exec();
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("tessaly-updater"));
  // No display name: Qt would append it to every window caption. The boxes are captioned
  // with the application title directly.
  try {
    Run(app);
  } catch (const std::exception& e) {
    tessaly::gui::ShowErrorBox(nullptr, QString::fromStdString(e.what()));
  } catch (...) {
    tessaly::gui::ShowErrorBox(nullptr, QString());
  }
  return 0;
}
