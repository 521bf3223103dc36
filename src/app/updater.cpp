#include "app/updater.h"

namespace tessaly {

Updater::Updater(FormPlatform platform, UpdaterSettings settings, StageRoutines stages)
    : core_(platform.profile, platform.debug, settings, std::move(stages)), form_(core_, platform) {}

Updater::~Updater() { Shutdown(); }

void Updater::AttachView(View& view) {
  form_.AttachView(view);
  core_.Attach(view, form_);
}

void Updater::Shutdown() { core_.Shutdown(); }

}  // namespace tessaly
