// What the desktop program tells the user around the proxy: the tray's tooltip and warning mark
// after real sessions against a refusing and then an accepting upstream, the rotated refresh
// tokens it stores, the log window's live trace, the start-at-login entry of the options dialog,
// and which listening addresses other machines can reach.
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <thread>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>

#include "Autostart.h"
#include "FaultUpstream.h"
#include "FormLog.h"
#include "FormOption.h"
#include "ListenCheck.h"
#include "LoopbackSocket.h"
#include "UiFixture.h"
#include "config/Inifile.h"
#include "diag/Proginit.h"
#include "server/Server.h"

namespace {

using uitest::UiTest;

// Runs the event loop until `done` holds or five seconds have passed.
template <typename Condition> bool Eventually(Condition done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!done() && std::chrono::steady_clock::now() < deadline) {
        QApplication::processEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return done();
}

std::string FileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

using ReportsTest = UiTest;

TEST_F(ReportsTest, TrayShowsTheLastSessionOfEachEntryAndWarnsUntilItsNextSuccess) {
    FaultUpstream upstream("taro", "secret");
    Start({{"a.example", "127.0.0.1", 2, "taro", "wrong", upstream.port()}});
    const auto session = [&] {
        const int client = testsupport::connectLoopback(listenPort_);
        testsupport::readLine(client);
        testsupport::sendText(client, "EHLO a.example\r\n");
        const std::string reply = testsupport::readLine(client);
        testsupport::sendText(client, "QUIT\r\n");
        testsupport::closeSocketQuietly(client);
        return reply;
    };
    EXPECT_EQ(session().rfind("550 ", 0), 0u);
    ASSERT_TRUE(Eventually([&] { return w_.FormMain->TrayWarning(); }));
    const QString tip = w_.FormMain->TrayToolTip();
    EXPECT_TRUE(tip.contains(QStringLiteral("待受: 127.0.0.1:%1").arg(listenPort_)))
        << tip.toStdString();
    EXPECT_TRUE(tip.contains(QStringLiteral("a.example"))) << tip.toStdString();
    EXPECT_TRUE(tip.contains(QStringLiteral("失敗: 535 5.7.8 refused"))) << tip.toStdString();
    EXPECT_FALSE(tip.contains(QStringLiteral("wrong")));

    // The user corrects the password; the entry's next session clears the mark.
    ProxyData entry = ProxyList.At(0);
    entry.Passwd = "secret";
    w_.FormMain->ReplaceEntryRow(entry);
    EXPECT_TRUE(w_.FormMain->TrayWarning()) << "same entry: its failure stands until a success";
    EXPECT_EQ(session().rfind("250 ", 0), 0u);
    ASSERT_TRUE(Eventually([&] { return !w_.FormMain->TrayWarning(); }));
    EXPECT_TRUE(w_.FormMain->TrayToolTip().contains(QStringLiteral("a.example")));
    EXPECT_TRUE(w_.FormMain->TrayToolTip().contains(QStringLiteral("送信済み")));
}

TEST_F(ReportsTest, RotatedRefreshTokenReachesTheSettingsFile) {
    WriteSettings({{"a.example", "smtp.a.example", 5, "u", "", 587}});
    std::ofstream("Vellomir.ini", std::ios::app) << "OAuthRefresh000=b2xk\n"; // "old"
    Start();
    EngineEvent rotated;
    rotated.kind = EngineEvent::Kind::RefreshTokenRotated;
    rotated.entryIndex = 0;
    rotated.domain = "a.example";
    rotated.user = "u";
    rotated.oldRefreshToken = "old";
    rotated.newRefreshToken = "new";
    engineServices().events.push(rotated);
    EXPECT_TRUE(Eventually([&] { return Key("Proxy", "OAuthRefresh000") == "bmV3"; }));
}

TEST_F(ReportsTest, LogWindowShowsTraceLinesWithDebugWriteZeroAndStopsTappingWhenClosed) {
    Start({{"a.example", "smtp.a.example", 1, "u", "p", 25}});
    QTest::mouseClick(Link("StaticTextLog"), Qt::LeftButton);
    TFormLog* log = w_.FormMain->LogWindow();
    ASSERT_TRUE(log->isVisible() && log->Tapping());
    auto* choice = log->findChild<QComboBox*>(QStringLiteral("ComboBoxDebugWrite"));
    EXPECT_EQ(choice->currentIndex(), 2);
    choice->setCurrentIndex(0);
    emit choice->activated(0); // as a user's choice in the list
    EXPECT_EQ(Key("Program", "DebugWrite"), "0");
    EXPECT_EQ(Ini.DebugWrite, 0);

    DebugLog("probe line %d", 42);
    auto* memo = log->findChild<QPlainTextEdit*>(QStringLiteral("MemoLog"));
    EXPECT_TRUE(Eventually([&] { return memo->toPlainText().contains("probe line 42"); }));
    EXPECT_FALSE(Traced("probe line 42")) << "the file output is off";

    log->close();
    EXPECT_FALSE(log->Tapping());
    EXPECT_FALSE(DebugEnabled()) << "closed, tracing costs one atomic load again";
}

TEST_F(ReportsTest, StartAtLoginWritesAndRemovesTheAutostartEntryForThisDirectory) {
    const std::string config = std::getenv("XDG_CONFIG_HOME"); // the fixture's own
    Start({{"a.example", "smtp.a.example", 1, "u", "p", 25}});
    const std::string file = config + "/autostart/vellomir.desktop";
    const auto setBox = [&](bool on) {
        WithModal(
            w_.FrmOption, [&] { w_.FrmOption->exec(); },
            [&] {
                auto* box =
                    w_.FrmOption->findChild<QCheckBox*>(QStringLiteral("CheckBoxAutostart"));
                EXPECT_EQ(box->isChecked(), !on) << "shows the file's state";
                box->setChecked(on);
                QTest::mouseClick(Button(w_.FrmOption, "ButtonOK"), Qt::LeftButton);
            });
    };
    setBox(true);
    const std::string text = FileText(file);
    const std::string program = QCoreApplication::applicationFilePath().toStdString();
    EXPECT_NE(text.find("\nExec=\"" + program + "\"\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\nPath=" + Ini.CurrentDir + "\n"), std::string::npos) << text;
    setBox(false);
    EXPECT_FALSE(QFile::exists(QString::fromStdString(file)));

    // Quotes, "%" and backslashes survive the desktop entry's two levels of escaping.
    EXPECT_NE(AutostartEntry("/opt/a b/v%\"\\", "/w\\d")
                  .find("Exec=\"/opt/a b/v%%\\\\\"\\\\\\\\\"\n"
                        "Path=/w\\\\d\n"),
              std::string::npos);
}

TEST(ListenCheck, IPv6LiteralsOtherThanLoopbackAreOpenToOtherMachines) {
    const std::pair<const char*, bool> rows[] = {
        {"::1", false}, {"::ffff:127.0.0.1", false}, {"127.0.0.1", false},
        {"::", true},   {"::ffff:192.0.2.1", true},  {"2001:db8::1", true},
    };
    for (const auto& [address, open] : rows) {
        EXPECT_EQ(OpenToOtherMachines(address), open) << address;
    }
}

} // namespace
