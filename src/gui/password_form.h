#pragma once
// The "Advance mode" password dialog. A fresh one is made for every request.

#include <QDialog>

#include <functional>
#include <string>

class QLabel;
class QLineEdit;
class QPushButton;

namespace tessaly::gui {

class TPasswordForm : public QDialog {
  Q_OBJECT

 public:
  // `ok` runs on each press of OK with the typed text; true closes with kModalOk.
  explicit TPasswordForm(std::function<bool(const std::string&)> ok, QWidget* parent = nullptr);

  // Cancel and the title-bar close both end the dialog with kModalCancel.
  void reject() override;

 protected:
  void keyPressEvent(QKeyEvent* e) override;

 private:
  void OkClick();

  std::function<bool(const std::string&)> ok_;
  QLabel* staticText1_ = nullptr;
  QLineEdit* passwordEdit_ = nullptr;
  QPushButton* okButton_ = nullptr;
  QPushButton* button2_ = nullptr;
};

}  // namespace tessaly::gui
