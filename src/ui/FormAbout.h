// The about box: the program's icon, name and version. OK is the default button.
//
// User-interface thread only; modal, centred on the screen.
#pragma once

#include <memory>

#include <QDialog>

namespace Ui {
class TAboutBox;
}

class TAboutBox : public QDialog {
    Q_OBJECT

  public:
    explicit TAboutBox(QWidget* parent);
    ~TAboutBox() override;

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    std::unique_ptr<Ui::TAboutBox> ui;
};
