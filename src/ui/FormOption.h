// The options dialog: the address and port on which the proxy listens for mail clients, and
// whether the program starts at login. OK saves them and restarts the listener there (also when
// nothing changed); a listener that cannot be opened shows the main window's status-bar message.
//
// User-interface thread only; modal over the main window. The restart waits for the listener
// thread on this thread.
#pragma once

#include <memory>

#include "SettingsDialog.h"

namespace Ui {
class TFrmOption;
}
class QKeyEvent;
class TFormMain;

class TFrmOption : public SettingsDialog {
    Q_OBJECT

  public:
    explicit TFrmOption(TFormMain* formMain);
    ~TFrmOption() override;

    bool CheckFields() const;
    void StoreSettings();
    // Writes or removes the autostart entry for the settings file in use, as the box says.
    void StoreAutostart();

    void FormShow() override;
    void EditPortChange();
    void EditAddressChange();
    // Give true when the typed character is dropped before it reaches the field.
    bool EditPortKeyPress(QEvent* event);
    bool EditAddressKeyPress(QEvent* event);
    // An address that other machines can reach is saved only after the user confirms it: the
    // proxy would let them send mail with the stored accounts. Gives true to go on.
    bool ConfirmAddress();
    void ButtonOKClick();
    void ButtonCancelClick();

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    std::unique_ptr<Ui::TFrmOption> ui;
    TFormMain* FormMain;
};
