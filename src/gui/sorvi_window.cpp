#include "gui/sorvi_window.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QEvent>
#include <QFrame>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QMetaObject>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCharFormat>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextEdit>
#include <QThread>
#include <QWindow>

#include <algorithm>
#include <utility>

#include "app/control_design.h"
#include "app/sorvi_form.h"
#include "gui/password_form.h"

namespace tessaly::gui {

namespace {

constexpr std::uint32_t kWmClose = 16;

// A window message carried through the event queue, as PostMessage would.
class WindowMessageEvent final : public QEvent {
 public:
  explicit WindowMessageEvent(std::uint32_t msg) : QEvent(Kind()), msg_(msg) {}
  std::uint32_t msg() const { return msg_; }
  static QEvent::Type Kind() {
    static const auto kind = static_cast<QEvent::Type>(QEvent::registerEventType());
    return kind;
  }

 private:
  std::uint32_t msg_;
};

// The confirmation box, telling the title-bar close apart from the No answer that
// Escape gives.
class ConfirmBox final : public QMessageBox {
 public:
  using QMessageBox::QMessageBox;
  bool closedByFrame() const { return closedByFrame_; }

 protected:
  void closeEvent(QCloseEvent* e) override {
    QMessageBox::closeEvent(e);
    if (e->isAccepted()) closedByFrame_ = true;
  }

 private:
  bool closedByFrame_ = false;
};

QString Q(const std::string& s) { return QString::fromStdString(s); }

QColor ToQColor(LogColour colour) {
  const auto v = static_cast<std::uint32_t>(colour);
  return QColor(static_cast<int>(v & 0xFFu), static_cast<int>((v >> 8) & 0xFFu), static_cast<int>((v >> 16) & 0xFFu));
}

}  // namespace

QFont ControlFont() {
  QFont font(QStringLiteral("MS Sans Serif"));
  // The layout was drawn for a narrow sans: prefer the common fonts of Arial's widths
  // before the desktop's sans, which may be too wide for the captions.
  font.setFamilies({QStringLiteral("MS Sans Serif"), QStringLiteral("Arial"), QStringLiteral("Liberation Sans"),
                    QStringLiteral("Arimo"), QStringLiteral("Nimbus Sans"), QStringLiteral("Helvetica")});
  font.setStyleHint(QFont::SansSerif);
  font.setPixelSize(13);
  return font;
}

void ShowErrorBox(QWidget* parent, const QString& text) {
  QMessageBox box(QMessageBox::Critical, QString::fromLatin1(tessaly::kAppTitle), text, QMessageBox::Ok, parent);
  box.setTextFormat(Qt::PlainText);
  box.exec();
}

SorviWindow::SorviWindow(QWidget* parent)
    : QMainWindow(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                              Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint) {
  setObjectName(QStringLiteral("SorviForm"));
  setFont(ControlFont());
  CreateMenu();
  CreateControls();
  Connect();
  setFixedWidth(kClientWidth);
  SetOuterHeight(kClientHeight);
}

SorviWindow::~SorviWindow() = default;

void SorviWindow::CreateMenu() {
  QMenuBar* bar = menuBar();
  bar->setFont(ControlFont());
  auto addMenu = [&](Control c) {
    QMenu* menu = bar->addMenu(Q(DesignOf(c).caption));
    menu->setObjectName(QString::fromLatin1(ControlName(c)));
    menu->setFont(ControlFont());
    menu->menuAction()->setObjectName(QString::fromLatin1(ControlName(c)));
    actions_[static_cast<std::size_t>(c)] = menu->menuAction();
    return menu;
  };
  auto addItem = [&](QMenu* menu, Control c) {
    const ControlDesign& d = DesignOf(c);
    QAction* action = menu->addAction(Q(d.caption));
    action->setObjectName(QString::fromLatin1(ControlName(c)));
    action->setVisible(d.visible);
    action->setEnabled(d.enabled);
    actions_[static_cast<std::size_t>(c)] = action;
  };
  QMenu* file = addMenu(Control::FileMenu);
  addItem(file, Control::ExitItem);
  QMenu* settings = addMenu(Control::SettingsMenu);
  addItem(settings, Control::AdvanceModeItem);
  addItem(settings, Control::NormalModeItem);
}

void SorviWindow::CreateControls() {
  auto* central = new QWidget(this);
  central->setObjectName(QStringLiteral("ClientArea"));
  setCentralWidget(central);

  auto* panel = new QFrame(central);
  panel->setFrameStyle(QFrame::Panel | QFrame::Raised);
  panel->setLineWidth(1);

  for (const ControlDesign& d : kControlDesign) {
    QWidget* parentWidget = central;
    switch (d.control) {
      case Control::UpdateFwBtn:
      case Control::AbortBtn:
      case Control::UpdateProgBar:
      case Control::PercentText:
      case Control::MessageLabel:
      case Control::MsgEdit: parentWidget = panel; break;
      default: break;
    }
    QWidget* w = nullptr;
    switch (d.control) {
      case Control::PjAddrText:
      case Control::AdapterLabel:
      case Control::PercentText:
      case Control::MessageLabel: {
        auto* label = new QLabel(Q(d.caption), parentWidget);
        label->setTextFormat(Qt::PlainText);
        label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
        w = label;
        break;
      }
      case Control::IpAddrEdit:
      case Control::FileEdit:
      case Control::FileEdit2:
      case Control::MacAddrEdit: {
        auto* edit = new QLineEdit(Q(d.caption), parentWidget);
        if (d.control == Control::FileEdit) fileEdit_ = edit;
        if (d.control == Control::FileEdit2) fileEdit2_ = edit;
        w = edit;
        break;
      }
      case Control::UpfwBox:
        upfwBox_ = new QCheckBox(Q(d.caption), parentWidget);
        w = upfwBox_;
        break;
      case Control::AdapterBox:
        adapterBox_ = new QComboBox(parentWidget);
        adapterBox_->setEditable(false);
        w = adapterBox_;
        break;
      case Control::UpdatePanel: w = panel; break;
      case Control::UpdateFwBtn:
      case Control::AbortBtn:
      case Control::SearchFwBtn:
      case Control::ConnectBtn: {
        auto* button = new QPushButton(Q(d.caption), parentWidget);
        button->setAutoDefault(false);
        w = button;
        break;
      }
      case Control::UpdateProgBar:
        progressBar_ = new QProgressBar(parentWidget);
        progressBar_->setRange(0, 100);
        progressBar_->setValue(0);
        progressBar_->setTextVisible(false);  // PercentText shows the number
        w = progressBar_;
        break;
      case Control::MsgEdit:
        msgEdit_ = new QTextEdit(parentWidget);
        msgEdit_->setReadOnly(true);
        msgEdit_->setAcceptRichText(false);
        msgEdit_->setUndoRedoEnabled(false);  // a long log would otherwise keep every insert
        msgEdit_->setFocusPolicy(Qt::ClickFocus);
        msgEdit_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
        msgEdit_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        msgEdit_->setLineWrapMode(QTextEdit::NoWrap);
        msgEdit_->setPlainText(Q(d.caption));
        logEmpty_ = msgEdit_->document()->isEmpty();
        w = msgEdit_;
        break;
      case Control::FileMenu:
      case Control::ExitItem:
      case Control::SettingsMenu:
      case Control::AdvanceModeItem:
      case Control::NormalModeItem: continue;  // menu items
    }
    w->setObjectName(QString::fromLatin1(ControlName(d.control)));
    w->setFont(ControlFont());
    w->setGeometry(d.left, d.top, d.width, d.height);
    w->setEnabled(d.enabled);
    w->setVisible(d.visible);
    widgets_[static_cast<std::size_t>(d.control)] = w;
    if (qobject_cast<QLabel*>(w)) FitLabel(d.control);
  }
}

void SorviWindow::Connect() {
  connect(upfwBox_, &QCheckBox::toggled, this, [this] { Raise(&ViewEvents::UpfwBoxClick); });
  connect(fileEdit_, &QLineEdit::textChanged, this, [this] { Raise(&ViewEvents::FileEditChange); });
  connect(fileEdit2_, &QLineEdit::textChanged, this, [this] { Raise(&ViewEvents::FileEdit2Change); });

  const std::pair<Control, void (ViewEvents::*)()> buttons[] = {
      {Control::UpdateFwBtn, &ViewEvents::UpdateFwBtnClick},
      {Control::AbortBtn, &ViewEvents::AbortBtnClick},
      {Control::SearchFwBtn, &ViewEvents::SearchFwBtnClick},
      {Control::ConnectBtn, &ViewEvents::ConnectBtnClick},
  };
  for (const auto& [control, handler] : buttons) {
    auto* button = static_cast<QPushButton*>(Widget(control));
    connect(button, &QPushButton::clicked, this, [this, h = handler] { Raise(h); });
  }
  const std::pair<Control, void (ViewEvents::*)()> items[] = {
      {Control::ExitItem, &ViewEvents::ExitItemClick},
      {Control::AdvanceModeItem, &ViewEvents::AdvanceModeItemClick},
      {Control::NormalModeItem, &ViewEvents::NormalModeItemClick},
  };
  for (const auto& [control, handler] : items) {
    connect(Action(control), &QAction::triggered, this, [this, h = handler] { Raise(h); });
  }
}

void SorviWindow::Raise(void (ViewEvents::*handler)()) {
  if (!events_) return;
  Guarded(this, [this, handler] { (events_->*handler)(); });
}

// Static texts size themselves to their caption, so a longer text is not cut.
void SorviWindow::FitLabel(Control c) {
  auto* label = qobject_cast<QLabel*>(Widget(c));
  if (!label) return;
  label->resize(std::max(DesignOf(c).width, label->sizeHint().width()), label->height());
}

QWidget* SorviWindow::BoxParent() {
  QWidget* modal = QApplication::activeModalWidget();
  return modal ? modal : this;
}

void SorviWindow::SetCaption(const std::string& caption) { setWindowTitle(Q(caption)); }

void SorviWindow::SetText(Control c, const std::string& text) {
  const QString q = Q(text);
  if (QAction* action = Action(c)) {
    if (action->menu()) {
      action->menu()->setTitle(q);
    } else {
      action->setText(q);
    }
    return;
  }
  QWidget* w = Widget(c);
  if (c == Control::MsgEdit) {
    if (q.isEmpty()) {
      msgEdit_->clear();
    } else {
      msgEdit_->setPlainText(q);
    }
    logEmpty_ = q.isEmpty();
  } else if (auto* label = qobject_cast<QLabel*>(w)) {
    label->setText(q);
    FitLabel(c);
  } else if (auto* edit = qobject_cast<QLineEdit*>(w)) {
    if (edit->text() != q) edit->setText(q);  // textChanged runs the change handler
  } else if (auto* button = qobject_cast<QAbstractButton*>(w)) {
    button->setText(q);
  } else if (auto* combo = qobject_cast<QComboBox*>(w)) {
    combo->setCurrentIndex(combo->findText(q));
  }
}

std::string SorviWindow::Text(Control c) const {
  if (QAction* action = Action(c)) {
    return (action->menu() ? action->menu()->title() : action->text()).toStdString();
  }
  QWidget* w = Widget(c);
  if (c == Control::MsgEdit) return msgEdit_->toPlainText().toStdString();
  if (auto* label = qobject_cast<QLabel*>(w)) return label->text().toStdString();
  if (auto* edit = qobject_cast<QLineEdit*>(w)) return edit->text().toStdString();
  if (auto* button = qobject_cast<QAbstractButton*>(w)) return button->text().toStdString();
  if (auto* combo = qobject_cast<QComboBox*>(w)) return combo->currentText().toStdString();
  return {};
}

void SorviWindow::SetVisible(Control c, bool visible) {
  if (QAction* action = Action(c)) {
    action->setVisible(visible);
  } else if (QWidget* w = Widget(c)) {
    w->setVisible(visible);
  }
}

void SorviWindow::SetEnabled(Control c, bool enabled) {
  if (QAction* action = Action(c)) {
    action->setEnabled(enabled);
  } else if (QWidget* w = Widget(c)) {
    w->setEnabled(enabled);
  }
}

void SorviWindow::SetTop(Control c, int top) {
  if (QWidget* w = Widget(c)) w->move(w->x(), top);
}

void SorviWindow::SetOuterHeight(int height) {
  outerHeight_ = height;
  ApplyOuterHeight();
}

void SorviWindow::ApplyOuterHeight() {
  int frame = 0;
  if (isVisible()) frame = std::max(0, frameGeometry().height() - geometry().height());
  setFixedHeight(std::max(0, outerHeight_ - frame));
}

void SorviWindow::SetPosition(Control c, int position) {
  if (c != Control::UpdateProgBar) return;
  // Out-of-range positions stop at the ends, as the native bar does.
  progressBar_->setValue(std::clamp(position, progressBar_->minimum(), progressBar_->maximum()));
}

void SorviWindow::ClearItems(Control c) {
  if (c == Control::AdapterBox) adapterBox_->clear();
}

void SorviWindow::AddItem(Control c, const std::string& item) {
  if (c != Control::AdapterBox) return;
  // Adding keeps the selection; Qt would otherwise select the first item added.
  const int index = adapterBox_->currentIndex();
  adapterBox_->addItem(Q(item));
  adapterBox_->setCurrentIndex(index);
}

void SorviWindow::SetItemIndex(Control c, int index) {
  if (c != Control::AdapterBox) return;
  adapterBox_->setCurrentIndex(index >= 0 && index < adapterBox_->count() ? index : -1);
}

int SorviWindow::ItemIndex(Control c) const { return c == Control::AdapterBox ? adapterBox_->currentIndex() : -1; }

bool SorviWindow::Checked(Control c) const { return c == Control::UpfwBox && upfwBox_->isChecked(); }

void SorviWindow::SetChecked(Control c, bool checked) {
  // toggled runs the click handler, only when the state changes.
  if (c == Control::UpfwBox) upfwBox_->setChecked(checked);
}

void SorviWindow::AppendLogLine(const std::string& text, LogColour colour) {
  QTextCharFormat format;
  format.setForeground(ToQColor(colour));
  QTextCursor cursor(msgEdit_->document());
  cursor.movePosition(QTextCursor::End);
  cursor.beginEditBlock();
  if (!logEmpty_) cursor.insertBlock();
  cursor.insertText(Q(text), format);
  cursor.endEditBlock();
  logEmpty_ = false;

  // Show the newest line from its start, wherever the operator had scrolled to.
  QTextCursor shown(msgEdit_->document());
  shown.movePosition(QTextCursor::End);
  shown.movePosition(QTextCursor::StartOfBlock);
  msgEdit_->setTextCursor(shown);
  msgEdit_->ensureCursorVisible();  // lays the document out up to the new line
  msgEdit_->verticalScrollBar()->setValue(msgEdit_->verticalScrollBar()->maximum());
  msgEdit_->horizontalScrollBar()->setValue(0);
}

Answer SorviWindow::AskConfirm(const std::string& text) {
  ConfirmBox box(QMessageBox::Question, QStringLiteral("Confirm"), Q(text), QMessageBox::Yes | QMessageBox::No,
                 BoxParent());
  box.setTextFormat(Qt::PlainText);
  box.button(QMessageBox::Yes)->setText(QStringLiteral("&Yes"));
  box.button(QMessageBox::No)->setText(QStringLiteral("&No"));
  box.setDefaultButton(QMessageBox::Yes);
  box.setEscapeButton(QMessageBox::No);
  box.exec();
  if (box.closedByFrame()) return Answer::Closed;
  return box.clickedButton() == box.button(QMessageBox::Yes) ? Answer::Yes : Answer::No;
}

void SorviWindow::ShowMessage(const std::string& text) {
  QMessageBox box(QMessageBox::NoIcon, QString::fromLatin1(tessaly::kAppTitle), Q(text), QMessageBox::Ok, BoxParent());
  box.setTextFormat(Qt::PlainText);
  box.exec();
}

int SorviWindow::RunPasswordDialog(const std::function<bool(const std::string&)>& ok) {
  TPasswordForm form(ok, this);
  return form.exec();
}

void SorviWindow::Post(std::function<void()> work) {
  QMetaObject::invokeMethod(
      this, [this, work = std::move(work)] { Guarded(this, work); }, Qt::QueuedConnection);
}

void SorviWindow::PostWindowMessage(std::uint32_t msg) {
  QCoreApplication::postEvent(this, new WindowMessageEvent(msg));
}

bool SorviWindow::OnViewThread() const { return QThread::currentThread() == thread(); }

void SorviWindow::ProcessEvents() { QCoreApplication::processEvents(); }

bool SorviWindow::event(QEvent* e) {
  if (e->type() == WindowMessageEvent::Kind()) {
    const std::uint32_t msg = static_cast<WindowMessageEvent*>(e)->msg();
    if (msg == kWmClose) {
      close();  // the same road as the title-bar close button
    } else if (events_) {
      Guarded(this, [this, msg] { events_->WindowMessage(msg); });
    }
    return true;
  }
  return QMainWindow::event(e);
}

void SorviWindow::closeEvent(QCloseEvent* e) {
  if (!events_) {
    e->accept();
    return;
  }
  bool closing = false;
  // A handler that throws keeps the window open, its error shown.
  Guarded(this, [&] {
    if (!events_->CloseQuery()) return;
    events_->FormClose();
    closing = true;
  });
  if (closing) {
    e->accept();
  } else {
    e->ignore();
  }
}

void SorviWindow::showEvent(QShowEvent* e) {
  QMainWindow::showEvent(e);
  if (placed_) return;
  placed_ = true;
  if (QScreen* s = screen()) {
    const QRect area = s->availableGeometry();
    const QRect outer = frameGeometry();
    move(area.x() + (area.width() - outer.width()) / 2, area.y() + (area.height() - outer.height()) / 2);
  }
  // The window manager's frame is known only once the window is on screen.
  if (QWindow* handle = windowHandle()) handle->installEventFilter(this);
}

bool SorviWindow::eventFilter(QObject* watched, QEvent* e) {
  if (!frameApplied_ && watched == windowHandle() && e->type() == QEvent::Expose && isVisible()) {
    frameApplied_ = true;
    watched->removeEventFilter(this);
    if (frameGeometry().height() != geometry().height()) ApplyOuterHeight();
  }
  return QMainWindow::eventFilter(watched, e);
}

}  // namespace tessaly::gui
