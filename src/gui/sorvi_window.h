#pragma once
// The main window in Qt Widgets: every control of the design table as a real widget,
// driven through tessaly::View and reporting the operator's actions to ViewEvents.

#include <QFont>
#include <QMainWindow>
#include <QString>

#include <array>
#include <cstdint>
#include <exception>
#include <functional>
#include <string>

#include "app/view.h"

class QAction;
class QCheckBox;
class QComboBox;
class QLineEdit;
class QProgressBar;
class QTextEdit;

namespace tessaly::gui {

// The font of the window, its controls and its dialogs.
QFont ControlFont();

// The toolkit's error box: critical icon, captioned with the application title.
void ShowErrorBox(QWidget* parent, const QString& text);

// Runs `f`; an exception it throws is shown in the error box and the program goes on.
// Returns false when `f` threw.
template <typename F>
bool Guarded(QWidget* parent, F&& f) {
  try {
    f();
    return true;
  } catch (const std::exception& e) {
    ShowErrorBox(parent, QString::fromStdString(e.what()));
  } catch (...) {
    ShowErrorBox(parent, QString());
  }
  return false;
}

class SorviWindow : public QMainWindow, public View {
  Q_OBJECT

 public:
  explicit SorviWindow(QWidget* parent = nullptr);
  ~SorviWindow() override;

  void SetEvents(ViewEvents* events) { events_ = events; }
  // The outer height last asked for with SetOuterHeight.
  int outerHeight() const { return outerHeight_; }

  void SetCaption(const std::string& caption) override;
  void SetText(Control c, const std::string& text) override;
  std::string Text(Control c) const override;
  void SetVisible(Control c, bool visible) override;
  void SetEnabled(Control c, bool enabled) override;
  void SetTop(Control c, int top) override;
  void SetOuterHeight(int height) override;
  void SetPosition(Control c, int position) override;
  void ClearItems(Control c) override;
  void AddItem(Control c, const std::string& item) override;
  void SetItemIndex(Control c, int index) override;
  int ItemIndex(Control c) const override;
  bool Checked(Control c) const override;
  void SetChecked(Control c, bool checked) override;
  void AppendLogLine(const std::string& text, LogColour colour) override;
  Answer AskConfirm(const std::string& text) override;
  void ShowMessage(const std::string& text) override;
  int RunPasswordDialog(const std::function<bool(const std::string&)>& ok) override;
  void Post(std::function<void()> work) override;
  void PostWindowMessage(std::uint32_t msg) override;
  bool OnViewThread() const override;
  void ProcessEvents() override;

 protected:
  bool event(QEvent* e) override;
  bool eventFilter(QObject* watched, QEvent* e) override;
  void closeEvent(QCloseEvent* e) override;
  void showEvent(QShowEvent* e) override;

 private:
  static constexpr std::size_t kControlCount = static_cast<std::size_t>(Control::NormalModeItem) + 1;

  void CreateControls();
  void CreateMenu();
  void Connect();
  // Calls a handler of the window logic, if one is set, through the error guard.
  void Raise(void (ViewEvents::*handler)());
  void FitLabel(Control c);
  void ApplyOuterHeight();
  QWidget* Widget(Control c) const { return widgets_[static_cast<std::size_t>(c)]; }
  QAction* Action(Control c) const { return actions_[static_cast<std::size_t>(c)]; }
  // The parent for a box: the topmost modal dialog, else this window.
  QWidget* BoxParent();

  ViewEvents* events_ = nullptr;
  std::array<QWidget*, kControlCount> widgets_{};
  std::array<QAction*, kControlCount> actions_{};
  QCheckBox* upfwBox_ = nullptr;
  QComboBox* adapterBox_ = nullptr;
  QProgressBar* progressBar_ = nullptr;
  QTextEdit* msgEdit_ = nullptr;
  QLineEdit* fileEdit_ = nullptr;
  QLineEdit* fileEdit2_ = nullptr;
  bool logEmpty_ = false;  // the log holds no line, not even an empty one
  int outerHeight_ = 0;
  bool placed_ = false;
  bool frameApplied_ = false;
};

}  // namespace tessaly::gui
