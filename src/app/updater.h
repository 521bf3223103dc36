#pragma once
// The window's side of the run: the update core and the form logic over one view. A
// window (or a test) creates one, attaches its view, calls Start, and calls Shutdown
// before its view goes away.

#include "app/sorvi_form.h"
#include "app/update_core.h"

namespace tessaly {

class Updater {
 public:
  Updater(FormPlatform platform, UpdaterSettings settings = {}, StageRoutines stages = {});
  ~Updater();
  Updater(const Updater&) = delete;
  Updater& operator=(const Updater&) = delete;

  // Creates the control connection and the update sequence for `view`.
  void AttachView(View& view);
  // Window creation (FormCreate). Runs on the view's thread.
  void Start() { form_.FormCreate(); }
  // Stops every stage and all work for the view. Safe to call more than once.
  void Shutdown();

  // What the view calls: the form's handlers.
  ViewEvents& events() { return form_; }
  // Every update leaves a saved log (app/saved_log.h). Before Start.
  void EnableSavedLog() { core_.EnableSavedLog(); }

 private:
  friend struct testing::CoreProbe;

  UpdateCore core_;
  TSorviForm form_;
};

// Stops the stages and the view's queue before the window goes away, on every road
// out of the run, an exception's included.
class ShutdownBeforeWindow {
 public:
  explicit ShutdownBeforeWindow(Updater& updater) : updater_(updater) {}
  ~ShutdownBeforeWindow() { updater_.Shutdown(); }
  ShutdownBeforeWindow(const ShutdownBeforeWindow&) = delete;
  ShutdownBeforeWindow& operator=(const ShutdownBeforeWindow&) = delete;

 private:
  Updater& updater_;
};

}  // namespace tessaly
