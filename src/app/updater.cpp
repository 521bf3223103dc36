#include "app/updater.h"

namespace tessaly {

Updater::Updater(FormPlatform platform, UpdaterSettings settings, StageRoutines stages)
    : core_(platform.profile, platform.debug, settings, std::move(stages)), form_(core_.session(), platform) {}

Updater::~Updater() { Shutdown(); }

void Updater::AttachView(View& view) {
  form_.AttachView(view);
  core_.Attach(view, form_);
  form_.SetUpdateHandlers(&core_.control(), &core_.sequence());
}

void Updater::Shutdown() {
  form_.SetUpdateHandlers(nullptr, nullptr);
  core_.Shutdown();
}

}  // namespace tessaly
