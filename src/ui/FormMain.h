// The main window: the entry grid with its command links, the status bar, the tray icon with its
// menu, tooltip and warning mark, the single-instance mark, and the start-up and exit sequences
// of the program.
//
// User-interface thread only. Nothing here reports failure to the caller. The user sees the
// listener that cannot be opened (status-bar message and a visible window) and the sessions the
// engine reports as failed (a tray notification, or standard error where no tray shows one).
//
// The grid is described in the terms of the entry list: row 0 is the header (the table's
// horizontal header, which stays in place when the body scrolls), row r (1 <= r <= n) shows
// list position r - 1, and row n + 1 is the blank row. GridRowCount, GridCell and
// GridCurrentRow give that view.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include <QIcon>
#include <QLocalServer>
#include <QMainWindow>
#include <QSystemTrayIcon>

#include "SecretsKeeper.h"
#include "config/Proxydata.h"

namespace Ui {
class TFormMain;
}
struct EngineEvent;
class QLabel;
class QMenu;
class SessionReports;
class TAboutBox;
class TFormLog;
class TFrmEditData;
class TFrmOption;

class TFormMain : public QMainWindow {
    Q_OBJECT

  public:
    // Construction runs FormCreate: settings, diagnostics, geometry, tray icon, grid, listener.
    explicit TFormMain(QWidget* parent = nullptr);
    ~TFormMain() override;

    void AttachDialogs(TFrmEditData* editData, TFrmOption* option, TAboutBox* aboutBox);

    // List position the Edit and Erase links act on.
    std::int32_t CurrentIndex = 0;

    void AddTrayIcon();
    // Opens the listener on the configured address and port and starts it, or shows why not
    // (the status-bar message; the reason goes to the trace and into ListenError).
    void StartProxy();
    // Why the last StartProxy could not open the listener; empty while it listens.
    std::string ListenError;
    // Headless there is nobody to show the failure to: unmarks and ends the process, status 1.
    [[noreturn]] void ExitOnListenFailure();
    // Unmarks, removes the tray icon, saves the geometry and ends the process at once, leaving
    // the listener and client threads to end with it.
    [[noreturn]] void ExitProgram();

    // Tray icon and window-manager events.
    void TaskbarRecreated();
    void SysCommand(unsigned command);
    void TrayIconNotify(QSystemTrayIcon::ActivationReason reason);
    void WakeUp();
    void N1Click();
    void N3Click();
    void Vellomir1Click();
    void N2Click();

    // Entry list and grid. Adding, replacing and erasing keep the keyring in step when the
    // secrets live there.
    void SelectEntry(std::int32_t i);
    void AddEntryRow(ProxyData e);
    void ReplaceEntryRow(const ProxyData& e);
    void EraseEntry(std::int32_t i);
    void StaticTextClick(QLabel* link);
    void StaticTextMouseDown(QLabel* link, Qt::MouseButton button);
    void StaticTextMouseUp(QLabel* link, Qt::MouseButton button);
    void GridListSelectCell(int col, int row);
    void GridListDblClick();

    int GridRowCount() const;
    QString GridCell(int col, int row) const;
    int GridCurrentRow() const;
    QString StatusText() const;
    bool TrayIconShown() const;

    // What the engine reported: the tray icon's tooltip (listening address and port, the last
    // session of each entry) and its warning mark, kept also where no tray icon is shown.
    QString TrayToolTip() const { return TrayTip; }
    bool TrayWarning() const { return TrayWarned; }
    TFormLog* LogWindow() const { return FrmLog; }

    // Shows the window in its normal state and brings it to the front.
    void ShowMainWindow();

    // The entries' secrets in the desktop keyring, when the option is on.
    SecretsKeeper& Secrets() { return *Keeper; }
    // Tells the user about a keyring problem (status bar and tray, standard error headless);
    // does nothing for "".
    void ReportSecrets(const QString& problem);

  protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void FormCreate();
    void FormClose(QCloseEvent* event);
    void FillGrid();
    void SetGridRowCount(int rows);
    void WriteEntryCells(int row, const ProxyData& e);
    void WriteCell(int col, int row, const QString& text, const QString& toolTip = {},
                   const QIcon& icon = {});
    // The port cell's marks of the upstream connection's protection.
    static QIcon LockIcon();
    static QString SecurityCaption(std::int32_t security);
    void PlaceLocalPortLink();
    // A failure that passed the notification throttle: a tray notification, or standard error
    // where no tray icon shows it.
    void ShowFailure(const EngineEvent& event);
    // Tooltip and icon from the listener's state and the entries' last sessions; results of
    // entries no longer listed are dropped first.
    void UpdateTrayState();
    static QIcon WarnedIcon();
    // Minimise: the window and any open dialog go, leaving the tray icon.
    void HideToTray();
    // Hides the window instead of minimising it, where there is a tray icon to come back by.
    bool MinimiseHides() const;

    std::unique_ptr<Ui::TFormMain> ui;
    QLabel* StatusLabel = nullptr;
    QSystemTrayIcon* TrayData = nullptr;
    QMenu* PMenuTray = nullptr;
    QLocalServer InstanceMark;
    TFrmEditData* FrmEditData = nullptr;
    TFrmOption* FrmOption = nullptr;
    TAboutBox* AboutBox = nullptr;
    TFormLog* FrmLog = nullptr;
    SessionReports* Reports = nullptr;
    std::unique_ptr<SecretsKeeper> Keeper;
    QString TrayTip;
    bool TrayWarned = false;
    int PanelDesignHeight = 0;
};
