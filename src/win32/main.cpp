// tessaly-updater.exe: the native window over the update logic.

// Before <windows.h>: the window logic names its messages as the system's macros do.
#include "app/sorvi_form.h"
#include "app/updater.h"

#include <windows.h>

#include <exception>
#include <memory>
#include <stdexcept>

#include "platform/adapters.h"
#include "platform/debug_output.h"
#include "platform/directory.h"
#include "platform/user_profile.h"
#include "win32/sorvi_window.h"

namespace {

void Run(HINSTANCE instance, int showCommand) {
  if (!tessaly::win32::InitWindowClasses(instance)) {
    throw std::runtime_error("The window's controls cannot be loaded (riched20.dll)");
  }
  std::unique_ptr<tessaly::Profile> profile = tessaly::OpenUserProfile();
  tessaly::WorkingDirectoryLister directory;
  tessaly::SystemAdapterSource adapters;
  std::unique_ptr<tessaly::DebugOutput> debug = tessaly::CreateSystemDebugOutput();
  tessaly::Updater updater(tessaly::FormPlatform{*profile, directory, adapters, *debug});

  auto window = std::make_unique<tessaly::win32::SorviWindow>(instance);
  tessaly::ShutdownBeforeWindow shutdown(updater);
  window->SetEvents(&updater.events());
  updater.AttachView(*window);
  updater.EnableSavedLog();
  // An error while the window is created is shown; the window still opens.
  tessaly::win32::Guarded(window->hwnd(), [&] { updater.Start(); });
  window->Show(showCommand);
  window->RunMessageLoop();
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand) {
  try {
    Run(instance, showCommand);
  } catch (const std::exception& e) {
    tessaly::win32::ShowErrorBox(nullptr, e.what());
  } catch (...) {
    tessaly::win32::ShowErrorBox(nullptr, std::string());
  }
  return 0;
}
