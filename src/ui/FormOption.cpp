#include "FormOption.h"

#include <QCoreApplication>
#include <QKeyEvent>
#include <QMessageBox>

#include "AppSetup.h"
#include "Autostart.h"
#include "FieldRules.h"
#include "FormMain.h"
#include "Limits.h"
#include "ListenCheck.h"
#include "config/Inifile.h"
#include "diag/Proginit.h"
#include "server/Server.h"
#include "ui_FormOption.h"

TFrmOption::TFrmOption(TFormMain* formMain)
    : SettingsDialog(formMain), ui(new Ui::TFrmOption), FormMain(formMain) {
    ui->setupUi(this);
    setFont(ProgramFont());
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    for (QLineEdit* edit : {ui->EditPort, ui->EditAddress}) {
        fieldrules::DisableInputMethod(edit);
        edit->installEventFilter(this);
    }
    connect(ui->EditPort, &QLineEdit::textChanged, this, &TFrmOption::EditPortChange);
    connect(ui->EditAddress, &QLineEdit::textChanged, this, &TFrmOption::EditAddressChange);
    connect(ui->ButtonOK, &QPushButton::clicked, this, &TFrmOption::ButtonOKClick);
    connect(ui->ButtonCancel, &QPushButton::clicked, this, &TFrmOption::ButtonCancelClick);
}

TFrmOption::~TFrmOption() = default;

bool TFrmOption::CheckFields() const {
    return !ui->EditAddress->text().isEmpty() &&
           fieldrules::ParsePositiveInt(ui->EditPort->text()).has_value() &&
           // A longer address would be cut when the settings file is read back.
           fieldrules::FitsBytes(ui->EditAddress->text(), limits::kProfileValueMax);
}

void TFrmOption::StoreSettings() {
    Ini.ListenPort = fieldrules::ParsePositiveInt(ui->EditPort->text()).value_or(25);
    Ini.ListenAddress = ui->EditAddress->text().toStdString();
    Ini.SaveOption();
}

void TFrmOption::StoreAutostart() {
    std::string error;
    if (!SetAutostart(ui->CheckBoxAutostart->isChecked(),
                      QCoreApplication::applicationFilePath().toStdString(), Ini.CurrentDir,
                      error)) {
        DebugLog("AutostartError: %s", error.c_str());
    }
}

void TFrmOption::FormShow() {
    ui->EditPort->setText(QString::number(Ini.ListenPort));
    ui->EditAddress->setText(QString::fromStdString(Ini.ListenAddress));
    ui->CheckBoxAutostart->setChecked(AutostartEnabled(Ini.CurrentDir));
    ui->CheckBoxKeyring->setChecked(Ini.Keyring != 0);
    ui->ButtonOK->setEnabled(CheckFields());
}

void TFrmOption::EditPortChange() {
    ui->ButtonOK->setEnabled(CheckFields());
}

void TFrmOption::EditAddressChange() {
    ui->ButtonOK->setEnabled(CheckFields());
}

bool TFrmOption::EditPortKeyPress(QEvent* event) {
    return fieldrules::FilterTypedText(ui->EditPort, event, fieldrules::PortCharAccepted);
}

bool TFrmOption::EditAddressKeyPress(QEvent* event) {
    return fieldrules::FilterTypedText(ui->EditAddress, event,
                                       fieldrules::ListenAddressCharAccepted);
}

bool TFrmOption::ConfirmAddress() {
    const QString address = ui->EditAddress->text();
    if (!OpenToOtherMachines(address.toStdString())) {
        return true;
    }
    const QString question =
        QStringLiteral(
            "待受アドレス「%1」はループバックアドレス（127.0.0.1 など）ではありません。\n"
            "このコンピューターに接続できる他のマシンからも、登録したアカウントで"
            "メールを送信できるようになります。\n\nこのアドレスを保存しますか？")
            .arg(address);
    QMessageBox box(QMessageBox::Question, windowTitle(), question,
                    QMessageBox::Yes | QMessageBox::No, this);
    box.setDefaultButton(QMessageBox::No);
    box.button(QMessageBox::Yes)->setText(QStringLiteral("はい(&Y)"));
    box.button(QMessageBox::No)->setText(QStringLiteral("いいえ(&N)"));
    return box.exec() == QMessageBox::Yes;
}

void TFrmOption::ButtonOKClick() {
    if (!CheckFields() || !ConfirmAddress()) {
        return;
    }
    StoreSettings();
    StoreAutostart();
    // Moving the secrets waits for the keyring, and may ask the user to unlock it.
    const QString keyringProblem = FormMain->Secrets().Switch(ui->CheckBoxKeyring->isChecked());
    accept();
    FormMain->ReportSecrets(keyringProblem);
    serverStop();
    FormMain->StartProxy();
}

void TFrmOption::ButtonCancelClick() {
    reject();
}

bool TFrmOption::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::KeyPress && event->type() != QEvent::InputMethod) {
        return false;
    }
    if (watched == ui->EditPort) {
        return EditPortKeyPress(event);
    }
    if (watched == ui->EditAddress) {
        return EditAddressKeyPress(event);
    }
    return false;
}
