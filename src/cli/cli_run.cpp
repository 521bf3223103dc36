#include "cli/cli_run.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <chrono>
#include <sstream>

#include "app/updater.h"
#include "cli/terminal_view.h"
#include "platform/adapters.h"
#include "platform/directory.h"
#include "platform/qt/profile_qt.h"
#include "update/update_sequence.h"

namespace tessaly::cli {

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitRefused = 2;
constexpr auto kQuestionLapse = std::chrono::seconds(5);

// The command line's debugger output goes nowhere: its log lines are on standard output.
class QuietDebugOutput final : public DebugOutput {
 public:
  void Write(const std::string&) override {}
};

int signalPipe[2] = {-1, -1};

extern "C" void OnSignal(int) {
  const char c = 1;
  [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &c, 1);
}

// Delivers SIGINT and SIGTERM to the event loop's thread through a pipe.
class SignalWatch {
 public:
  explicit SignalWatch(std::function<void()> onSignal) {
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
    notifier_ = std::make_unique<QSocketNotifier>(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, [onSignal] {
      char buffer[16];
      while (::read(signalPipe[0], buffer, sizeof buffer) > 0) onSignal();
    });
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &sa, &oldInt_);
    ::sigaction(SIGTERM, &sa, &oldTerm_);
  }
  ~SignalWatch() {
    ::sigaction(SIGINT, &oldInt_, nullptr);
    ::sigaction(SIGTERM, &oldTerm_, nullptr);
    notifier_.reset();
    for (int& fd : signalPipe) {
      if (fd >= 0) ::close(fd);
      fd = -1;
    }
  }

 private:
  std::unique_ptr<QSocketNotifier> notifier_;
  struct sigaction oldInt_ {};
  struct sigaction oldTerm_ {};
};

}  // namespace

int RunUpdate(const CliOptions& options, std::FILE* out, bool terminal) {
  IniProfile profile;
  WorkingDirectoryLister directory;
  SystemAdapterSource adapters;
  QuietDebugOutput debug;
  Updater updater(FormPlatform{profile, directory, adapters, debug});
  TerminalView view(out, terminal);
  view.SetEvents(&updater.form());
  updater.AttachView(view);
  struct Shutdown {
    Updater& u;
    ~Shutdown() { u.Shutdown(); }
  } shutdown{updater};

  // The same start as the window's: settings, adapters, firmware search. With files
  // named, what the search found in the folder is beside the point.
  const bool named = options.main || options.sub;
  view.SetMuted(named);
  updater.Start();
  view.SetMuted(false);
  if (options.projector) view.SetText(Control::IpAddrEdit, *options.projector);
  if (named) {
    view.SetText(Control::FileEdit, options.main.value_or(""));
    view.SetText(Control::FileEdit2, options.sub.value_or(""));
    if (options.main) updater.log().LogInfo("Main firmware : %s", options.main->c_str());
    if (options.sub) updater.log().LogInfo("Sub firmware : %s", options.sub->c_str());
  }
  if (options.manual) {
    view.SetVisible(Control::UpfwBox, true);
    view.SetChecked(Control::UpfwBox, true);  // lists the adapters afresh
    int index = -1;
    for (int i = 0; i < updater.form().AdapterCount(); ++i) {
      if (updater.form().AdapterAddresses()[static_cast<std::size_t>(i)] == *options.manual) index = i;
    }
    view.SetItemIndex(Control::AdapterBox, index);  // none: the update says which check failed
  }
  if (!view.Enabled(Control::UpdateFwBtn)) return kExitRefused;  // nothing to update

  bool aborted = false;
  std::chrono::steady_clock::time_point asked{};
  bool questionOpen = false;
  auto abort = [&] {
    aborted = true;
    view.SetNextAnswer(Answer::Yes);
    updater.form().AbortBtnClick();
  };
  SignalWatch signalWatch([&] {
    if (!view.Enabled(Control::AbortBtn)) return;
    const bool writing = updater.state().UpdateInProgress.load() != 0;
    const auto now = std::chrono::steady_clock::now();
    if (!writing || options.yes || (questionOpen && now - asked < kQuestionLapse)) {
      abort();
      return;
    }
    std::istringstream lines(kAbortQuestion);
    for (std::string line; std::getline(lines, line);) view.Say(line);
    view.Say("Press Ctrl-C again within 5 seconds to abort; otherwise the update goes on.");
    questionOpen = true;
    asked = now;
  });

  updater.form().UpdateFwBtnClick();
  if (!view.Enabled(Control::AbortBtn)) return kExitRefused;  // refused: the lines said why

  // The session is over when the idle controls are back.
  QTimer watch;
  QObject::connect(&watch, &QTimer::timeout, [&] {
    if (view.Enabled(Control::UpdateFwBtn) && !view.Enabled(Control::AbortBtn)) QCoreApplication::quit();
  });
  watch.start(20);
  QCoreApplication::exec();
  watch.stop();

  // Read before the shutdown, which raises the stop request to end the workers.
  const std::uint8_t selection = updater.state().FirmwareSelection.load();
  const bool allDone = (updater.state().StagesSucceeded.load() & selection) == selection;
  const bool stopped = updater.state().StopRequested.load() != 0;
  updater.Shutdown();
  if (aborted || !allDone || stopped) return kExitFailed;
  return kExitOk;
}

}  // namespace tessaly::cli
