#pragma once
// An Updater over in-memory platform fakes, driven through the recording view.

#include <memory>

#include "app/updater.h"
#include "support/fake_view.h"
#include "support/fakes.h"

namespace tessaly::testing {

struct Harness {
  explicit Harness(UpdaterSettings settings = {}, StageRoutines stages = {}) {
    updater = std::make_unique<Updater>(FormPlatform{profile, directory, adapters, debug}, settings, std::move(stages));
    view.SetEvents(&updater->events());
    updater->AttachView(view);
  }
  ~Harness() { updater->Shutdown(); }

  void AddFile(const std::string& name, std::int64_t time, std::uint32_t attributes = 0) {
    directory.entries.push_back(DirEntry{name, attributes, time});
  }
  std::vector<std::string> LogTexts() const {
    std::vector<std::string> out;
    for (const LogLine& l : view.logLines()) out.push_back(l.text);
    return out;
  }

  MemoryProfile profile;
  ListedDirectory directory;
  ListedAdapters adapters;
  RecordingDebugOutput debug;
  FakeView view;
  std::unique_ptr<Updater> updater;
};

}  // namespace tessaly::testing
