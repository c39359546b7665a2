// The entry dialog: creates a new proxy entry or changes an existing one, with the protection
// of its upstream connection (none, STARTTLS or TLS; a CA file; a certificate fingerprint).
// OK is enabled only while the fields are valid; OK saves the entry to the settings file first,
// then updates the list and the grid through the main window. No messages: invalid input keeps
// OK disabled.
//
// User-interface thread only; modal over the main window.
#pragma once

#include <cstdint>
#include <memory>

#include "SettingsDialog.h"

#include "config/Proxydata.h"

namespace Ui {
class TFrmEditData;
}
class QKeyEvent;
class QLineEdit;
class TFormMain;

class TFrmEditData : public SettingsDialog {
    Q_OBJECT

  public:
    explicit TFrmEditData(TFormMain* formMain);
    ~TFrmEditData() override;

    // Each opens the dialog modally and returns when it is closed.
    void EditNew();
    void EditExisting(std::int32_t i);

    void FillFields();
    bool CheckFields() const;
    void StoreFields();

    void FormShow() override;
    void EditChange();
    void EditExit();
    // Give true when the typed character is dropped before it reaches the field.
    bool EditDomainKeyPress(QLineEdit* edit, QEvent* event);
    bool EditPortKeyPress(QEvent* event);
    bool EditFingerprintKeyPress(QEvent* event);
    // Typing a TLS mode's usual port switches between the two TLS modes.
    void EditPortEdited(const QString& text);
    // Chooses the CA file with a file dialog.
    void ButtonCAFileClick();
    void ButtonOKClick();
    void ButtonCancelClick();

    // The dialog's working copy of the entry.
    ProxyData WorkEntry;

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    std::unique_ptr<Ui::TFrmEditData> ui;
    TFormMain* FormMain;
};
