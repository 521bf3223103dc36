#include "gui/password_form.h"

#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "app/view.h"
#include "gui/sorvi_window.h"

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

  passwordEdit_ = new QLineEdit(this);
  passwordEdit_->setObjectName(QStringLiteral("Edit1"));
  passwordEdit_->setGeometry(52, 40, 179, 24);
  passwordEdit_->clear();
  passwordEdit_->setEchoMode(QLineEdit::Password);
  // One "*" per typed character, whatever the style's own mask character is.
  passwordEdit_->setStyleSheet(QStringLiteral("lineedit-password-character: 42"));

  okButton_ = new QPushButton(QStringLiteral("OK"), this);
  okButton_->setObjectName(QStringLiteral("Button1"));
  okButton_->setGeometry(60, 72, 75, 25);
  button2_ = new QPushButton(QStringLiteral("Cancel"), this);
  button2_->setObjectName(QStringLiteral("Button2"));
  button2_->setGeometry(150, 72, 75, 25);
  // Neither button answers Enter: the operator has to press OK.
  for (QPushButton* b : {okButton_, button2_}) {
    b->setAutoDefault(false);
    b->setDefault(false);
  }

  connect(okButton_, &QPushButton::clicked, this, [this] { OkClick(); });
  connect(button2_, &QPushButton::clicked, this, [this] { done(kModalCancel); });

  setTabOrder(passwordEdit_, okButton_);
  setTabOrder(okButton_, button2_);
  passwordEdit_->setFocus(Qt::OtherFocusReason);
}

void TPasswordForm::OkClick() {
  Guarded(this, [this] {
    if (ok_ && ok_(passwordEdit_->text().toStdString())) done(kModalOk);
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
    default: QDialog::keyPressEvent(e);
  }
}

}  // namespace tessaly::gui
