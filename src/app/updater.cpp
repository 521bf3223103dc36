#include "app/updater.h"

namespace tessaly {

Updater::Updater(FormPlatform platform, UpdaterSettings settings)
    : settings_(settings),
      ui_(nullptr),
      log_(ui_, platform.debug),
      session_(state_, ui_, log_, settings_),
      form_(session_, platform) {}

Updater::~Updater() { Shutdown(); }

void Updater::AttachView(View& view) { ui_.AttachView(&view); }

void Updater::Start() { form_.FormCreate(); }

void Updater::Shutdown() {
  session_.RequestStop();
  workers_.JoinAll();
  ui_.Detach();
}

}  // namespace tessaly
