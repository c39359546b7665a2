// Start-up of the main window: visibility, stored geometry, status bar, close and minimise,
// the wake-up through the instance socket, the tray menu.
#include <QAction>
#include <QFile>
#include <QLineEdit>
#include <QLocalSocket>
#include <QMenu>
#include <QStatusBar>
#include <QTcpServer>
#include <QTest>
#include <QWindow>

#include "FormAbout.h"
#include "FormEditData.h"
#include "FormLog.h"
#include "FormMain.h"
#include "FormOption.h"
#include "UiFixture.h"
#include "diag/Proginit.h"
#include "server/Server.h"

namespace {

using uitest::UiTest;

const uitest::Entry kA{"a.example", "smtp.a.example", 1, "u", "p", 25};

class MainWindowTest : public UiTest {};

TEST_F(MainWindowTest, FirstStartWithoutSettingsShowsTheDesignedWindow) {
    Start(); // no settings file: port 25 may be taken or not; only the window matters here
    EXPECT_TRUE(w_.FormMain->isVisible());
    EXPECT_EQ(w_.FormMain->size(), QSize(529, 280));
    EXPECT_EQ(w_.FormMain->pos(), QPoint(200, 200));
    EXPECT_EQ(w_.FormMain->windowTitle(), "Vellomir  Version 0.03");
    EXPECT_EQ(w_.FormMain->GridRowCount(), 2);
    EXPECT_FALSE(QFile::exists(QString::fromLatin1(kDiagnosticFile)))
        << "DebugWrite 0 traces nothing";
}

TEST_F(MainWindowTest, StoredGeometryAppliesOnlyPlausibleValues) {
    const struct {
        const char* program;
        QPoint pos;
        QSize size;
    } rows[] = {
        {"Left=10\nTop=20\nWidth=600\nHeight=300\n", {10, 20}, {600, 300}},
        {"Left=-1\nTop=-5\nWidth=100\nHeight=100\n", {197, 623}, {529, 280}},
        {"Left=0\nTop=0\nWidth=101\nHeight=101\n", {0, 0}, {101, 101}},
    };
    for (const auto& row : rows) {
        WriteSettings({kA}, row.program);
        Start();
        EXPECT_EQ(w_.FormMain->pos(), row.pos) << row.program;
        EXPECT_EQ(w_.FormMain->size(), row.size) << row.program;
        delete w_.FormMain;
        w_ = {};
        serverStop();
    }
}

TEST_F(MainWindowTest, StartWithEntriesStaysHiddenAndServes) {
    Start({kA});
    EXPECT_FALSE(w_.FormMain->isVisible());
    EXPECT_TRUE(w_.FormMain->StatusText().isEmpty());
    EXPECT_TRUE(serverIsRunning());
    const auto trace = Trace();
    ASSERT_GE(trace.size(), 2u);
    EXPECT_EQ(trace[0], "Start:");
    EXPECT_EQ(trace[1], "Width=529,128,401");
    EXPECT_FALSE(Traced("Show"));
}

TEST_F(MainWindowTest, TakenPortShowsTheWindowWithTheMessage) {
    QTcpServer holder;
    ASSERT_TRUE(holder.listen(QHostAddress::LocalHost, 0));
    listenPort_ = holder.serverPort();
    Start({kA});
    EXPECT_TRUE(w_.FormMain->isVisible());
    EXPECT_EQ(w_.FormMain->StatusText(),
              "ローカルポートがオープンできません。オプション設定を見直してください。");
    EXPECT_FALSE(serverIsRunning());
    const std::string port = std::to_string(listenPort_);
    EXPECT_TRUE(Traced("ListenError: cannot listen on 127.0.0.1 port " + port +
                       ": another program already uses port " + port + " on 127.0.0.1"));
}

TEST_F(MainWindowTest, CloseAndMinimiseOnlyHide) {
    Start({kA});
    w_.FormMain->ShowMainWindow();
    ASSERT_TRUE(w_.FormMain->isVisible());
    EXPECT_FALSE(w_.FormMain->close());
    EXPECT_FALSE(w_.FormMain->isVisible());
    EXPECT_TRUE(serverIsRunning());

    w_.FormMain->ShowMainWindow();
    w_.FormMain->setWindowState(Qt::WindowMinimized);
    QTest::qWait(50);
    EXPECT_FALSE(w_.FormMain->isVisible());
    EXPECT_TRUE(Traced("OnSys=112,f020,0"));
    w_.FormMain->ShowMainWindow();
    EXPECT_FALSE(w_.FormMain->isMinimized()) << "comes back in its normal state";

    // A dialog's minimise cancels it and hides the window; the dialog reopens normal.
    auto* dialog = static_cast<QDialog*>(w_.FrmEditData);
    const auto minimise = [&] { // as a window manager does it
        dialog->windowHandle()->setWindowStates(Qt::WindowMinimized);
        QTRY_VERIFY_WITH_TIMEOUT(!w_.FormMain->isVisible(), 2000);
    };
    WithModal(
        dialog, [&] { w_.FrmEditData->EditNew(); }, minimise);
    WithModal(
        dialog, [&] { w_.FrmEditData->EditNew(); }, [&] { EXPECT_FALSE(dialog->isMinimized()); });
}

TEST_F(MainWindowTest, ConnectionToTheInstanceSocketWakesTheWindow) {
    Start({kA});
    ASSERT_FALSE(w_.FormMain->isVisible());
    WakeRunningInstance();
    QTRY_VERIFY_WITH_TIMEOUT(w_.FormMain->isVisible(), 3000);
    EXPECT_TRUE(Traced("TaskTray ReEntry"));
}

TEST_F(MainWindowTest, TrayMenuHoldsItsItems) {
    Start({kA});
    auto* menu = Find<QMenu>("PMenuTray");
    ASSERT_NE(menu, nullptr);
    const QList<QAction*> items = menu->actions();
    ASSERT_EQ(items.size(), 4);
    EXPECT_EQ(items[0]->objectName(), "N1");
    EXPECT_EQ(items[0]->text(), "設定ウインドウを開く...(&O)");
    EXPECT_EQ(items[1]->objectName(), "N3");
    EXPECT_EQ(items[1]->text(), "ログを表示...(&L)");
    EXPECT_EQ(items[2]->objectName(), "Vellomir1");
    EXPECT_EQ(items[2]->text(), "Vellomirについて...(&H)");
    EXPECT_EQ(items[3]->objectName(), "N2");
    EXPECT_EQ(items[3]->text(), "終了(&X)");
    items[0]->trigger();
    EXPECT_TRUE(w_.FormMain->isVisible());
    items[1]->trigger();
    EXPECT_TRUE(w_.FormMain->LogWindow()->isVisible());
}

} // namespace

namespace {

TEST_F(MainWindowTest, AboutBoxClosesWithEnterAsOk) {
    Start({kA});
    auto* about = static_cast<QDialog*>(w_.AboutBox);
    WithModal(
        about, [&] { Find<QAction>("Vellomir1")->trigger(); },
        [&] { QTest::keyClick(about, Qt::Key_Return); });
    EXPECT_EQ(about->result(), QDialog::Accepted);
}

// The order in which Tab walks a dialog's controls.
QStringList TabOrder(QWidget* first) {
    QStringList names;
    QWidget* w = first;
    do {
        if (w->focusPolicy() & Qt::TabFocus) {
            names << w->objectName();
        }
        w = w->nextInFocusChain();
    } while (w != first && names.size() < 30);
    return names;
}

TEST_F(MainWindowTest, DialogsTabThroughTheirControlsInOrder) {
    Start({kA});
    QWidget* edit = static_cast<QWidget*>(w_.FrmEditData);
    EXPECT_EQ(
        TabOrder(Edit(edit, "EditDomain")),
        (QStringList{"EditDomain",       "EditSMTP",         "ComboBoxMethod",  "EditUser",
                     "EditPasswd",       "ComboBoxProvider", "EditPort",        "ComboBoxSecurity",
                     "EditCAFile",       "ButtonCAFile",     "EditFingerprint", "EditClientId",
                     "EditClientSecret", "EditAuthUrl",      "EditTokenUrl",    "EditScope",
                     "ButtonSignIn",     "ButtonTest",       "ButtonOK",        "ButtonCancel"}));
    QWidget* option = static_cast<QWidget*>(w_.FrmOption);
    EXPECT_EQ(TabOrder(Edit(option, "EditPort")),
              (QStringList{"EditPort", "EditAddress", "CheckBoxAutostart", "CheckBoxKeyring",
                           "ButtonOK", "ButtonCancel"}));
}

} // namespace
