// The options dialog: validity, and OK saving the listening address and port and moving the
// listener there, with the status-bar message when the port cannot be opened, after a question
// for an address that other machines can reach.
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>

#include "FormMain.h"
#include "FormOption.h"
#include "UiFixture.h"
#include "config/Inifile.h"
#include "server/Server.h"

namespace {

using uitest::FreePort;
using uitest::UiTest;

const char* const kPortMessage =
    "ローカルポートがオープンできません。オプション設定を見直してください。";

// The greeting of a listener on `port`, or an empty text when nobody answers there.
std::string Greeting(int port) {
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, static_cast<quint16>(port));
    if (!client.waitForConnected(2000)) {
        return {};
    }
    std::string text;
    while (text.find('\n') == std::string::npos && client.waitForReadyRead(2000)) {
        text += client.readAll().toStdString();
    }
    return text;
}

class OptionDialogTest : public UiTest {
  protected:
    void SetUp() override {
        UiTest::SetUp();
        Start({{"a.example", "smtp.a.example", 1, "u", "p", 25}});
        dlg_ = w_.FrmOption;
    }
    QLineEdit* E(const char* name) const { return Edit(dlg_, name); }
    // Opens the dialog, types the port over the shown one and presses OK.
    void SetPort(int port) {
        WithModal(
            dlg_, [&] { QTest::mouseClick(Link("StaticTextLocalPort"), Qt::LeftButton); },
            [&] {
                E("EditPort")->selectAll();
                QTest::keyClicks(E("EditPort"), QString::number(port));
                QTest::mouseClick(Button(dlg_, "ButtonOK"), Qt::LeftButton);
            });
    }
    TFrmOption* dlg_ = nullptr;
};

TEST_F(OptionDialogTest, OkFollowsAddressAndPort) {
    const struct {
        const char* address;
        const char* port;
        bool ok;
    } rows[] = {
        {"127.0.0.1", "25", true},    {"", "25", false},
        {"localhost", "0", false},    {"localhost", "", false},
        {"localhost", "70000", true}, {"localhost", "4294967296", false},
    };
    WithModal(
        dlg_, [&] { dlg_->exec(); },
        [&] {
            EXPECT_EQ(E("EditPort")->text(), QString::number(listenPort_)) << "filled on show";
            EXPECT_EQ(E("EditAddress")->text(), "127.0.0.1");
            for (const auto& row : rows) {
                E("EditAddress")->setText(QString::fromLatin1(row.address));
                E("EditPort")->setText(QString::fromLatin1(row.port));
                EXPECT_EQ(Button(dlg_, "ButtonOK")->isEnabled(), row.ok)
                    << row.address << ":" << row.port;
            }
            E("EditAddress")->setText(QString(300, QLatin1Char('a')));
            EXPECT_FALSE(Button(dlg_, "ButtonOK")->isEnabled()) << "would be cut at the next load";
        });
}

TEST_F(OptionDialogTest, OkMovesTheListenerToTheNewPort) {
    ASSERT_EQ(Greeting(listenPort_).rfind("220 SMTP Proxy", 0), 0u);
    const int newPort = FreePort();
    SetPort(newPort);
    EXPECT_EQ(Key("Option", "ListenPort"), std::to_string(newPort));
    EXPECT_EQ(Key("Option", "ListenAddress"), "127.0.0.1");
    EXPECT_EQ(Ini.ListenPort, newPort);
    EXPECT_EQ(Greeting(newPort).rfind("220 SMTP Proxy", 0), 0u);
    EXPECT_EQ(Greeting(listenPort_), "") << "the old port is closed";
    EXPECT_TRUE(w_.FormMain->StatusText().isEmpty());
    EXPECT_TRUE(serverIsRunning());
    // OK with unchanged values restarts the listener on the same port.
    SetPort(newPort);
    EXPECT_EQ(Greeting(newPort).rfind("220 SMTP Proxy", 0), 0u);
}

TEST_F(OptionDialogTest, PortThatCannotBeOpenedShowsTheMessage) {
    QTcpServer holder;
    ASSERT_TRUE(holder.listen(QHostAddress::LocalHost, 0));
    ASSERT_FALSE(w_.FormMain->isVisible());
    const struct {
        int port;
        const char* why;
    } rows[] = {{holder.serverPort(), "taken by another program"},
                {70000, "typed, but no TCP port"}};
    for (const auto& row : rows) {
        SetPort(row.port);
        EXPECT_EQ(w_.FormMain->StatusText(), QString::fromUtf8(kPortMessage)) << row.why;
        EXPECT_TRUE(w_.FormMain->isVisible()) << row.why;
        EXPECT_FALSE(serverIsRunning()) << row.why;
        EXPECT_EQ(Key("Option", "ListenPort"), std::to_string(row.port)) << "saved anyway";
    }
    // After the failure a later OK with a free port opens the listener and clears the message.
    const int freePort = FreePort();
    SetPort(freePort);
    EXPECT_TRUE(w_.FormMain->StatusText().isEmpty());
    EXPECT_EQ(Greeting(freePort).rfind("220 SMTP Proxy", 0), 0u);
}

TEST_F(OptionDialogTest, AddressOtherMachinesReachIsSavedOnlyWhenConfirmed) {
    // 192.0.2.1 (documentation range) is no address of this machine: nothing ever listens there.
    const auto okAnswering = [&](QMessageBox::StandardButton answer) {
        QTimer::singleShot(0, dlg_, [answer] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            ASSERT_NE(box, nullptr) << "no question";
            box->button(answer)->click();
        });
        QTest::mouseClick(Button(dlg_, "ButtonOK"), Qt::LeftButton);
    };
    WithModal(
        dlg_, [&] { dlg_->exec(); },
        [&] {
            E("EditAddress")->setText("192.0.2.1");
            okAnswering(QMessageBox::No);
            EXPECT_TRUE(dlg_->isVisible() && Key("Option", "ListenAddress") == "127.0.0.1");
            okAnswering(QMessageBox::Yes);
        });
    EXPECT_EQ(Key("Option", "ListenAddress"), "192.0.2.1");
    EXPECT_TRUE(Traced("Warning: ListenAddress 192.0.2.1 is not a loopback address: every machine "
                       "that can reach it can send mail through the stored accounts"));
}

TEST_F(OptionDialogTest, CancelLeavesSettingsAndListenerAlone) {
    const std::string before = SettingsText();
    WithModal(
        dlg_, [&] { dlg_->exec(); },
        [&] {
            E("EditPort")->setText("1");
            E("EditAddress")->setText("elsewhere");
            QTest::mouseClick(Button(dlg_, "ButtonCancel"), Qt::LeftButton);
        });
    EXPECT_EQ(SettingsText(), before);
    EXPECT_EQ(Greeting(listenPort_).rfind("220 SMTP Proxy", 0), 0u);
    WithModal(
        dlg_, [&] { dlg_->exec(); },
        [&] { EXPECT_EQ(E("EditPort")->text(), QString::number(listenPort_)); });
}

} // namespace
