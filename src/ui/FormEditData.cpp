#include "FormEditData.h"

#include <QKeyEvent>

#include "AppSetup.h"
#include "FieldRules.h"
#include "FormMain.h"
#include "Limits.h"
#include "ui_FormEditData.h"

TFrmEditData::TFrmEditData(TFormMain* formMain)
    : SettingsDialog(formMain), ui(new Ui::TFrmEditData), FormMain(formMain) {
    ui->setupUi(this);
    setFont(ProgramFont());
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    WorkEntry.Init(-1);
    ui->EditPasswd->setStyleSheet(QStringLiteral("lineedit-password-character: 42;"));

    for (QLineEdit* edit :
         {ui->EditDomain, ui->EditSMTP, ui->EditUser, ui->EditPasswd, ui->EditPort}) {
        fieldrules::DisableInputMethod(edit);
        edit->installEventFilter(this);
        connect(edit, &QLineEdit::textChanged, this, &TFrmEditData::EditChange);
        connect(edit, &QLineEdit::editingFinished, this, &TFrmEditData::EditExit);
    }
    connect(ui->ButtonOK, &QPushButton::clicked, this, &TFrmEditData::ButtonOKClick);
    connect(ui->ButtonCancel, &QPushButton::clicked, this, &TFrmEditData::ButtonCancelClick);
}

TFrmEditData::~TFrmEditData() = default;

void TFrmEditData::EditNew() {
    WorkEntry.Init(-1);
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
           fieldrules::FitsBytes(ui->EditPasswd->text(), limits::kPasswordMax);
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
    return false;
}
