#include "gui/password_form.h"

#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "gui/sorvi_window.h"
#include "app/view.h"

namespace tessaly::gui {

TPasswordForm::TPasswordForm(std::function<bool(const std::string&)> ok, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint),
      ok_(std::move(ok)) {
  setObjectName(QStringLiteral("PasswordForm"));
  setWindowTitle(QStringLiteral("Advance mode"));
  setFont(ControlFont());
  setModal(true);
  setFixedSize(280, 108);

  staticText1_ = new QLabel(QStringLiteral("Password for Advance mode"), this);
  staticText1_->setObjectName(QStringLiteral("StaticText1"));
  staticText1_->setTextFormat(Qt::PlainText);
  staticText1_->setGeometry(52, 14, 177, 20);

  edit1_ = new QLineEdit(this);
  edit1_->setObjectName(QStringLiteral("Edit1"));
  edit1_->setGeometry(52, 40, 179, 24);
  edit1_->clear();
  edit1_->setEchoMode(QLineEdit::Password);
  // One "*" per typed character, whatever the style's own mask character is.
  edit1_->setStyleSheet(QStringLiteral("lineedit-password-character: 42"));

  button1_ = new QPushButton(QStringLiteral("OK"), this);
  button1_->setObjectName(QStringLiteral("Button1"));
  button1_->setGeometry(60, 72, 75, 25);
  button2_ = new QPushButton(QStringLiteral("Cancel"), this);
  button2_->setObjectName(QStringLiteral("Button2"));
  button2_->setGeometry(150, 72, 75, 25);
  // Neither button answers Enter: the operator has to press OK.
  for (QPushButton* b : {button1_, button2_}) {
    b->setAutoDefault(false);
    b->setDefault(false);
  }

  connect(button1_, &QPushButton::clicked, this, [this] { Button1Click(); });
  connect(button2_, &QPushButton::clicked, this, [this] { done(kModalCancel); });

  setTabOrder(edit1_, button1_);
  setTabOrder(button1_, button2_);
  edit1_->setFocus(Qt::OtherFocusReason);
}

void TPasswordForm::Button1Click() {
  Guarded(this, [this] {
    if (ok_ && ok_(edit1_->text().toStdString())) done(kModalOk);
  });
}

void TPasswordForm::reject() { done(kModalCancel); }

void TPasswordForm::keyPressEvent(QKeyEvent* e) {
  switch (e->key()) {
    case Qt::Key_Escape:
    case Qt::Key_Enter:
    case Qt::Key_Return:
      e->accept();  // no default or cancel button here
      return;
    default:
      QDialog::keyPressEvent(e);
  }
}

}  // namespace tessaly::gui
