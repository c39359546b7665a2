#include "FormLog.h"

#include <QApplication>
#include <QClipboard>
#include <QFontDatabase>
#include <QHideEvent>
#include <QScrollBar>
#include <QTimer>

#include "AppSetup.h"
#include "Limits.h"
#include "config/Inifile.h"
#include "diag/Proginit.h"
#include "ui_FormLog.h"

TFormLog::TFormLog(QWidget* parent)
    : QWidget(parent, Qt::Window), ui(new Ui::TFormLog), Tap(limits::kLogWindowLines) {
    ui->setupUi(this);
    setFont(ProgramFont());
    QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    fixed.setPixelSize(ProgramFont().pixelSize());
    ui->MemoLog->setFont(fixed);
    ui->MemoLog->setMaximumBlockCount(static_cast<int>(limits::kLogWindowLines));

    DrainTimer = new QTimer(this);
    DrainTimer->setInterval(limits::kLogDrainMillis);
    connect(DrainTimer, &QTimer::timeout, this, &TFormLog::TakeLines);
    connect(ui->ComboBoxDebugWrite, &QComboBox::activated, this,
            &TFormLog::ComboBoxDebugWriteChange);
    connect(ui->ButtonCopy, &QPushButton::clicked, this, &TFormLog::ButtonCopyClick);
    connect(ui->ButtonClear, &QPushButton::clicked, this, &TFormLog::ButtonClearClick);
    connect(ui->ButtonClose, &QPushButton::clicked, this, &QWidget::close);
}

TFormLog::~TFormLog() = default;

void TFormLog::Open() {
    show();
    raise();
    activateWindow();
}

void TFormLog::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    // Values other than 0 to 3 mean "off" as well, but are not offered: no item is chosen then.
    ui->ComboBoxDebugWrite->setCurrentIndex(
        Ini.DebugWrite >= 0 && Ini.DebugWrite <= 3 ? Ini.DebugWrite : -1);
    Tap.Install();
    DrainTimer->start();
}

void TFormLog::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    // Minimised (a hide the window system sends) it keeps collecting; closed, it costs the
    // trace nothing again.
    if (!event->spontaneous()) {
        Tap.Remove();
        DrainTimer->stop();
        TakeLines();
    }
}

void TFormLog::TakeLines() {
    const std::vector<std::string> lines = Tap.Take();
    if (lines.empty()) {
        return;
    }
    QString text;
    for (const std::string& line : lines) {
        if (!text.isEmpty()) {
            text += QLatin1Char('\n');
        }
        text += QString::fromUtf8(line);
    }
    // Follows the newest line unless the user has scrolled up to read.
    QScrollBar* bar = ui->MemoLog->verticalScrollBar();
    const bool atBottom = bar->value() == bar->maximum();
    const int keptPosition = bar->value();
    ui->MemoLog->appendPlainText(text);
    bar->setValue(atBottom ? bar->maximum() : keptPosition);
}

void TFormLog::ComboBoxDebugWriteChange(int index) {
    if (index < 0 || index == Ini.DebugWrite) {
        return; // the same output again would empty the log file
    }
    Ini.DebugWrite = index;
    Ini.SaveDebugWrite();
    DebugSetupFromSetting(index);
    DebugLog("DebugWrite=%d", index);
}

void TFormLog::ButtonCopyClick() {
    const QString selected = ui->MemoLog->textCursor().selectedText();
    // A selection spanning lines holds paragraph separators instead of line feeds.
    QApplication::clipboard()->setText(
        selected.isEmpty()
            ? ui->MemoLog->toPlainText()
            : QString(selected).replace(QChar::ParagraphSeparator, QLatin1Char('\n')));
}

void TFormLog::ButtonClearClick() {
    Tap.Take();
    ui->MemoLog->clear();
}
