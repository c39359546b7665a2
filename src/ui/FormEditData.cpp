#include "FormEditData.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QKeyEvent>

#include "AppSetup.h"
#include "FieldRules.h"
#include "FormMain.h"
#include "Limits.h"
#include "ui_FormEditData.h"

namespace {

// The usual ports of the two TLS modes (RFC 8314): implicit TLS, and submission with STARTTLS.
constexpr const char* kImplicitTlsPort = "465";
constexpr const char* kSubmissionPort = "587";

} // namespace

TFrmEditData::TFrmEditData(TFormMain* formMain)
    : SettingsDialog(formMain), ui(new Ui::TFrmEditData), FormMain(formMain) {
    ui->setupUi(this);
    setFont(ProgramFont());
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    WorkEntry.Init(-1);
    ui->EditPasswd->setStyleSheet(QStringLiteral("lineedit-password-character: 42;"));

    for (QLineEdit* edit : {ui->EditDomain, ui->EditSMTP, ui->EditUser, ui->EditPasswd,
                            ui->EditPort, ui->EditFingerprint}) {
        fieldrules::DisableInputMethod(edit);
        edit->installEventFilter(this);
    }
    // The CA file's path may hold any characters, composed ones included.
    for (QLineEdit* edit : {ui->EditDomain, ui->EditSMTP, ui->EditUser, ui->EditPasswd,
                            ui->EditPort, ui->EditCAFile, ui->EditFingerprint}) {
        connect(edit, &QLineEdit::textChanged, this, &TFrmEditData::EditChange);
        connect(edit, &QLineEdit::editingFinished, this, &TFrmEditData::EditExit);
    }
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
}

bool TFrmEditData::CheckFields() const {
    if (ui->EditDomain->text().isEmpty() || ui->EditSMTP->text().isEmpty() ||
        ui->EditUser->text().isEmpty() || ui->EditPasswd->text().isEmpty() ||
        !fieldrules::ParsePositiveInt(ui->EditPort->text())) {
        return false;
    }
    // The settings file would cut longer values when it is read back.
    return fieldrules::FitsBytes(ui->EditDomain->text(), limits::kProfileValueMax) &&
           fieldrules::FitsBytes(ui->EditSMTP->text(), limits::kProfileValueMax) &&
           fieldrules::FitsBytes(ui->EditUser->text(), limits::kProfileValueMax) &&
           fieldrules::FitsBytes(ui->EditPasswd->text(), limits::kPasswordMax) &&
           fieldrules::FitsBytes(ui->EditCAFile->text(), limits::kProfileValueMax) &&
           fieldrules::FitsBytes(ui->EditFingerprint->text(), limits::kProfileValueMax) &&
           fieldrules::FingerprintAccepted(ui->EditFingerprint->text());
}

void TFrmEditData::StoreFields() {
    if (WorkEntry.Index < 0) {
        WorkEntry.Index = ProxyList.Count();
    }
    WorkEntry.Domain = ui->EditDomain->text().toStdString();
    WorkEntry.SMTP = ui->EditSMTP->text().toStdString();
    WorkEntry.Method = ui->ComboBoxMethod->currentIndex();
    WorkEntry.User = ui->EditUser->text().toStdString();
    WorkEntry.Passwd = ui->EditPasswd->text().toStdString();
    WorkEntry.Port = fieldrules::ParsePositiveInt(ui->EditPort->text()).value_or(25);
    WorkEntry.Security = ui->ComboBoxSecurity->currentIndex();
    WorkEntry.CAFile = ui->EditCAFile->text().toStdString();
    WorkEntry.Fingerprint = ui->EditFingerprint->text().toStdString();
    WorkEntry.Save();
}

void TFrmEditData::FormShow() {
    ui->ButtonOK->setEnabled(CheckFields());
    // Typing starts in the domain field, not on the button used last time.
    ui->EditDomain->setFocus();
}

void TFrmEditData::EditChange() {
    ui->ButtonOK->setEnabled(CheckFields());
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
