#include "FormMain.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <unistd.h>

#include <QApplication>
#include <QCloseEvent>
#include <QDialog>
#include <QHeaderView>
#include <QLabel>
#include <QLocalSocket>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QTimer>
#include <QWindow>

#include "AppSetup.h"
#include "FailureWords.h"
#include "FormAbout.h"
#include "FormEditData.h"
#include "FormLog.h"
#include "FormOption.h"
#include "InstanceMark.h"
#include "ListenCheck.h"
#include "SessionReports.h"
#include "config/Inifile.h"
#include "diag/Proginit.h"
#include "server/Server.h"
#include "ui_FormMain.h"

namespace {

constexpr int kColumnWidths[] = {89, 108, 64, 64, 64};
constexpr int kColumns = 5;
// The designed place of the window (a form's own position is not applied from its description).
constexpr int kDesignedLeft = 197;
constexpr int kDesignedTop = 623;
constexpr int kRowHeight = 17;
// The options link keeps its place relative to the panel's height as designed: the designed
// window height less the status bar.
constexpr int kLocalPortLinkTop = 173;
constexpr int kDesignedPanelHeight = 280 - 19;
// The log link follows the options link at the distance of the links at the top.
constexpr int kLogLinkBelow = 24;

// Window-manager commands, under the numbers of the system-menu commands they stand for.
constexpr unsigned kSysCommandMessage = 0x112;
constexpr unsigned kCommandMinimise = 0xF020;
constexpr unsigned kCommandMaximise = 0xF030;
constexpr unsigned kCommandRestore = 0xF120;

const char* const kPortUnavailable =
    "ローカルポートがオープンできません。オプション設定を見直してください。";

} // namespace

TFormMain::TFormMain(QWidget* parent) : QMainWindow(parent), ui(new Ui::TFormMain) {
    ui->setupUi(this);
    setFont(ProgramFont());
    setWindowIcon(ProgramIcon());
    move(kDesignedLeft, kDesignedTop);
    // A stored size is applied as it is, even below what the contents would ask for.
    layout()->setSizeConstraint(QLayout::SetNoConstraint);

    StatusLabel = new QLabel(ui->StatusBar);
    StatusLabel->setObjectName(QStringLiteral("StatusText"));
    ui->StatusBar->addWidget(StatusLabel, 1);

    PMenuTray = new QMenu(this);
    PMenuTray->setObjectName(QStringLiteral("PMenuTray"));
    PMenuTray->addAction(ui->N1);
    PMenuTray->addAction(ui->N3);
    PMenuTray->addAction(ui->Vellomir1);
    PMenuTray->addAction(ui->N2);
    connect(ui->N1, &QAction::triggered, this, &TFormMain::N1Click);
    connect(ui->N3, &QAction::triggered, this, &TFormMain::N3Click);
    connect(ui->Vellomir1, &QAction::triggered, this, &TFormMain::Vellomir1Click);
    connect(ui->N2, &QAction::triggered, this, &TFormMain::N2Click);

    for (QLabel* link : {ui->StaticTextAdd, ui->StaticTextEdit, ui->StaticTextErase,
                         ui->StaticTextLocalPort, ui->StaticTextLog}) {
        link->installEventFilter(this);
    }
    ui->Panel->installEventFilter(this);

    QHeaderView* header = ui->GridList->horizontalHeader();
    header->setSectionsClickable(false);
    header->setStretchLastSection(false);
    header->setFixedHeight(kRowHeight);
    for (int col = 0; col < kColumns; ++col) {
        header->resizeSection(col, kColumnWidths[col]);
    }
    ui->GridList->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    ui->GridList->viewport()->installEventFilter(this);
    connect(ui->GridList, &QTableWidget::currentCellChanged, this,
            [this](int row, int col, int, int) {
                if (row >= 0) {
                    GridListSelectCell(col, row + 1);
                }
            });

    FormCreate();
}

TFormMain::~TFormMain() = default;

void TFormMain::AttachDialogs(TFrmEditData* editData, TFrmOption* option, TAboutBox* aboutBox) {
    FrmEditData = editData;
    FrmOption = option;
    AboutBox = aboutBox;
    // A dialog's minimise button takes the program to the tray, as the window's own does.
    for (QWidget* dialog : {static_cast<QWidget*>(editData), static_cast<QWidget*>(option),
                            static_cast<QWidget*>(aboutBox)}) {
        dialog->installEventFilter(this);
    }
}

void TFormMain::FormCreate() {
    MarkInstanceWindow(InstanceMark);
    connect(&InstanceMark, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* peer = InstanceMark.nextPendingConnection()) {
            peer->disconnectFromServer();
            peer->deleteLater();
        }
        WakeUp();
    });

    Ini.Load();
    DebugSetupFromSetting(Ini.DebugWrite);
    DebugLog("Start:");

    if (Ini.Width > 100) {
        resize(Ini.Width, height());
    }
    if (Ini.Height > 100) {
        resize(width(), Ini.Height);
    }
    if (Ini.Left >= 0) {
        move(Ini.Left, y());
    }
    if (Ini.Top >= 0) {
        move(x(), Ini.Top);
    }
    // Lay the hidden window out now, so that the trace names the grid's real place.
    layout()->activate();
    ui->ClientLayout->activate();
    DebugLog("Width=%d,%d,%d", width(), ui->GridList->x(), ui->GridList->width());

    FrmLog = new TFormLog(this);
    AddTrayIcon();
    FillGrid();
    SelectEntry(0);
    // The secrets come before the listener: no session may start without them.
    Keeper = std::make_unique<SecretsKeeper>();
    const QString secretsProblem = Keeper->LoadAtStart();
    // Reads the engine's events from here on; the first sessions' wait in its queue till then.
    Reports = new SessionReports(
        this, [this](const EngineEvent& event) { ShowFailure(event); },
        [this] { UpdateTrayState(); },
        [this](const ProxyData& entry) { ReportSecrets(Keeper->AfterTokenRotated(entry)); });
    StartProxy();
    ReportSecrets(secretsProblem);
    if (ProxyList.Count() == 0 || !MinimiseHides()) {
        setVisible(true);
    }
}

bool TFormMain::MinimiseHides() const {
    // Headless there is nobody to reach the window either way; it behaves as with a tray.
    return QSystemTrayIcon::isSystemTrayAvailable() || IsHeadlessPlatform();
}

void TFormMain::AddTrayIcon() {
    if (IsHeadlessPlatform()) {
        return; // no notification area to add to
    }
    if (TrayData == nullptr) {
        TrayData = new QSystemTrayIcon(TrayWarned ? WarnedIcon() : ProgramIcon(), this);
        TrayData->setToolTip(TrayTip.isEmpty()
                                 ? ApplicationTitle(QCoreApplication::applicationFilePath())
                                 : TrayTip);
        TrayData->setContextMenu(PMenuTray);
        connect(TrayData, &QSystemTrayIcon::activated, this, &TFormMain::TrayIconNotify);
    }
    TrayData->show();
}

bool TFormMain::TrayIconShown() const {
    return TrayData != nullptr && TrayData->isVisible();
}

void TFormMain::StartProxy() {
    if (OpenToOtherMachines(Ini.ListenAddress)) {
        DebugLog("Warning: ListenAddress %s is not a loopback address: every machine that can "
                 "reach it can send mail through the stored accounts",
                 Ini.ListenAddress.c_str());
    }
    errno = 0;
    if (!serverOpen(Ini.ListenAddress.c_str(), Ini.ListenPort)) {
        const int error = errno; // left by the failed bind; the engine reports only false
        ListenError =
            "cannot listen on " + Ini.ListenAddress + " port " + std::to_string(Ini.ListenPort) +
            ": " +
            ListenFailureReason(Ini.ListenAddress, Ini.ListenPort, error,
                                QCoreApplication::applicationFilePath().toStdString(), Ini.Path);
        DebugLog("ListenError: %s", ListenError.c_str());
        StatusLabel->setText(QString::fromUtf8(kPortUnavailable));
        UpdateTrayState();
        setVisible(true);
        return;
    }
    ListenError.clear();
    StatusLabel->clear();
    serverStart();
    UpdateTrayState();
}

void TFormMain::ShowFailure(const EngineEvent& event) {
    if (TrayIconShown() && QSystemTrayIcon::supportsMessages()) {
        TrayData->showMessage(FailureTitle(event), FailureMessage(event), QSystemTrayIcon::Warning);
        return;
    }
    // Headless, or a desktop without a notification area: the one place someone may look.
    TellStandardError(describeFailure(event));
}

void TFormMain::ReportSecrets(const QString& problem) {
    if (problem.isEmpty()) {
        return;
    }
    if (IsHeadlessPlatform()) {
        TellStandardError(problem.toStdString());
        return;
    }
    // The listener's message, when there is one, stays: it is the one that stops all mail.
    if (StatusLabel->text().isEmpty()) {
        StatusLabel->setText(problem);
    }
    if (TrayIconShown() && QSystemTrayIcon::supportsMessages()) {
        TrayData->showMessage(QStringLiteral("Vellomir"), problem, QSystemTrayIcon::Warning);
    }
}

void TFormMain::UpdateTrayState() {
    if (Reports == nullptr) {
        return; // start-up has not come so far
    }
    const std::vector<ProxyData> entries = ProxyList.Snapshot();
    Reports->Status().Retain(
        [&](const std::string& domain, const std::string& server, const std::string& user) {
            return std::any_of(entries.begin(), entries.end(), [&](const ProxyData& e) {
                return e.Domain == domain && e.SMTP == server && e.User == user;
            });
        });
    const QString listening = ListenError.empty()
                                  ? ListeningWords(Ini.ListenAddress, Ini.ListenPort)
                                  : QStringLiteral("待受: ポートを開けません");
    TrayTip = Reports->Status().ToolTip(ApplicationTitle(QCoreApplication::applicationFilePath()),
                                        listening);
    TrayWarned = Reports->Status().AnyFailed();
    if (TrayData != nullptr) {
        TrayData->setToolTip(TrayTip);
        TrayData->setIcon(TrayWarned ? WarnedIcon() : ProgramIcon());
    }
}

QIcon TFormMain::WarnedIcon() {
    // The program's icon with a small warning triangle in its lower right corner, drawn into
    // each size so that the mark stays visible in a small tray.
    static const QIcon icon = [] {
        QIcon warned;
        for (const int side : {16, 22, 24, 32, 48, 64}) {
            QPixmap pixmap = ProgramIcon().pixmap(side, side);
            QPainter painter(&pixmap);
            painter.setRenderHint(QPainter::Antialiasing);
            const qreal mark = side * 0.55;
            const QRectF box(side - mark, side - mark, mark, mark);
            const QPolygonF triangle({QPointF(box.center().x(), box.top()),
                                      QPointF(box.right(), box.bottom()),
                                      QPointF(box.left(), box.bottom())});
            painter.setPen(QPen(QColor(90, 60, 0), std::max(1.0, side / 32.0)));
            painter.setBrush(QColor(255, 196, 0));
            painter.drawPolygon(triangle);
            painter.setPen(
                QPen(Qt::black, std::max(1.5, side / 16.0), Qt::SolidLine, Qt::RoundCap));
            const qreal x = box.center().x();
            painter.drawLine(QPointF(x, box.top() + mark * 0.38),
                             QPointF(x, box.top() + mark * 0.68));
            painter.drawPoint(QPointF(x, box.top() + mark * 0.84));
            painter.end();
            warned.addPixmap(pixmap);
        }
        return warned;
    }();
    return icon;
}

void TFormMain::ExitOnListenFailure() {
    UnmarkInstanceWindow(InstanceMark);
    std::fflush(nullptr);
    ::_exit(1);
}

QString TFormMain::StatusText() const {
    return StatusLabel->text();
}

void TFormMain::ExitProgram() {
    UnmarkInstanceWindow(InstanceMark);
    if (TrayData != nullptr) {
        TrayData->hide();
    }
    Ini.Height = height();
    Ini.Width = width();
    Ini.Top = y();
    Ini.Left = x();
    Ini.SaveWindow();
    // Ends without running destructors: the listener and client threads still use the list,
    // the settings and the diagnostic channel.
    std::fflush(nullptr);
    ::_exit(0);
}

void TFormMain::TaskbarRecreated() {
    if (TrayData != nullptr) {
        TrayData->hide();
        TrayData->show();
    }
}

void TFormMain::SysCommand(unsigned command) {
    DebugLog("OnSys=%x,%x,%x", kSysCommandMessage, command, 0u);
    if (command == kCommandMinimise && MinimiseHides()) {
        // Hidden once the window manager's state change has been handled. The minimised state
        // stays until the window is shown again: clearing it on a hidden window makes X11 map
        // the window again, an unpainted frame that takes no input.
        QTimer::singleShot(0, this, [this] { HideToTray(); });
    }
}

void TFormMain::HideToTray() {
    // An open dialog closes as with its close box, storing nothing: while it is open the tray
    // icon takes no clicks, so a hidden program could not be reached again.
    QWidget* closed = nullptr;
    while (auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
        if (dialog == closed) {
            break;
        }
        closed = dialog;
        dialog->reject();
        // Its next opening is normal again. The state is cleared in Qt's records only, with no
        // platform window (Qt drops a hidden dialog's own under X11): on a live one, clearing it
        // would map the hidden dialog again.
        if (QWindow* handle = dialog->windowHandle()) {
            handle->destroy();
            handle->setWindowStates(handle->windowStates() & ~Qt::WindowMinimized);
        }
        dialog->overrideWindowState(dialog->windowState() & ~Qt::WindowMinimized);
    }
    hide();
}

void TFormMain::TrayIconNotify(QSystemTrayIcon::ActivationReason reason) {
    if (reason == QSystemTrayIcon::DoubleClick) {
        ShowMainWindow();
    }
    // The context menu pops up by itself (QSystemTrayIcon::setContextMenu).
}

void TFormMain::WakeUp() {
    DebugLog("TaskTray ReEntry");
    TaskbarRecreated();
    ShowMainWindow();
}

void TFormMain::ShowMainWindow() {
    setWindowState(windowState() & ~Qt::WindowMinimized);
    show();
    if (!IsHeadlessPlatform()) {
        raise();
        activateWindow();
    }
}

void TFormMain::N1Click() {
    ShowMainWindow();
}

void TFormMain::N3Click() {
    FrmLog->Open();
}

void TFormMain::Vellomir1Click() {
    AboutBox->exec();
}

void TFormMain::N2Click() {
    ExitProgram();
}

void TFormMain::closeEvent(QCloseEvent* event) {
    FormClose(event);
}

void TFormMain::FormClose(QCloseEvent* event) {
    event->ignore();
    hide();
}

void TFormMain::changeEvent(QEvent* event) {
    QMainWindow::changeEvent(event);
    if (event->type() != QEvent::WindowStateChange) {
        return;
    }
    const Qt::WindowStates old = static_cast<QWindowStateChangeEvent*>(event)->oldState();
    const Qt::WindowStates now = windowState();
    if ((now & Qt::WindowMinimized) && !(old & Qt::WindowMinimized)) {
        SysCommand(kCommandMinimise);
    } else if ((now & Qt::WindowMaximized) && !(old & Qt::WindowMaximized)) {
        SysCommand(kCommandMaximise);
    } else if ((old & (Qt::WindowMinimized | Qt::WindowMaximized)) &&
               !(now & (Qt::WindowMinimized | Qt::WindowMaximized)) && isVisible()) {
        SysCommand(kCommandRestore);
    }
}

void TFormMain::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    // Tells a reader of the trace (and the process tests) that the window came up.
    DebugLog("Show");
}

bool TFormMain::eventFilter(QObject* watched, QEvent* event) {
    if (watched == FrmEditData || watched == FrmOption || watched == AboutBox) {
        if (event->type() == QEvent::WindowStateChange &&
            static_cast<QWidget*>(watched)->isMinimized() &&
            !(static_cast<QWindowStateChangeEvent*>(event)->oldState() & Qt::WindowMinimized)) {
            SysCommand(kCommandMinimise);
        }
        return false;
    }
    if (watched == ui->Panel) {
        if (event->type() == QEvent::Resize) {
            PlaceLocalPortLink();
        }
        return false;
    }
    if (watched == ui->GridList->viewport()) {
        if (event->type() == QEvent::MouseButtonDblClick &&
            static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
            GridListDblClick();
            return true;
        }
        return false;
    }
    auto* link = qobject_cast<QLabel*>(watched);
    if (link == nullptr) {
        return false;
    }
    if (event->type() == QEvent::MouseButtonPress) {
        StaticTextMouseDown(link, static_cast<QMouseEvent*>(event)->button());
        return true;
    }
    if (event->type() == QEvent::MouseButtonRelease) {
        auto* mouse = static_cast<QMouseEvent*>(event);
        StaticTextMouseUp(link, mouse->button());
        if (mouse->button() == Qt::LeftButton &&
            link->rect().contains(mouse->position().toPoint())) {
            StaticTextClick(link);
        }
        return true;
    }
    return false;
}

void TFormMain::PlaceLocalPortLink() {
    QLabel* link = ui->StaticTextLocalPort;
    const int top = kLocalPortLinkTop * ui->Panel->height() / kDesignedPanelHeight;
    link->move(link->x(), top);
    ui->StaticTextLog->move(ui->StaticTextLog->x(), top + kLogLinkBelow);
}

// Entry list and grid ------------------------------------------------------------------------

void TFormMain::SetGridRowCount(int rows) {
    const QSignalBlocker blocker(ui->GridList);
    ui->GridList->setRowCount(rows - 1);
}

int TFormMain::GridRowCount() const {
    return ui->GridList->rowCount() + 1;
}

int TFormMain::GridCurrentRow() const {
    return ui->GridList->currentRow() + 1;
}

QString TFormMain::GridCell(int col, int row) const {
    if (row == 0) {
        const QTableWidgetItem* head = ui->GridList->horizontalHeaderItem(col);
        return head != nullptr ? head->text() : QString();
    }
    const QTableWidgetItem* item = ui->GridList->item(row - 1, col);
    return item != nullptr ? item->text() : QString();
}

void TFormMain::WriteCell(int col, int row, const QString& text, const QString& toolTip,
                          const QIcon& icon) {
    QTableWidgetItem* item = ui->GridList->item(row - 1, col);
    if (item == nullptr) {
        item = new QTableWidgetItem();
        item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
        ui->GridList->setItem(row - 1, col, item);
    }
    item->setText(text);
    item->setToolTip(toolTip);
    item->setIcon(icon);
}

void TFormMain::WriteEntryCells(int row, const ProxyData& e) {
    WriteCell(0, row, QString::fromStdString(e.Domain));
    WriteCell(1, row, QString::fromStdString(e.SMTP));
    WriteCell(2, row, QString::fromLatin1(IniFile::MethodName(e.Method)));
    WriteCell(3, row, QString::fromStdString(e.User));
    // A protected upstream connection shows a lock beside the port; the tooltip names the mode.
    const bool locked = e.Security == SecurityStartTls || e.Security == SecurityTls;
    WriteCell(4, row, QString::number(e.Port), SecurityCaption(e.Security),
              locked ? LockIcon() : QIcon());
}

QIcon TFormMain::LockIcon() {
    // Drawn rather than taken from an icon theme, which a bare desktop may not have; in the
    // text colour, so it follows a dark palette too.
    static const QIcon icon = [] {
        constexpr int kSide = 16;
        QPixmap pixmap(kSide, kSide);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        const QColor ink = QApplication::palette().color(QPalette::WindowText);
        painter.setPen(QPen(ink, 1.6));
        painter.drawArc(QRectF(5, 2, 6, 8), 0, 180 * 16); // the shackle
        painter.drawLine(QPointF(5, 6), QPointF(5, 8));
        painter.drawLine(QPointF(11, 6), QPointF(11, 8));
        painter.setPen(Qt::NoPen);
        painter.setBrush(ink);
        painter.drawRoundedRect(QRectF(3.5, 7.5, 9, 7), 1.5, 1.5); // the body
        return QIcon(pixmap);
    }();
    return icon;
}

QString TFormMain::SecurityCaption(std::int32_t security) {
    switch (security) {
    case SecurityStartTls:
        return QStringLiteral("暗号化: STARTTLS");
    case SecurityTls:
        return QStringLiteral("暗号化: SSL/TLS");
    default:
        return QStringLiteral("暗号化: なし");
    }
}

void TFormMain::FillGrid() {
    const std::vector<ProxyData> entries = ProxyList.Snapshot();
    const int n = static_cast<int>(entries.size());
    SetGridRowCount(n + 2);
    ui->GridList->setColumnCount(kColumns);
    for (int p = 0; p < n; ++p) {
        WriteEntryCells(p + 1, entries[static_cast<std::size_t>(p)]);
    }
    const QSignalBlocker blocker(ui->GridList);
    ui->GridList->setCurrentCell(0, 0);
}

void TFormMain::SelectEntry(std::int32_t i) {
    if (i >= 0 && i < ProxyList.Count()) {
        ui->StaticTextEdit->setVisible(true);
        ui->StaticTextErase->setVisible(true);
        CurrentIndex = i;
    } else {
        ui->StaticTextEdit->setVisible(false);
        ui->StaticTextErase->setVisible(false);
    }
}

void TFormMain::AddEntryRow(ProxyData e) {
    const int n = ProxyList.Count();
    e.Index = n;
    DebugLog("Add(%d)", n);
    ProxyList.Add(e);
    SetGridRowCount(n + 3);
    DebugLog("AddCell(%d)", n + 1);
    WriteEntryCells(n + 1, e);
    ReportSecrets(Keeper->AfterSave(e, nullptr));
}

void TFormMain::ReplaceEntryRow(const ProxyData& e) {
    const ProxyData before = ProxyList.At(e.Index);
    ProxyList.Replace(e);
    WriteEntryCells(e.Index + 1, e);
    ReportSecrets(Keeper->AfterSave(e, &before));
    UpdateTrayState(); // an edited server or user makes the old result stale
}

void TFormMain::EraseEntry(std::int32_t i) {
    DebugLog("Delete=%d", i);
    const int k = ProxyList.Count();
    SetGridRowCount(k + 1);
    for (int p = i + 1; p < k; ++p) {
        ProxyData later = ProxyList.At(p);
        later.Index = p - 1;
        WriteEntryCells(p, later);
    }
    for (int col = 0; col < kColumns; ++col) {
        WriteCell(col, k, QString());
    }
    const ProxyData erased = ProxyList.At(i);
    ProxyList.Erase(i);
    Ini.SaveList();
    ReportSecrets(Keeper->AfterErase(erased));
    UpdateTrayState();
    if (GridCurrentRow() > 0) {
        SelectEntry(GridCurrentRow() - 1);
    }
}

void TFormMain::StaticTextClick(QLabel* link) {
    const int tag = link->property("tag").toInt();
    DebugLog("click=%d", tag);
    switch (tag) {
    case 0:
        FrmEditData->EditNew();
        break;
    case 1:
        FrmEditData->EditExisting(CurrentIndex);
        break;
    case 2:
        EraseEntry(CurrentIndex);
        break;
    case 10:
        FrmOption->exec();
        break;
    case 11:
        FrmLog->Open();
        break;
    default:
        break;
    }
}

void TFormMain::StaticTextMouseDown(QLabel* link, Qt::MouseButton button) {
    if (button != Qt::LeftButton) {
        return;
    }
    QPalette palette = link->palette();
    palette.setColor(QPalette::WindowText, QColor(255, 0, 0));
    link->setPalette(palette);
}

void TFormMain::StaticTextMouseUp(QLabel* link, Qt::MouseButton button) {
    if (button != Qt::LeftButton) {
        return;
    }
    QPalette palette = link->palette();
    palette.setColor(QPalette::WindowText, QApplication::palette().color(QPalette::WindowText));
    link->setPalette(palette);
}

void TFormMain::GridListSelectCell(int, int row) {
    SelectEntry(row - 1);
}

void TFormMain::GridListDblClick() {
    const int r = GridCurrentRow() - 1;
    if (r >= 0 && r < ProxyList.Count()) {
        CurrentIndex = r;
        FrmEditData->EditExisting(r);
    } else {
        FrmEditData->EditNew();
    }
}
