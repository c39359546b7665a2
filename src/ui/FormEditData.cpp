#include "FormEditData.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QKeyEvent>

#include "AppSetup.h"
#include "FieldRules.h"
#include "FormConnectionTest.h"
#include "FormMain.h"
#include "KeyringStore.h"
#include "Limits.h"
#include "OAuthPresets.h"
#include "OAuthSignIn.h"
#include "config/Inifile.h"
#include "ui_FormEditData.h"

namespace {

// The usual ports of the two TLS modes (RFC 8314): implicit TLS, and submission with STARTTLS.
constexpr const char* kImplicitTlsPort = "465";
constexpr const char* kSubmissionPort = "587";

// The provider list's last item: endpoints typed by hand.
constexpr int kOtherProvider = kOAuthPresetCount;
// A secret must fit the settings value as Base64.
constexpr std::size_t kClientSecretMax = limits::kOAuthValueMax / 4 * 3;

// Rows of the dialog below the fingerprint, in pixels: where the OAuth fields start, their
// parts, and the gaps around the buttons.
constexpr int kBelowFingerprint = 285;
constexpr int kClientRows = 60;
constexpr int kUrlRows = 90;
constexpr int kSignInRows = 60;
constexpr int kTestToOk = 34;
constexpr int kOkToBottom = 42;

std::string Text(const QLineEdit* edit) {
    return edit->text().toStdString();
}

// What a refresh token is good for: the endpoint that gave it, for that client.
std::string TokenOwner(const ProxyData& entry) {
    return entry.OAuthTokenUrl + '\n' + entry.OAuthClientId;
}

} // namespace

TFrmEditData::TFrmEditData(TFormMain* formMain)
    : SettingsDialog(formMain), ui(new Ui::TFrmEditData), FormMain(formMain),
      SignIn(new OAuthSignIn(this)) {
    ui->setupUi(this);
    setFont(ProgramFont());
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    WorkEntry.Init(-1);
    for (QLineEdit* secret : {ui->EditPasswd, ui->EditClientSecret}) {
        secret->setStyleSheet(QStringLiteral("lineedit-password-character: 42;"));
    }

    for (QLineEdit* edit : {ui->EditDomain, ui->EditSMTP, ui->EditUser, ui->EditPasswd,
                            ui->EditPort, ui->EditFingerprint}) {
        fieldrules::DisableInputMethod(edit);
        edit->installEventFilter(this);
    }
    // The CA file's path may hold any characters, composed ones included.
    for (QLineEdit* edit :
         {ui->EditDomain, ui->EditSMTP, ui->EditUser, ui->EditPasswd, ui->EditPort, ui->EditCAFile,
          ui->EditFingerprint, ui->EditClientId, ui->EditClientSecret, ui->EditAuthUrl,
          ui->EditTokenUrl, ui->EditScope}) {
        connect(edit, &QLineEdit::textChanged, this, &TFrmEditData::EditChange);
        connect(edit, &QLineEdit::editingFinished, this, &TFrmEditData::EditExit);
    }
    for (QComboBox* combo : {ui->ComboBoxMethod, ui->ComboBoxSecurity, ui->ComboBoxProvider}) {
        connect(combo, &QComboBox::currentIndexChanged, this, [this] {
            ArrangeMethodFields();
            EditChange();
        });
    }
    connect(ui->ComboBoxMethod, &QComboBox::activated, this,
            &TFrmEditData::ComboBoxMethodActivated);
    connect(ui->ComboBoxProvider, &QComboBox::activated, this,
            &TFrmEditData::ComboBoxProviderActivated);
    connect(ui->ButtonSignIn, &QPushButton::clicked, this, &TFrmEditData::ButtonSignInClick);
    connect(ui->ButtonTest, &QPushButton::clicked, this, &TFrmEditData::ButtonTestClick);
    connect(SignIn, &OAuthSignIn::Progress, this, [this](const QString& text) {
        SignInMessage = text;
        ShowOAuthState();
    });
    connect(SignIn, &OAuthSignIn::Finished, this, &TFrmEditData::SignInFinished);
    connect(ui->EditPort, &QLineEdit::textEdited, this, &TFrmEditData::EditPortEdited);
    connect(ui->ButtonCAFile, &QPushButton::clicked, this, &TFrmEditData::ButtonCAFileClick);
    connect(ui->ButtonOK, &QPushButton::clicked, this, &TFrmEditData::ButtonOKClick);
    connect(ui->ButtonCancel, &QPushButton::clicked, this, &TFrmEditData::ButtonCancelClick);
}

TFrmEditData::~TFrmEditData() = default;

void TFrmEditData::EditNew() {
    WorkEntry.Init(-1);
    // A new entry protects its login; an entry stored without the setting reads as none.
    WorkEntry.Security = SecurityStartTls;
    FillFields();
    exec();
}

void TFrmEditData::EditExisting(std::int32_t i) {
    WorkEntry.Init(i);
    if (Ini.Keyring != 0) {
        // The file keeps no secrets then: the list holds them, as read from the keyring.
        const ProxyData listed = ProxyList.At(i);
        for (const SecretKind kind : kSecretKinds) {
            SecretOf(WorkEntry, kind) = SecretOf(listed, kind);
        }
    }
    FillFields();
    exec();
}

void TFrmEditData::FillFields() {
    // A stored code outside the list leaves no item selected.
    ui->ComboBoxMethod->setCurrentIndex(
        WorkEntry.Method >= 0 && WorkEntry.Method < ui->ComboBoxMethod->count() ? WorkEntry.Method
                                                                                : -1);
    ui->EditDomain->setText(QString::fromStdString(WorkEntry.Domain));
    ui->EditSMTP->setText(QString::fromStdString(WorkEntry.SMTP));
    ui->EditUser->setText(QString::fromStdString(WorkEntry.User));
    ui->EditPasswd->setText(QString::fromStdString(WorkEntry.Passwd));
    ui->EditPort->setText(QString::number(WorkEntry.Port));
    ui->ComboBoxSecurity->setCurrentIndex(WorkEntry.Security >= 0 &&
                                                  WorkEntry.Security < ui->ComboBoxSecurity->count()
                                              ? WorkEntry.Security
                                              : SecurityNone);
    ui->EditCAFile->setText(QString::fromStdString(WorkEntry.CAFile));
    ui->EditFingerprint->setText(QString::fromStdString(WorkEntry.Fingerprint));
    ui->EditFingerprint->setCursorPosition(0); // a long digest reads from its start
    ui->EditClientId->setText(QString::fromStdString(WorkEntry.OAuthClientId));
    ui->EditClientSecret->setText(QString::fromStdString(WorkEntry.OAuthClientSecret));
    ui->EditAuthUrl->setText(QString::fromStdString(WorkEntry.OAuthAuthUrl));
    ui->EditTokenUrl->setText(QString::fromStdString(WorkEntry.OAuthTokenUrl));
    ui->EditScope->setText(QString::fromStdString(WorkEntry.OAuthScope));
    // Long values read from their start (a mail address, a client id, a URL).
    for (QLineEdit* edit : {ui->EditSMTP, ui->EditUser, ui->EditClientId, ui->EditAuthUrl,
                            ui->EditTokenUrl, ui->EditScope}) {
        edit->setCursorPosition(0);
    }
    const int preset = PresetOf(WorkEntry.OAuthAuthUrl, WorkEntry.OAuthTokenUrl);
    ui->ComboBoxProvider->setCurrentIndex(preset >= 0 ? preset : kOtherProvider);
    LoadedRefresh = WorkEntry.OAuthRefresh;
    RefreshOwner = TokenOwner(WorkEntry);
    SignIn->Cancel();
    SignInMessage.clear();
    ArrangeMethodFields();
}

ProxyData TFrmEditData::FieldsEntry() const {
    ProxyData entry = WorkEntry;
    entry.Domain = Text(ui->EditDomain);
    entry.SMTP = Text(ui->EditSMTP);
    entry.Method = ui->ComboBoxMethod->currentIndex();
    entry.User = Text(ui->EditUser);
    entry.Passwd = Text(ui->EditPasswd);
    entry.Port = fieldrules::ParsePositiveInt(ui->EditPort->text()).value_or(25);
    entry.Security = ui->ComboBoxSecurity->currentIndex();
    entry.CAFile = Text(ui->EditCAFile);
    entry.Fingerprint = Text(ui->EditFingerprint);
    entry.OAuthAuthUrl = Text(ui->EditAuthUrl);
    entry.OAuthTokenUrl = Text(ui->EditTokenUrl);
    entry.OAuthClientId = Text(ui->EditClientId);
    entry.OAuthClientSecret = Text(ui->EditClientSecret);
    entry.OAuthScope = Text(ui->EditScope);
    return entry;
}

bool TFrmEditData::CheckFields() const {
    // XOAUTH2 logs in with a token instead of the password, and only over TLS.
    const bool oauth = ui->ComboBoxMethod->currentIndex() == MethodXoauth2;
    if (ui->EditDomain->text().isEmpty() || ui->EditSMTP->text().isEmpty() ||
        ui->EditUser->text().isEmpty() || (!oauth && ui->EditPasswd->text().isEmpty()) ||
        !fieldrules::ParsePositiveInt(ui->EditPort->text())) {
        return false;
    }
    if (oauth && (ui->EditClientId->text().isEmpty() || ui->EditTokenUrl->text().isEmpty() ||
                  ui->ComboBoxSecurity->currentIndex() == SecurityNone)) {
        return false;
    }
    // The settings file would cut longer values when it is read back.
    const bool fits =
        fieldrules::FitsBytes(ui->EditDomain->text(), limits::kProfileValueMax) &&
        fieldrules::FitsBytes(ui->EditSMTP->text(), limits::kProfileValueMax) &&
        fieldrules::FitsBytes(ui->EditUser->text(), limits::kProfileValueMax) &&
        fieldrules::FitsBytes(ui->EditPasswd->text(), limits::kPasswordMax) &&
        fieldrules::FitsBytes(ui->EditCAFile->text(), limits::kProfileValueMax) &&
        fieldrules::FitsBytes(ui->EditFingerprint->text(), limits::kProfileValueMax) &&
        fieldrules::FingerprintAccepted(ui->EditFingerprint->text());
    if (!fits || !oauth) {
        return fits;
    }
    const QString authUrl = ui->EditAuthUrl->text();
    return fieldrules::FitsBytes(ui->EditClientId->text(), limits::kOAuthValueMax) &&
           fieldrules::FitsBytes(ui->EditClientSecret->text(), kClientSecretMax) &&
           fieldrules::FitsBytes(authUrl, limits::kOAuthValueMax) &&
           fieldrules::FitsBytes(ui->EditTokenUrl->text(), limits::kOAuthValueMax) &&
           fieldrules::FitsBytes(ui->EditScope->text(), limits::kOAuthValueMax) &&
           (authUrl.isEmpty() || fieldrules::OAuthUrlAccepted(authUrl)) &&
           fieldrules::OAuthUrlAccepted(ui->EditTokenUrl->text());
}

void TFrmEditData::StoreFields() {
    if (WorkEntry.Index < 0) {
        WorkEntry.Index = ProxyList.Count();
    }
    WorkEntry = FieldsEntry();
    // A session may have replaced the refresh token in the file while the dialog was open
    // (providers rotate them); the one read at opening is then void. Unless a sign-in here gave
    // a newer one, keep the file's.
    if (WorkEntry.Index < ProxyList.Count() && WorkEntry.OAuthRefresh == LoadedRefresh) {
        ProxyData stored;
        if (Ini.Keyring != 0) {
            stored = ProxyList.At(WorkEntry.Index); // the file keeps no secrets then
        } else {
            stored.Init(WorkEntry.Index);
        }
        WorkEntry.OAuthRefresh = stored.OAuthRefresh;
    }
    WorkEntry.Save();
}

void TFrmEditData::FormShow() {
    ui->ButtonOK->setEnabled(CheckFields());
    // Typing starts in the domain field, not on the button used last time.
    ui->EditDomain->setFocus();
}

void TFrmEditData::EditChange() {
    ui->ButtonOK->setEnabled(CheckFields());
    ShowOAuthState();
}

void TFrmEditData::ArrangeMethodFields() {
    const bool oauth = ui->ComboBoxMethod->currentIndex() == MethodXoauth2;
    const bool other = ui->ComboBoxProvider->currentIndex() == kOtherProvider;
    ui->Label4->setVisible(!oauth);
    ui->EditPasswd->setVisible(!oauth);
    ui->LabelProvider->setVisible(oauth);
    ui->ComboBoxProvider->setVisible(oauth);
    ui->PanelOAuth->setVisible(oauth);
    ui->PanelOAuthUrls->setVisible(other);
    const int signInTop = kClientRows + (other ? kUrlRows : 0);
    ui->PanelSignIn->move(0, signInTop);
    ui->PanelOAuth->resize(width(), signInTop + kSignInRows);
    const int testTop = kBelowFingerprint + (oauth ? ui->PanelOAuth->height() : 0);
    ui->ButtonTest->move(ui->ButtonTest->x(), testTop);
    const int okTop = testTop + kTestToOk;
    ui->ButtonOK->move(ui->ButtonOK->x(), okTop);
    ui->ButtonCancel->move(ui->ButtonCancel->x(), okTop);
    setFixedSize(width(), okTop + kOkToBottom);
    ShowOAuthState();
}

void TFrmEditData::ShowOAuthState() {
    const bool running = SignIn->Running();
    QString state;
    if (ui->ComboBoxMethod->currentIndex() == MethodXoauth2 &&
        ui->ComboBoxSecurity->currentIndex() == SecurityNone) {
        state =
            QStringLiteral("XOAUTH2はトークンを送るため、暗号化（STARTTLSかSSL/TLS）が必要です。");
    } else if (!running && !WorkEntry.OAuthRefresh.empty() &&
               TokenOwner(FieldsEntry()) != RefreshOwner) {
        state = QStringLiteral(
            "トークンURLかクライアントIDが変わりました。サインインし直してください。");
    } else if (!SignInMessage.isEmpty()) {
        state = SignInMessage;
    } else if (!WorkEntry.OAuthRefresh.empty()) {
        state = QStringLiteral("サインイン済みです（リフレッシュトークンあり）。");
    } else {
        state = QStringLiteral("まだサインインしていません。");
    }
    ui->LabelOAuthStatus->setText(state);
    ui->ButtonSignIn->setText(running ? QStringLiteral("中止") : QStringLiteral("サインイン"));
    ui->ButtonSignIn->setEnabled(running ||
                                 (!ui->EditClientId->text().isEmpty() &&
                                  fieldrules::OAuthUrlAccepted(ui->EditAuthUrl->text()) &&
                                  fieldrules::OAuthUrlAccepted(ui->EditTokenUrl->text())));
    ui->ButtonTest->setEnabled(!ui->EditSMTP->text().isEmpty() &&
                               fieldrules::ParsePositiveInt(ui->EditPort->text()));
}

void TFrmEditData::ComboBoxMethodActivated(int method) {
    if (method == MethodXoauth2 && ui->EditAuthUrl->text().isEmpty() &&
        ui->EditTokenUrl->text().isEmpty()) {
        const int preset = PresetForServer(Text(ui->EditSMTP));
        ui->ComboBoxProvider->setCurrentIndex(preset);
        ComboBoxProviderActivated(preset);
    }
}

void TFrmEditData::ComboBoxProviderActivated(int provider) {
    if (provider < 0 || provider >= kOAuthPresetCount) {
        return; // "other" keeps what the fields hold, to be edited
    }
    const OAuthPreset& preset = kOAuthPresets[provider];
    ui->EditAuthUrl->setText(QString::fromLatin1(preset.authUrl));
    ui->EditTokenUrl->setText(QString::fromLatin1(preset.tokenUrl));
    ui->EditScope->setText(QString::fromLatin1(preset.scope));
}

void TFrmEditData::ButtonSignInClick() {
    if (SignIn->Running()) {
        SignIn->Cancel();
        SignInMessage = QStringLiteral("サインインを中止しました。");
    } else if (QString why; !SignIn->Start(FieldsEntry(), why)) {
        SignInMessage = why;
    } else {
        SignInOwner = TokenOwner(FieldsEntry());
    }
    ShowOAuthState();
}

void TFrmEditData::SignInFinished(bool ok, const QString& message,
                                  const std::string& refreshToken) {
    if (ok) {
        WorkEntry.OAuthRefresh = refreshToken;
        RefreshOwner = SignInOwner;
        SignInMessage = message + QStringLiteral("OKで保存します。");
    } else {
        SignInMessage = message;
    }
    ShowOAuthState();
}

void TFrmEditData::ButtonTestClick() {
    (new TFrmConnectionTest(this))->Start(FieldsEntry());
}

void TFrmEditData::done(int result) {
    SignIn->Cancel();
    SettingsDialog::done(result);
}

void TFrmEditData::EditExit() {}

bool TFrmEditData::EditDomainKeyPress(QLineEdit* edit, QEvent* event) {
    return fieldrules::FilterTypedText(edit, event, fieldrules::HostCharAccepted);
}

bool TFrmEditData::EditPortKeyPress(QEvent* event) {
    return fieldrules::FilterTypedText(ui->EditPort, event, fieldrules::PortCharAccepted);
}

bool TFrmEditData::EditFingerprintKeyPress(QEvent* event) {
    return fieldrules::FilterTypedText(ui->EditFingerprint, event,
                                       fieldrules::FingerprintCharAccepted);
}

void TFrmEditData::EditPortEdited(const QString& text) {
    QComboBox* security = ui->ComboBoxSecurity;
    if (text == QLatin1String(kImplicitTlsPort) && security->currentIndex() == SecurityStartTls) {
        security->setCurrentIndex(SecurityTls);
    } else if (text == QLatin1String(kSubmissionPort) && security->currentIndex() == SecurityTls) {
        security->setCurrentIndex(SecurityStartTls);
    }
}

void TFrmEditData::ButtonCAFileClick() {
    const QString current = ui->EditCAFile->text();
    const QString start = current.isEmpty() ? QString() : QFileInfo(current).absolutePath();
    const QString chosen = QFileDialog::getOpenFileName(
        this, QStringLiteral("CA証明書ファイルの選択"), start,
        QStringLiteral("PEMファイル (*.pem *.crt *.cer);;すべてのファイル (*)"));
    if (!chosen.isEmpty()) {
        ui->EditCAFile->setText(chosen);
    }
}

void TFrmEditData::ButtonOKClick() {
    if (!CheckFields()) {
        return;
    }
    StoreFields();
    if (ProxyList.Count() == WorkEntry.Index) {
        FormMain->AddEntryRow(WorkEntry);
    } else {
        FormMain->ReplaceEntryRow(WorkEntry);
    }
    accept();
    FormMain->SelectEntry(FormMain->GridCurrentRow() - 1);
}

void TFrmEditData::ButtonCancelClick() {
    reject();
}

bool TFrmEditData::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::KeyPress && event->type() != QEvent::InputMethod) {
        return false;
    }
    if (watched == ui->EditDomain || watched == ui->EditSMTP) {
        return EditDomainKeyPress(static_cast<QLineEdit*>(watched), event);
    }
    if (watched == ui->EditPort) {
        return EditPortKeyPress(event);
    }
    if (watched == ui->EditFingerprint) {
        return EditFingerprintKeyPress(event);
    }
    return false;
}
