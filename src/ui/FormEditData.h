// The entry dialog: creates a new proxy entry or changes an existing one, with the protection
// of its upstream connection (none, STARTTLS or TLS; a CA file; a certificate fingerprint).
// With XOAUTH2 the password gives way to a provider, the client registration and a browser
// sign-in that gets the refresh token. A connection test tries the values as they stand.
// OK is enabled only while the fields are valid; OK saves the entry to the settings file first,
// then updates the list and the grid through the main window. No messages: invalid input keeps
// OK disabled (and for XOAUTH2 without TLS a line in the dialog says why).
//
// User-interface thread only; modal over the main window.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "SettingsDialog.h"

#include "config/Proxydata.h"

namespace Ui {
class TFrmEditData;
}
class QKeyEvent;
class OAuthSignIn;
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
    // The entry as the fields hold it now, on top of WorkEntry (its number, its refresh token).
    ProxyData FieldsEntry() const;

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
    // XOAUTH2 chosen by the user: an entry without endpoints gets a provider's.
    void ComboBoxMethodActivated(int method);
    // A named provider fills the endpoints and the scope.
    void ComboBoxProviderActivated(int provider);
    // Starts the browser sign-in, or cancels the one under way.
    void ButtonSignInClick();
    // Opens a connection test window with the values in the fields.
    void ButtonTestClick();
    void ButtonOKClick();
    void ButtonCancelClick();

    // The dialog's working copy of the entry.
    ProxyData WorkEntry;

    // A sign-in still under way ends with the dialog.
    void done(int result) override;

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    // Shows the password or the OAuth fields for the chosen method, and sizes the dialog.
    void ArrangeMethodFields();
    // The sign-in line, the sign-in and test buttons.
    void ShowOAuthState();
    void SignInFinished(bool ok, const QString& message, const std::string& refreshToken);

    std::unique_ptr<Ui::TFrmEditData> ui;
    TFormMain* FormMain;
    OAuthSignIn* SignIn;
    QString SignInMessage;     // the last word of a sign-in in this opening
    std::string LoadedRefresh; // the refresh token as the opening read it
    std::string RefreshOwner;  // the token URL and client id that the refresh token is for
    std::string SignInOwner;   // the same for the sign-in under way
};
