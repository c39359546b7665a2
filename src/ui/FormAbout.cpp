#include "FormAbout.h"

#include <QScreen>

#include "AppSetup.h"
#include "ui_FormAbout.h"

TAboutBox::TAboutBox(QWidget* parent) : QDialog(parent), ui(new Ui::TAboutBox) {
    ui->setupUi(this);
    setFont(ProgramFont());
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    ui->ProgramIcon->setPixmap(ProgramIcon().pixmap(64, 64));
    connect(ui->OKButton, &QPushButton::clicked, this, &QDialog::accept);
}

TAboutBox::~TAboutBox() = default;

void TAboutBox::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (const QScreen* screen = this->screen()) {
        QRect box = frameGeometry();
        box.moveCenter(screen->availableGeometry().center());
        move(box.topLeft());
    }
}
