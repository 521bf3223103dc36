// The Qt window over a real Updater with in-memory platform stand-ins. Run with the
// offscreen platform; modal boxes are driven from timers polling the modal stack.

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFrame>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextEdit>
#include <QTextLayout>
#include <QTimer>

#ifdef TESSALY_HAVE_QTEST
#include <QTest>
#endif

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "app/sorvi_form.h"
#include "support/core_probe.h"
#include "app/updater.h"
#include "gui/sorvi_window.h"

#ifdef TESSALY_GUI_WITH_SIM
#include <dirent.h>

#include "projector_sim.h"
#include "support/fake_stages.h"
#include "support/temp_dir.h"
#endif

namespace tessaly::gui {
namespace {

using tessaly::testing::Probe;

constexpr int kDeadlineMs = 5000;
const QColor kBlue(0, 0, 255);
const QColor kRed(255, 0, 0);

// ---- platform stand-ins ---------------------------------------------------------

class MapProfile final : public Profile {
 public:
  std::optional<std::string> Read(const std::string& section, const std::string& key) override {
    auto it = values.find(section + "/" + key);
    if (it == values.end()) return std::nullopt;
    return it->second;
  }
  bool Write(const std::string& section, const std::string& key, const std::string& value) override {
    values[section + "/" + key] = value;
    return true;
  }
  std::map<std::string, std::string> values;
};

class TwoFiles final : public DirectoryLister {
 public:
  std::vector<DirEntry> List(const std::string& extension) override {
    std::vector<DirEntry> out;
    for (const char* name : {"a.bin", "b.brec2"}) {
      const std::string n = name;
      if (n.size() >= extension.size() && n.compare(n.size() - extension.size(), extension.size(), extension) == 0) {
        out.push_back(DirEntry{n, 0, 1});
      }
    }
    return out;
  }
};

class TwoAdapters final : public AdapterSource {
 public:
  std::optional<std::vector<AdapterInfo>> GetAdaptersInfo() override {
    return std::vector<AdapterInfo>{{"lo", "lo", {"127.0.0.1"}}, {"eth0", "eth0", {"10.0.0.5"}}};
  }
};

class CollectingDebug final : public DebugOutput {
 public:
  void Write(const std::string& text) override {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back(text);
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> lines_;
};

// The real window, counting log lines that arrive off the GUI thread.
class CheckedWindow final : public SorviWindow {
 public:
  void AppendLogLine(const std::string& text, LogColour colour) override {
    if (!OnViewThread()) ++offThread;
    SorviWindow::AppendLogLine(text, colour);
  }
  std::atomic<int> offThread{0};
};

// ---- helpers ----------------------------------------------------------------------

void TypeText(QWidget* w, const QString& text) {
#ifdef TESSALY_HAVE_QTEST
  QTest::keyClicks(w, text);
#else
  for (QChar ch : text) {
    QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(ch));
    QKeyEvent release(QEvent::KeyRelease, 0, Qt::NoModifier, QString(ch));
    QCoreApplication::sendEvent(w, &press);
    QCoreApplication::sendEvent(w, &release);
  }
#endif
}

void PressKey(QWidget* w, Qt::Key key) {
#ifdef TESSALY_HAVE_QTEST
  QTest::keyClick(w, key);
#else
  QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
  QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier);
  QCoreApplication::sendEvent(w, &press);
  QCoreApplication::sendEvent(w, &release);
#endif
}

// Acts on the topmost modal widget once `act` accepts it (returns true). Polls from the
// event loop the modal widget's own exec runs; past the deadline it rejects whatever is
// modal so a broken build fails instead of hanging.
class ModalDriver {
 public:
  explicit ModalDriver(std::function<bool(QWidget*)> act, int timeoutMs = kDeadlineMs)
      : act_(std::move(act)), timeoutMs_(timeoutMs) {
    clock_.start();
    timer_.setInterval(5);
    QObject::connect(&timer_, &QTimer::timeout, [this] { Tick(); });
    timer_.start();
  }
  bool done() const { return done_; }
  bool timedOut() const { return timedOut_; }

 private:
  void Tick() {
    timer_.stop();  // `act` may open a nested loop; no re-entry meanwhile
    QWidget* modal = QApplication::activeModalWidget();
    if (modal && modal->isVisible() && act_(modal)) {
      done_ = true;
      return;
    }
    if (clock_.hasExpired(timeoutMs_)) {
      timedOut_ = true;
      if (auto* dialog = qobject_cast<QDialog*>(modal)) dialog->reject();
      return;
    }
    timer_.start();
  }

  std::function<bool(QWidget*)> act_;
  int timeoutMs_;
  QElapsedTimer clock_;
  QTimer timer_;
  bool done_ = false;
  bool timedOut_ = false;
};

// Runs the event loop until `done` holds, within a bounded count and time.
bool ProcessUntil(const std::function<bool()>& done) {
  QElapsedTimer clock;
  clock.start();
  for (int i = 0; i < 100000 && !done() && !clock.hasExpired(kDeadlineMs); ++i) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  }
  return done();
}

struct DocLine {
  QString text;
  std::vector<QColor> colours;  // one per fragment
};

std::vector<DocLine> DocumentLines(const QTextEdit* edit) {
  std::vector<DocLine> out;
  const QTextDocument* doc = edit->document();
  for (QTextBlock b = doc->begin(); b.isValid(); b = b.next()) {
    DocLine line{b.text(), {}};
    for (auto it = b.begin(); !it.atEnd(); ++it) {
      if (it.fragment().isValid()) line.colours.push_back(it.fragment().charFormat().foreground().color());
    }
    out.push_back(line);
  }
  return out;
}

bool AllIn(const DocLine& line, const QColor& colour) {
  if (line.colours.empty()) return false;
  for (const QColor& c : line.colours) {
    if (c != colour) return false;
  }
  return true;
}

template <typename T>
T* Find(QWidget* root, const char* name) {
  return root->findChild<T*>(QString::fromLatin1(name));
}

// ---- fixture: a real Updater attached to the real window ------------------------------

struct RealWindow {
  explicit RealWindow(const UpdaterSettings& settings = {}, StageRoutines stages = {}) {
    updater = std::make_unique<Updater>(FormPlatform{profile, directory, adapters, debug}, settings, std::move(stages));
    window = std::make_unique<CheckedWindow>();
    window->SetEvents(&updater->events());
    updater->AttachView(*window);
  }
  ~RealWindow() { Close(); }
  void Close() {
    if (!updater) return;
    updater->Shutdown();  // as the program's main does once its window has closed
    window.reset();
    updater.reset();
  }

  QTextEdit* log() { return Find<QTextEdit>(window.get(), "MsgEdit"); }
  std::vector<QString> LogTexts() {
    std::vector<QString> out;
    for (const DocLine& l : DocumentLines(log())) out.push_back(l.text);
    return out;
  }

  MapProfile profile;
  TwoFiles directory;
  TwoAdapters adapters;
  CollectingDebug debug;
  std::unique_ptr<Updater> updater;
  std::unique_ptr<CheckedWindow> window;
};

class GuiUpdaterTest : public ::testing::Test, protected RealWindow {
 protected:
  void TearDown() override { Close(); }
};

TEST_F(GuiUpdaterTest, StartShowsTitleAddressAndBlueFirmwareLines) {
  updater->Start();
  EXPECT_EQ(window->windowTitle(), QStringLiteral("Updater for Tessaly.exe"));
  EXPECT_EQ(Find<QLineEdit>(window.get(), "IpAddrEdit")->text(), QStringLiteral("192.168.0.2"));
  EXPECT_EQ(Find<QLineEdit>(window.get(), "FileEdit")->text(), QStringLiteral("a.bin"));
  EXPECT_EQ(Find<QLineEdit>(window.get(), "FileEdit2")->text(), QStringLiteral("b.brec2"));
  EXPECT_TRUE(Find<QPushButton>(window.get(), "UpdateFwBtn")->isEnabled());
  EXPECT_FALSE(Find<QPushButton>(window.get(), "AbortBtn")->isEnabled());

  const auto lines = DocumentLines(log());
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].text, QStringLiteral("Main firmware : a.bin"));
  EXPECT_EQ(lines[1].text, QStringLiteral("Sub firmware : b.brec2"));
  EXPECT_EQ(lines[2].text, QStringLiteral("Press \"Update Firmware\" button to startup..."));
  for (const DocLine& l : lines) EXPECT_TRUE(AllIn(l, kBlue)) << l.text.toStdString();
}

TEST_F(GuiUpdaterTest, ErrorLineIsRedWhileEarlierLinesStayBlue) {
  updater->Start();
  Probe(updater).log().LogError("Cannot connect to %s", "192.168.0.2");
  const auto lines = DocumentLines(log());
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[3].text, QStringLiteral("Cannot connect to 192.168.0.2"));
  EXPECT_TRUE(AllIn(lines[3], kRed));
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(AllIn(lines[static_cast<std::size_t>(i)], kBlue)) << i;
}

TEST_F(GuiUpdaterTest, CheckingTheBoxMovesThePanelAndRefillsTheAdapters) {
  updater->Start();
  auto* panel = Find<QFrame>(window.get(), "Panel1");
  auto* adapterText = Find<QLabel>(window.get(), "StaticText4");
  auto* adapterBox = Find<QComboBox>(window.get(), "AdapterBox");
  EXPECT_EQ(panel->y(), 50);
  EXPECT_EQ(panel->x(), 6);
  EXPECT_EQ(window->outerHeight(), 350);
  EXPECT_EQ(window->height(), 350);  // no window manager frame offscreen
  EXPECT_TRUE(adapterText->isHidden());
  EXPECT_TRUE(adapterBox->isHidden());

  window->SetChecked(Control::UpfwBox, true);
  EXPECT_EQ(panel->y(), 80);
  EXPECT_EQ(panel->x(), 6);
  EXPECT_EQ(window->outerHeight(), 385);
  EXPECT_EQ(window->height(), 385);
  EXPECT_FALSE(adapterText->isHidden());
  EXPECT_FALSE(adapterBox->isHidden());
  ASSERT_EQ(adapterBox->count(), 2);  // cleared before the refill, not appended to
  EXPECT_EQ(adapterBox->itemText(0), QStringLiteral("127.0.0.1 - lo"));
  EXPECT_EQ(adapterBox->itemText(1), QStringLiteral("10.0.0.5 - eth0"));
  EXPECT_EQ(adapterBox->currentIndex(), 0);

  window->SetChecked(Control::UpfwBox, false);
  EXPECT_EQ(panel->y(), 50);
  EXPECT_EQ(window->outerHeight(), 350);
  EXPECT_TRUE(adapterText->isHidden());
  EXPECT_TRUE(adapterBox->isHidden());
}

TEST_F(GuiUpdaterTest, WorkerLinesArriveInOrderOnTheGuiThread) {
  updater->Start();
  constexpr int kLines = 200;
  std::thread worker([this] {
    for (int i = 0; i < kLines; ++i) Probe(updater).log().LogInfo("worker %d", i);
  });
  for (int i = 0; i < kLines; ++i) Probe(updater).log().LogInfo("main %d", i);
  worker.join();

  EXPECT_TRUE(ProcessUntil([this] { return log()->document()->blockCount() >= 3 + 2 * kLines; }));
  std::vector<QString> fromWorker, fromMain;
  for (const QString& t : LogTexts()) {
    if (t.startsWith(QStringLiteral("worker "))) fromWorker.push_back(t);
    if (t.startsWith(QStringLiteral("main "))) fromMain.push_back(t);
  }
  ASSERT_EQ(fromWorker.size(), static_cast<std::size_t>(kLines));
  ASSERT_EQ(fromMain.size(), static_cast<std::size_t>(kLines));
  for (int i = 0; i < kLines; ++i) {
    EXPECT_EQ(fromWorker[static_cast<std::size_t>(i)], QStringLiteral("worker %1").arg(i));
    EXPECT_EQ(fromMain[static_cast<std::size_t>(i)], QStringLiteral("main %1").arg(i));
  }
  EXPECT_EQ(window->offThread.load(), 0);
}

TEST_F(GuiUpdaterTest, CloseWithoutUpdateClosesAtOnce) {
  updater->Start();
  window->show();
  bool sawBox = false;
  ModalDriver guard(
      [&](QWidget* modal) {
        sawBox = true;
        modal->close();
        return true;
      },
      500);
  EXPECT_TRUE(window->close());
  EXPECT_FALSE(sawBox);
  EXPECT_FALSE(window->isVisible());
}

TEST_F(GuiUpdaterTest, WrongPasswordKeepsTheDialogAndTheRightOneEntersAdvanceMode) {
  updater->Start();
  window->show();
  QString invalidText, invalidTitle;
  QMessageBox::Icon invalidIcon = QMessageBox::Critical;
  ModalDriver invalidBox([&](QWidget* modal) {
    auto* box = qobject_cast<QMessageBox*>(modal);
    if (!box) return false;
    invalidText = box->text();
    invalidTitle = box->windowTitle();
    invalidIcon = box->icon();
    box->button(QMessageBox::Ok)->click();
    return true;
  });
  bool stayedOpen = false;
  QString keptText;
  ModalDriver password([&](QWidget* modal) {
    if (modal->objectName() != QStringLiteral("PasswordForm")) return false;
    auto* edit = Find<QLineEdit>(modal, "Edit1");
    auto* ok = Find<QPushButton>(modal, "Button1");
    TypeText(edit, QStringLiteral("wrong"));
    ok->click();  // the Invalid Password box opens and is answered meanwhile
    stayedOpen = modal->isVisible();
    keptText = edit->text();
    edit->clear();
    TypeText(edit, QString::fromLatin1(kAdvancePassword));
    ok->click();
    return true;
  });
  Find<QAction>(window.get(), "Advancemode1")->trigger();

  ASSERT_TRUE(password.done());
  EXPECT_TRUE(invalidBox.done());
  EXPECT_EQ(invalidText, QStringLiteral("Invalid Password"));
  EXPECT_EQ(invalidTitle, QStringLiteral("Updater for Tessaly"));
  EXPECT_EQ(invalidIcon, QMessageBox::NoIcon);
  EXPECT_TRUE(stayedOpen);
  EXPECT_EQ(keptText, QStringLiteral("wrong"));

  EXPECT_FALSE(Find<QAction>(window.get(), "Advancemode1")->isEnabled());
  EXPECT_TRUE(Find<QAction>(window.get(), "Normalmode1")->isEnabled());
  auto* box = Find<QCheckBox>(window.get(), "UpfwBox");
  EXPECT_FALSE(box->isHidden());
  EXPECT_TRUE(box->isChecked());
  EXPECT_EQ(Find<QFrame>(window.get(), "Panel1")->y(), 80);

  // Normal mode undoes it.
  Find<QAction>(window.get(), "Normalmode1")->trigger();
  EXPECT_TRUE(box->isHidden());
  EXPECT_FALSE(box->isChecked());
  EXPECT_TRUE(Find<QAction>(window.get(), "Advancemode1")->isEnabled());
  EXPECT_FALSE(Find<QAction>(window.get(), "Normalmode1")->isEnabled());
  EXPECT_EQ(Find<QFrame>(window.get(), "Panel1")->y(), 50);
}

// ---- the window alone, with handlers that count ------------------------------------

class CountingEvents final : public ViewEvents {
 public:
  void UpfwBoxClick() override { ++calls["UpfwBoxClick"]; }
  void FileEditChange() override { ++calls["FileEditChange"]; }
  void FileEdit2Change() override { ++calls["FileEdit2Change"]; }
  void SearchFwBtnClick() override { ++calls["SearchFwBtnClick"]; }
  void ConnectBtnClick() override { ++calls["ConnectBtnClick"]; }
  void UpdateFwBtnClick() override {
    ++calls["UpdateFwBtnClick"];
    if (throwOnUpdate) throw std::runtime_error("Socket error 10061");
  }
  void AbortBtnClick() override {
    ++calls["AbortBtnClick"];
    if (throwOnAbort) throw 42;
  }
  void ExitItemClick() override { ++calls["ExitItemClick"]; }
  void AdvanceModeItemClick() override { ++calls["AdvanceModeItemClick"]; }
  void NormalModeItemClick() override { ++calls["NormalModeItemClick"]; }
  void WindowMessage(std::uint32_t msg) override { messages.push_back(msg); }
  bool CloseQuery() override { return true; }
  void FormClose() override { ++calls["FormClose"]; }

  std::map<std::string, int> calls;
  std::vector<std::uint32_t> messages;
  bool throwOnUpdate = false;
  bool throwOnAbort = false;
};

class GuiWindowTest : public ::testing::Test {
 protected:
  void SetUp() override { window.SetEvents(&events); }
  template <typename T>
  T* W(const char* name) {
    return Find<T>(&window, name);
  }
  CountingEvents events;
  SorviWindow window;
};

TEST_F(GuiWindowTest, ControlsCarryTheirCaptionsAndDesignState) {
  EXPECT_EQ(W<QLabel>("PjAddrText")->text(), QStringLiteral("Projector IP Address :"));
  EXPECT_EQ(W<QCheckBox>("UpfwBox")->text(), QStringLiteral("Manually switch to download mode"));
  EXPECT_EQ(W<QLabel>("StaticText4")->text(), QStringLiteral("PC Ethernet  Adapter :"));
  EXPECT_EQ(W<QPushButton>("UpdateFwBtn")->text(), QStringLiteral("Update Firmware"));
  EXPECT_EQ(W<QPushButton>("AbortBtn")->text(), QStringLiteral("Abort "));
  EXPECT_EQ(W<QLabel>("StaticText2")->text(), QStringLiteral("Message"));
  EXPECT_EQ(W<QLabel>("PercentText")->text(), QStringLiteral("0%"));
  EXPECT_EQ(W<QAction>("Exit1")->text(), QStringLiteral("E&xit"));
  EXPECT_EQ(W<QAction>("Advancemode1")->text(), QStringLiteral("&Advance mode"));
  EXPECT_TRUE(W<QAction>("Advancemode1")->isEnabled());
  EXPECT_FALSE(W<QAction>("Normalmode1")->isEnabled());
  EXPECT_EQ(window.Text(Control::FileMenu), "File");
  EXPECT_EQ(window.Text(Control::SettingsMenu), "Settings");

  for (const char* hidden :
       {"UpfwBox", "StaticText4", "AdapterBox", "FileEdit", "FileEdit2", "MacAddrEdit", "SearchFwBtn", "ConnectBtn"}) {
    QWidget* w = W<QWidget>(hidden);
    ASSERT_NE(w, nullptr) << hidden;
    EXPECT_TRUE(w->isHidden()) << hidden;
  }
  EXPECT_FALSE(W<QPushButton>("UpdateFwBtn")->isEnabled());
  EXPECT_FALSE(W<QComboBox>("AdapterBox")->isEditable());

  // The panel's controls sit on the panel, at the design positions.
  auto* panel = W<QFrame>("Panel1");
  EXPECT_EQ(W<QPushButton>("UpdateFwBtn")->parentWidget(), panel);
  EXPECT_EQ(W<QPushButton>("UpdateFwBtn")->geometry(), QRect(6, 6, 121, 25));
  EXPECT_EQ(W<QTextEdit>("MsgEdit")->geometry(), QRect(8, 92, 529, 141));
  EXPECT_EQ(W<QLineEdit>("IpAddrEdit")->geometry(), QRect(146, 12, 177, 24));
  EXPECT_EQ(panel->geometry(), QRect(6, 78, 553, 241));

  auto* log = W<QTextEdit>("MsgEdit");
  EXPECT_TRUE(log->isReadOnly());
  EXPECT_EQ(log->lineWrapMode(), QTextEdit::NoWrap);
  EXPECT_EQ(log->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
  EXPECT_EQ(log->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
  EXPECT_FALSE(log->focusPolicy() & Qt::TabFocus);
  auto* bar = W<QProgressBar>("UpdateProgBar");
  EXPECT_EQ(bar->minimum(), 0);
  EXPECT_EQ(bar->maximum(), 100);
  EXPECT_FALSE(bar->isTextVisible());

  EXPECT_EQ(window.minimumWidth(), 568);
  EXPECT_EQ(window.maximumWidth(), 568);
  EXPECT_FALSE(window.windowFlags() & Qt::WindowMaximizeButtonHint);
  EXPECT_TRUE(window.windowFlags() & Qt::WindowMinimizeButtonHint);
  EXPECT_EQ(window.font().pixelSize(), 13);
  EXPECT_EQ(window.font().families().value(0), QStringLiteral("MS Sans Serif"));
  EXPECT_EQ(window.font().styleHint(), QFont::SansSerif);
  EXPECT_EQ(W<QPushButton>("AbortBtn")->font().pixelSize(), 13);
}

TEST_F(GuiWindowTest, CheckBoxRunsItsHandlerOncePerChangeFromCodeOrOperator) {
  window.SetVisible(Control::UpfwBox, true);
  window.SetChecked(Control::UpfwBox, true);
  EXPECT_EQ(events.calls["UpfwBoxClick"], 1);
  EXPECT_TRUE(window.Checked(Control::UpfwBox));
  window.SetChecked(Control::UpfwBox, true);
  EXPECT_EQ(events.calls["UpfwBoxClick"], 1);
  W<QCheckBox>("UpfwBox")->click();  // the operator
  EXPECT_EQ(events.calls["UpfwBoxClick"], 2);
  EXPECT_FALSE(window.Checked(Control::UpfwBox));
}

TEST_F(GuiWindowTest, FileEditTextChangesRunTheirHandlers) {
  window.SetText(Control::FileEdit, "main.bin");
  window.SetText(Control::FileEdit, "main.bin");
  window.SetText(Control::FileEdit2, "sub.brec2");
  EXPECT_EQ(events.calls["FileEditChange"], 1);
  EXPECT_EQ(events.calls["FileEdit2Change"], 1);
  EXPECT_EQ(window.Text(Control::FileEdit), "main.bin");
  window.SetText(Control::FileEdit, "");
  EXPECT_EQ(events.calls["FileEditChange"], 2);
}

TEST_F(GuiWindowTest, ButtonsAndMenuItemsCallTheirHandlers) {
  window.SetEnabled(Control::UpdateFwBtn, true);
  window.SetEnabled(Control::AbortBtn, true);
  W<QPushButton>("UpdateFwBtn")->click();
  W<QPushButton>("AbortBtn")->click();
  W<QPushButton>("SearchFwBtn")->click();
  W<QPushButton>("ConnectBtn")->click();
  W<QAction>("Exit1")->trigger();
  W<QAction>("Advancemode1")->trigger();
  W<QAction>("Normalmode1")->trigger();  // disabled: nothing
  window.SetEnabled(Control::NormalModeItem, true);
  W<QAction>("Normalmode1")->trigger();
  for (const char* h : {"UpdateFwBtnClick", "AbortBtnClick", "SearchFwBtnClick", "ConnectBtnClick", "ExitItemClick",
                        "AdvanceModeItemClick", "NormalModeItemClick"}) {
    EXPECT_EQ(events.calls[h], 1) << h;
  }
}

TEST_F(GuiWindowTest, PostedWorkAndWindowMessagesRunLaterInOrder) {
  std::vector<int> order;
  window.Post([&] { order.push_back(1); });
  window.PostWindowMessage(WM_SUBFW_CONNECT);
  std::thread other([&] { window.Post([&] { order.push_back(2); }); });
  other.join();
  EXPECT_TRUE(window.OnViewThread());
  EXPECT_TRUE(order.empty());
  EXPECT_TRUE(events.messages.empty());
  EXPECT_TRUE(ProcessUntil([&] { return order.size() == 2 && !events.messages.empty(); }));
  EXPECT_EQ(order, (std::vector<int>{1, 2}));
  EXPECT_EQ(events.messages, (std::vector<std::uint32_t>{1580u}));
}

TEST_F(GuiWindowTest, PostedCloseGoesThroughCloseQuery) {
  window.show();
  window.PostWindowMessage(WM_CLOSE);
  EXPECT_TRUE(ProcessUntil([&] { return !window.isVisible(); }));
  EXPECT_EQ(events.calls["FormClose"], 1);
}

TEST_F(GuiWindowTest, AdapterBoxAndProgressBarBehaveLikeTheNativeControls) {
  window.AddItem(Control::AdapterBox, "127.0.0.1 - lo");
  window.AddItem(Control::AdapterBox, "10.0.0.5 - eth0");
  EXPECT_EQ(window.ItemIndex(Control::AdapterBox), -1);  // adding selects nothing
  window.SetItemIndex(Control::AdapterBox, 1);
  EXPECT_EQ(window.ItemIndex(Control::AdapterBox), 1);
  EXPECT_EQ(window.Text(Control::AdapterBox), "10.0.0.5 - eth0");
  window.SetItemIndex(Control::AdapterBox, 7);
  EXPECT_EQ(window.ItemIndex(Control::AdapterBox), -1);
  window.ClearItems(Control::AdapterBox);
  EXPECT_EQ(W<QComboBox>("AdapterBox")->count(), 0);

  auto* bar = W<QProgressBar>("UpdateProgBar");
  window.SetPosition(Control::UpdateProgBar, 42);
  EXPECT_EQ(bar->value(), 42);
  window.SetPosition(Control::UpdateProgBar, 150);
  EXPECT_EQ(bar->value(), 100);
  window.SetPosition(Control::UpdateProgBar, -3);
  EXPECT_EQ(bar->value(), 0);
}

TEST_F(GuiWindowTest, LogKeepsLinesColoursAndFollowsTheNewestLine) {
  window.show();
  auto* log = W<QTextEdit>("MsgEdit");
  window.SetText(Control::MsgEdit, "");
  EXPECT_TRUE(log->document()->isEmpty());
  window.AppendLogLine("", LogColour::Blue);  // an empty first line is still a line
  window.AppendLogLine("second", LogColour::Red);
  auto lines = DocumentLines(log);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].text, QString());
  EXPECT_TRUE(AllIn(lines[1], kRed));

  const std::string longLine(3000, 'x');
  window.AppendLogLine(longLine, LogColour::Blue);
  lines = DocumentLines(log);
  ASSERT_EQ(lines.size(), 3u);
  const QTextBlock last = log->document()->lastBlock();
  ASSERT_NE(last.layout(), nullptr);
  EXPECT_EQ(last.layout()->lineCount(), 1);
  EXPECT_EQ(log->horizontalScrollBar()->value(), 0);

  for (int i = 0; i < 100; ++i) window.AppendLogLine("line " + std::to_string(i), LogColour::Blue);
  QScrollBar* vertical = log->verticalScrollBar();
  ASSERT_GT(vertical->maximum(), 0);
  EXPECT_EQ(vertical->value(), vertical->maximum());
  vertical->setValue(0);  // the operator scrolls up
  window.AppendLogLine("newest", LogColour::Red);
  EXPECT_EQ(vertical->value(), vertical->maximum());

  window.SetText(Control::MsgEdit, "");
  EXPECT_TRUE(log->document()->isEmpty());
  window.AppendLogLine("after clear", LogColour::Blue);
  EXPECT_EQ(log->document()->blockCount(), 1);
}

TEST_F(GuiWindowTest, AskConfirmAnswersYesNoAndClosed) {
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  QString title, yesText, noText;
  bool yesIsDefault = false;
  ModalDriver yes([&](QWidget* modal) {
    auto* box = qobject_cast<QMessageBox*>(modal);
    if (!box) return false;
    icon = box->icon();
    title = box->windowTitle();
    yesText = box->button(QMessageBox::Yes)->text();
    noText = box->button(QMessageBox::No)->text();
    yesIsDefault = box->defaultButton() == box->button(QMessageBox::Yes);
    box->button(QMessageBox::Yes)->click();
    return true;
  });
  EXPECT_EQ(window.AskConfirm("Exit?"), Answer::Yes);
  EXPECT_TRUE(yes.done());
  EXPECT_EQ(icon, QMessageBox::Question);
  EXPECT_EQ(title, QStringLiteral("Confirm"));
  EXPECT_EQ(yesText, QStringLiteral("&Yes"));
  EXPECT_EQ(noText, QStringLiteral("&No"));
  EXPECT_TRUE(yesIsDefault);

  ModalDriver escape([](QWidget* modal) {
    if (!qobject_cast<QMessageBox*>(modal)) return false;
    PressKey(modal, Qt::Key_Escape);
    return true;
  });
  EXPECT_EQ(window.AskConfirm("Exit?"), Answer::No);
  EXPECT_TRUE(escape.done());

  ModalDriver frame([](QWidget* modal) {
    if (!qobject_cast<QMessageBox*>(modal)) return false;
    modal->close();  // the box's own close button
    return true;
  });
  EXPECT_EQ(window.AskConfirm("Exit?"), Answer::Closed);
  EXPECT_TRUE(frame.done());
}

TEST_F(GuiWindowTest, ShowMessageIsAPlainBoxCaptionedWithTheAppTitle) {
  QMessageBox::Icon icon = QMessageBox::Critical;
  QString title, text;
  ModalDriver ok([&](QWidget* modal) {
    auto* box = qobject_cast<QMessageBox*>(modal);
    if (!box) return false;
    icon = box->icon();
    title = box->windowTitle();
    text = box->text();
    EXPECT_NE(box->button(QMessageBox::Ok), nullptr);
    box->button(QMessageBox::Ok)->click();
    return true;
  });
  window.ShowMessage("Update complete");
  EXPECT_TRUE(ok.done());
  EXPECT_EQ(icon, QMessageBox::NoIcon);
  EXPECT_EQ(title, QStringLiteral("Updater for Tessaly"));
  EXPECT_EQ(text, QStringLiteral("Update complete"));
}

TEST_F(GuiWindowTest, PasswordDialogIgnoresEnterAndEscapeAndCancels) {
  int okCalls = 0;
  bool stillOpen = false, editFocused = false, masked = false;
  QRect editGeometry;
  QSize size;
  QString title, label;
  ModalDriver drive([&](QWidget* modal) {
    if (modal->objectName() != QStringLiteral("PasswordForm")) return false;
    title = modal->windowTitle();
    size = modal->size();
    label = Find<QLabel>(modal, "StaticText1")->text();
    auto* edit = Find<QLineEdit>(modal, "Edit1");
    editGeometry = edit->geometry();
    editFocused = modal->focusWidget() == edit;
    masked = edit->echoMode() == QLineEdit::Password && edit->text().isEmpty();
    TypeText(edit, QStringLiteral("abc"));
    PressKey(edit, Qt::Key_Return);
    PressKey(edit, Qt::Key_Escape);
    PressKey(modal, Qt::Key_Enter);
    stillOpen = modal->isVisible();
    Find<QPushButton>(modal, "Button2")->click();
    return true;
  });
  const int result = window.RunPasswordDialog([&](const std::string&) {
    ++okCalls;
    return true;
  });
  EXPECT_TRUE(drive.done());
  EXPECT_EQ(result, kModalCancel);
  EXPECT_EQ(okCalls, 0);
  EXPECT_TRUE(stillOpen);
  EXPECT_TRUE(editFocused);
  EXPECT_TRUE(masked);
  EXPECT_EQ(title, QStringLiteral("Advance mode"));
  EXPECT_EQ(size, QSize(280, 108));
  EXPECT_EQ(label, QStringLiteral("Password for Advance mode"));
  EXPECT_EQ(editGeometry, QRect(52, 40, 179, 24));
  EXPECT_EQ(window.findChild<QDialog*>(QStringLiteral("PasswordForm")), nullptr);  // destroyed after
}

TEST_F(GuiWindowTest, PasswordDialogOkAndTitleBarClose) {
  std::vector<std::string> typed;
  ModalDriver ok([&](QWidget* modal) {
    if (modal->objectName() != QStringLiteral("PasswordForm")) return false;
    TypeText(Find<QLineEdit>(modal, "Edit1"), QStringLiteral("lanterns"));
    Find<QPushButton>(modal, "Button1")->click();
    return true;
  });
  EXPECT_EQ(window.RunPasswordDialog([&](const std::string& t) {
    typed.push_back(t);
    return true;
  }),
            kModalOk);
  EXPECT_TRUE(ok.done());
  EXPECT_EQ(typed, (std::vector<std::string>{"lanterns"}));

  ModalDriver frame([](QWidget* modal) {
    if (modal->objectName() != QStringLiteral("PasswordForm")) return false;
    modal->close();
    return true;
  });
  EXPECT_EQ(window.RunPasswordDialog([](const std::string&) { return true; }), kModalCancel);
  EXPECT_TRUE(frame.done());
}

TEST_F(GuiWindowTest, HandlerExceptionsShowTheErrorBoxAndTheWindowGoesOn) {
  events.throwOnUpdate = true;
  events.throwOnAbort = true;
  window.SetEnabled(Control::UpdateFwBtn, true);
  window.SetEnabled(Control::AbortBtn, true);

  std::vector<QString> texts;
  auto answer = [&](QWidget* modal) {
    auto* box = qobject_cast<QMessageBox*>(modal);
    if (!box) return false;
    EXPECT_EQ(box->icon(), QMessageBox::Critical);
    EXPECT_EQ(box->windowTitle(), QStringLiteral("Updater for Tessaly"));
    texts.push_back(box->text());
    box->button(QMessageBox::Ok)->click();
    return true;
  };
  ModalDriver first(answer);
  W<QPushButton>("UpdateFwBtn")->click();
  EXPECT_TRUE(first.done());
  ModalDriver second(answer);
  W<QPushButton>("AbortBtn")->click();
  EXPECT_TRUE(second.done());
  ASSERT_EQ(texts.size(), 2u);
  EXPECT_EQ(texts[0], QStringLiteral("Socket error 10061"));
  EXPECT_EQ(texts[1], QString());

  events.throwOnUpdate = false;
  W<QPushButton>("UpdateFwBtn")->click();
  EXPECT_EQ(events.calls["UpdateFwBtnClick"], 2);
}

#ifdef TESSALY_GUI_WITH_SIM
// ---- the real window against the simulated projector ----------------------------------

int Entries(const char* folder) {
  int n = 0;
  if (DIR* d = ::opendir(folder)) {
    while (const dirent* e = ::readdir(d)) n += e->d_name[0] != '.';
    ::closedir(d);
  }
  return n;
}

// What the process holds, less Qt's own thread pool: the toolkit starts pool threads (each
// with its event descriptor) when it needs them and ends them a while after.
struct Held {
  int descriptors = 0;
  int threads = 0;
  bool operator==(const Held&) const = default;
  static Held Now() {
    int pooled = 0;
    int threads = 0;
    if (DIR* d = ::opendir("/proc/self/task")) {
      while (const dirent* e = ::readdir(d)) {
        if (e->d_name[0] == '.') continue;
        ++threads;
        std::FILE* f = std::fopen((std::string("/proc/self/task/") + e->d_name + "/comm").c_str(), "r");
        char name[32] = {};
        if (f && std::fgets(name, sizeof name, f) && std::string(name) == "Thread (pooled)\n") ++pooled;
        if (f) std::fclose(f);
      }
      ::closedir(d);
    }
    return Held{Entries("/proc/self/fd") - pooled, threads - pooled};
  }
};

// Runs the event loop until `done` holds or `seconds` pass, napping while nothing is due.
bool ProcessFor(const std::function<bool()>& done, int seconds) {
  QElapsedTimer clock;
  clock.start();
  while (!done() && !clock.hasExpired(seconds * 1000)) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return done();
}

// A Sub-only update through the real window and the real connection, on a free loopback port.
UpdaterSettings OnSimSettings(std::uint16_t port) {
  UpdaterSettings s;
  s.controlPort = port;
  s.subPacketWaitMs = 20;  // a block lasts about half a second: long enough to act in
  return s;
}

struct WindowOnSim : RealWindow {
  WindowOnSim(std::uint16_t port, const std::string& subPath) : RealWindow(OnSimSettings(port)) {
    updater->Start();
    window->SetText(Control::IpAddrEdit, "127.0.0.1");
    window->SetText(Control::FileEdit, "");
    window->SetText(Control::FileEdit2, subPath);
    window->show();
  }
};

// The window and the core through their faces only: the real exchange with the simulator
// hands over to a Sub stage that writes until it is cancelled.
TEST(GuiOnSimulatorThreaded, CloseWhileWritingAsksAndNoKeepsTheWindow) {
  testing::TempDir dir;
  const std::string subPath = dir.WriteSubImage("sub.brec2", 0x0A, testing::Pattern(100, 5));
  pjsim::SimOptions o;
  o.port = 0;
  auto sim = std::make_unique<pjsim::ProjectorSim>(o);
  ASSERT_TRUE(sim->Start()) << sim->error();
  testing::WritingStage sub;  // outlives the window's updater
  StageRoutines stages;
  stages.SendSubFirmware = sub.Routine();
  RealWindow run(OnSimSettings(sim->port()), stages);
  run.updater->Start();
  run.window->SetText(Control::IpAddrEdit, "127.0.0.1");
  run.window->SetText(Control::FileEdit, "");
  run.window->SetText(Control::FileEdit2, subPath);
  run.window->show();
  Find<QPushButton>(run.window.get(), "UpdateFwBtn")->click();
  ASSERT_TRUE(ProcessFor([&] { return sub.runs.load() == 1; }, 10));

  QString question;
  ModalDriver escape([&](QWidget* modal) {
    auto* box = qobject_cast<QMessageBox*>(modal);
    if (!box) return false;
    question = box->text();
    PressKey(box, Qt::Key_Escape);
    return true;
  });
  EXPECT_FALSE(run.window->close());
  EXPECT_TRUE(escape.done());
  EXPECT_EQ(question.toStdString(), std::string(kCloseQuestion));
  EXPECT_TRUE(run.window->isVisible());
  EXPECT_EQ(sub.cancels.load(), 0);

  // Exit posts WM_CLOSE: the same question, and Yes lets the window go and stops the write.
  ModalDriver yes([&](QWidget* modal) {
    auto* box = qobject_cast<QMessageBox*>(modal);
    if (!box) return false;
    box->button(QMessageBox::Yes)->click();
    return true;
  });
  Find<QAction>(run.window.get(), "Exit1")->trigger();
  EXPECT_TRUE(ProcessUntil([&] { return !run.window->isVisible(); }));
  EXPECT_TRUE(yes.done());
  EXPECT_EQ(sub.cancels.load(), 1);
}

TEST(GuiOnSimulatorThreaded, ClosingTheWindowMidSubTransferStopsCleanlyAndTheNextUpdateSucceeds) {
  testing::TempDir dir;
  const std::vector<std::uint8_t> payload = testing::Pattern(16368 + 1000, 5);
  const std::string subPath = dir.WriteSubImage("sub.brec2", 0x0A, payload);
  auto image = std::make_shared<std::vector<std::uint8_t>>(32 + payload.size(), 0);
  (*image)[9] = 0x0A;
  std::copy(payload.begin(), payload.end(), image->begin() + 32);

  pjsim::SimOptions o;
  o.port = 0;
  o.burn_time = std::chrono::milliseconds(200);
  o.sub_expected_image = image;
  auto sim = std::make_unique<pjsim::ProjectorSim>(o);
  ASSERT_TRUE(sim->Start()) << sim->error();

  const Held before = Held::Now();
  {
    WindowOnSim run(sim->port(), subPath);
    Find<QPushButton>(run.window.get(), "UpdateFwBtn")->click();
    ASSERT_TRUE(ProcessFor([&] { return sim->Snapshot().sub.payload_bytes > 0; }, 10));

    QString question;
    ModalDriver yes([&](QWidget* modal) {
      auto* box = qobject_cast<QMessageBox*>(modal);
      if (!box) return false;
      question = box->text();
      box->button(QMessageBox::Yes)->click();
      return true;
    });
    EXPECT_TRUE(run.window->close());
    EXPECT_TRUE(yes.done());
    EXPECT_EQ(question.toStdString(), std::string(kCloseQuestion));
    QElapsedTimer took;
    took.start();
    run.Close();
    EXPECT_LT(took.elapsed(), 3000) << "the Sub worker must see the stop request at once";
  }
  // The projector sees the stream end in the middle of the block, and nothing is burnt.
  EXPECT_TRUE(
      sim->WaitFor([](const pjsim::Report& r) { return r.ended_connection_count() == 1; }, std::chrono::seconds(5)));
  EXPECT_FALSE(sim->Snapshot().sub.burn_report_sent);
  EXPECT_TRUE(ProcessFor([&] { return Held::Now() == before; }, 5))
      << Held::Now().descriptors << " descriptors (" << before.descriptors << " before), " << Held::Now().threads
      << " threads (" << before.threads << " before)";

  // A new window updates the same projector.
  WindowOnSim next(sim->port(), subPath);
  Find<QPushButton>(next.window.get(), "UpdateFwBtn")->click();
  ASSERT_TRUE(ProcessFor(
      [&] {
        return Probe(next.updater).session().StagesRunning() == 0 &&
               Find<QPushButton>(next.window.get(), "UpdateFwBtn")->isEnabled();
      },
      30));
  ASSERT_FALSE(next.LogTexts().empty());
  EXPECT_EQ(next.LogTexts().back(), QStringLiteral("Updated Sub Firmware has succeeded."));
  EXPECT_TRUE(sim->WaitFor([](const pjsim::Report& r) { return r.sub.intact && r.sub.close_received; },
                           std::chrono::seconds(5)));
  next.Close();
  sim->Stop();
}

// Abort during the restart wait, answered only after the wait has ended: the reconnection
// waited for the answer, and after Yes the projector sees no second connection.
TEST(GuiOnSimulatorThreaded, AbortQuestionOpenAcrossTheRestartWaitHoldsTheReconnection) {
  pjsim::SimOptions o;
  o.listen_address = "127.0.0.1";
  o.port = 0;
  pjsim::ControlService sim(o);
  ASSERT_TRUE(sim.Start()) << sim.error();
  testing::TempDir dir;
  const std::string mainPath = dir.Write("main.bin", std::vector<std::uint8_t>(1000, 0x42));
  const std::string subPath = dir.WriteSubImage("sub.brec2", 0x0A, std::vector<std::uint8_t>(100, 3));

  UpdaterSettings s;
  s.controlPort = sim.port();
  s.restartWaitMs = 300;
  // The Main stage ends only once the box is open, so the whole restart wait falls inside
  // it, however loaded the machine is.
  testing::GatedMainStage gate;  // outlives the window's updater
  StageRoutines stages;
  stages.UpdateMainFirmware = [&gate](StageContext context, std::function<void(StageEnd)> done) {
    context.firmwareBeingWritten();  // as a Main stage serving its image leaves it
    return gate.Routine()(std::move(context), std::move(done));
  };
  RealWindow run(s, stages);
  Updater* updater = run.updater.get();
  updater->Start();
  run.window->SetText(Control::IpAddrEdit, "127.0.0.1");
  run.window->SetText(Control::FileEdit, mainPath);
  run.window->SetText(Control::FileEdit2, subPath);
  run.window->show();
  Find<QPushButton>(run.window.get(), "UpdateFwBtn")->click();
  auto logged = [&](const char* line) {
    const std::vector<QString> all = run.LogTexts();
    return std::find(all.begin(), all.end(), QString::fromLatin1(line)) != all.end();
  };
  ASSERT_TRUE(ProcessFor([&] { return gate.runs.load() == 1; }, 10));

  bool waitEnded = false;
  ModalDriver yes(
      [&](QWidget* modal) {
        auto* box = qobject_cast<QMessageBox*>(modal);
        if (!box) return false;
        // The box's loop runs on: the Main stage ends, then the restart wait after it.
        gate.Open(StageEnd::Succeeded);
        waitEnded = ProcessFor(
            [&] {
              return logged("Waiting projector restart, and update Sub firmware ...") &&
                     Probe(updater).session().StagesRunning() == 0;
            },
            10);
        QElapsedTimer more;
        more.start();
        while (!more.hasExpired(200)) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        box->button(QMessageBox::Yes)->click();
        return true;
      },
      10000);
  Find<QPushButton>(run.window.get(), "AbortBtn")->click();
  EXPECT_TRUE(yes.done());
  EXPECT_TRUE(waitEnded);
  QElapsedTimer after;
  after.start();
  while (!after.hasExpired(300)) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  EXPECT_EQ(sim.connection_count(), 1) << "the projector was switched again";
  ASSERT_FALSE(run.LogTexts().empty());
  EXPECT_EQ(run.LogTexts().back(), QStringLiteral("User abort update....."));
  EXPECT_TRUE(Find<QPushButton>(run.window.get(), "UpdateFwBtn")->isEnabled());
  run.Close();
  sim.Stop();
}
#endif

}  // namespace
}  // namespace tessaly::gui

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  ::testing::InitGoogleTest(&argc, argv);
  QApplication app(argc, argv);
  // Closing a test's window must not end the event loops of the tests after it.
  QApplication::setQuitOnLastWindowClosed(false);
  return RUN_ALL_TESTS();
}
