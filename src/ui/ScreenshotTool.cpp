// Renders the program's windows to PNG files for the documentation:
//   vellomir_screenshot OUTPUT_DIR
// Runs in a temporary working directory with a settings file of four sample entries, so the
// user's own settings are never read. A separate tool: the program itself takes no arguments.
#include <cstdio>
#include <iterator>
#include <string>
#include <unistd.h>
#include <utility>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>

#include "AppSetup.h"
#include "FormAbout.h"
#include "FormConnectionTest.h"
#include "FormEditData.h"
#include "FormLog.h"
#include "FormMain.h"
#include "FormOption.h"
#include "server/Server.h"

namespace {

const char* const kSampleSettings = R"([Program]
DebugWrite=0
Left=40
Top=40
Width=529
Height=280
[Option]
ListenAddress=127.0.0.1
ListenPort=%d
[Proxy]
Count=4
Domain000=example.jp
SMTP000=smtp.example.jp
Method000=1
User000=taro
Passwd000=c2VjcmV0
Port000=587
Security000=1
Domain001=mail.example.com
SMTP001=smtp.example.com
Method001=4
User001=hanako@example.com
Passwd001=c2VjcmV0
Port001=25
Domain002=example.org
SMTP002=192.0.2.10
Method002=2
User002=jiro
Passwd002=c2VjcmV0
Port002=465
Security002=2
Fingerprint002=3F:A2:9C:01:5B:77:E4:D0:12:8A:6C:F3:49:B5:0E:D7:21:9A:C4:68:0B:F1:5D:33:A7:E2:90:4C:16:8D:B9:5E
Domain003=contoso.example
SMTP003=smtp.office365.com
Method003=5
User003=saburo@contoso.example
Port003=587
Security003=1
OAuthAuthUrl003=https://login.microsoftonline.com/common/oauth2/v2.0/authorize
OAuthTokenUrl003=https://login.microsoftonline.com/common/oauth2/v2.0/token
OAuthClientId003=0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0
OAuthScope003=https://outlook.office.com/SMTP.Send offline_access
OAuthRefresh003=c2FtcGxl
)";

// A failed login as a provider that has SMTP AUTH turned off answers it.
const std::pair<bool, const char*> kSampleTest[] = {
    {false, "220 smtp.example.com ESMTP ready"},
    {true, "EHLO mypc"},
    {false, "250-smtp.example.com Hello"},
    {false, "250-SIZE 157286400"},
    {false, "250 STARTTLS"},
    {true, "STARTTLS"},
    {false, "220 2.0.0 SMTP server ready"},
    {true, "EHLO mypc"},
    {false, "250-smtp.example.com Hello"},
    {false, "250-AUTH LOGIN XOAUTH2"},
    {false, "250 8BITMIME"},
    {true, "AUTH LOGIN"},
    {false, "334 VXNlcm5hbWU6"},
    {true, "***"},
    {false, "334 UGFzc3dvcmQ6"},
    {true, "***"},
    {false, "535 5.7.139 Authentication unsuccessful, SmtpClientAuthentication is disabled "
            "for the Tenant."},
};

int FreePort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

// One mail client session for `domain` through the proxy, up to the proxy's answer to EHLO, so
// that the log window shows the trace lines of a real session.
void RunSession(int port, const char* domain) {
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, static_cast<quint16>(port));
    client.waitForConnected(2000);
    client.waitForReadyRead(2000);
    client.readAll();
    client.write(QByteArray("EHLO ") + domain + "\r\n");
    client.waitForReadyRead(10000);
    client.write("QUIT\r\n");
    client.waitForBytesWritten(1000);
}

bool Save(QWidget* window, const QString& path) {
    window->show();
    for (int i = 0; i < 5; ++i) {
        QApplication::processEvents();
        usleep(20000);
    }
    const bool ok = window->grab().save(path);
    std::printf("%s %s\n", ok ? "wrote" : "FAILED", qPrintable(path));
    return ok;
}

} // namespace

int main(int argc, char* argv[]) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT_DIR\n", argv[0]);
        return 2;
    }
    const QString outDir = QDir(QString::fromLocal8Bit(argv[1])).absolutePath();
    SelectHeadlessPlatform();
    QApplication app(argc, argv);
    ApplyProgramFont(app);
    app.setWindowIcon(ProgramIcon());

    QTemporaryDir work;
    QFile settings(work.filePath(QStringLiteral("Vellomir.ini")));
    if (!work.isValid() || !settings.open(QIODevice::WriteOnly)) {
        std::fprintf(stderr, "cannot create a working directory\n");
        return 1;
    }
    const int port = FreePort();
    settings.write(QString::asprintf(kSampleSettings, port).toUtf8());
    settings.close();
    QDir::setCurrent(work.path());
    qputenv("VELLOMIR_RUNTIME_DIR", work.path().toLocal8Bit());

    const ProgramWindows windows = CreateProgramWindows();
    bool ok = Save(windows.FormMain, outDir + QStringLiteral("/main-window.png"));

    // The entry with the most to show: TLS from the first byte and a pinned certificate.
    windows.FrmEditData->WorkEntry.Init(2);
    windows.FrmEditData->FillFields();
    ok = Save(windows.FrmEditData, outDir + QStringLiteral("/entry-dialog.png")) && ok;

    // The connection test's window over it, with a sample run.
    auto* test = new TFrmConnectionTest(windows.FrmEditData);
    for (const auto& [sent, line] : kSampleTest) {
        test->AddLine(sent, line);
    }
    test->Finish(false, std::string("login: ") + kSampleTest[std::size(kSampleTest) - 1].second);
    ok = Save(test, outDir + QStringLiteral("/connection-test.png")) && ok;
    test->close();
    windows.FrmEditData->hide();

    // An entry that signs in with XOAUTH2 at Microsoft.
    windows.FrmEditData->WorkEntry.Init(3);
    windows.FrmEditData->FillFields();
    ok = Save(windows.FrmEditData, outDir + QStringLiteral("/entry-dialog-xoauth2.png")) && ok;
    windows.FrmEditData->hide();

    ok = Save(windows.FrmOption, outDir + QStringLiteral("/options-dialog.png")) && ok;
    windows.FrmOption->hide();

    ok = Save(windows.AboutBox, outDir + QStringLiteral("/about-box.png")) && ok;
    windows.AboutBox->hide();

    // The log window over a session whose upstream cannot be reached (a documentation
    // address), with a short connect deadline so the tool does not wait half a minute.
    EngineDeadlines deadlines = engineDeadlines();
    deadlines.connectMillis = 1500;
    setEngineDeadlines(deadlines);
    TFormLog* log = windows.FormMain->LogWindow();
    log->Open();
    RunSession(port, "example.org");
    log->TakeLines();
    ok = Save(log, outDir + QStringLiteral("/log-window.png")) && ok;
    log->hide();

    serverStop();
    std::fflush(nullptr);
    _exit(ok ? 0 : 1);
}
