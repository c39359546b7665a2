#include "UiFixture.h"

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <sys/stat.h>

#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTcpServer>
#include <QTimer>

#include "FormMain.h"
#include "config/Inifile.h"
#include "config/ProfileFile.h"
#include "diag/Proginit.h"
#include "server/Server.h"

namespace uitest {

int FreePort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

std::vector<QString> Cells(const Entry& e, const char* methodName) {
    return {QString::fromStdString(e.domain), QString::fromStdString(e.smtp),
            QString::fromLatin1(methodName), QString::fromStdString(e.user),
            QString::number(e.port)};
}

void UiTest::SetUp() {
    ASSERT_TRUE(dir_.isValid());
    oldDir_ = QDir::currentPath();
    QDir::setCurrent(dir_.path());
    setenv("VELLOMIR_RUNTIME_DIR", dir_.path().toLocal8Bit().constData(), 1);
    // The options dialog's OK writes or removes an autostart entry: never the user's own.
    setenv("XDG_CONFIG_HOME", dir_.filePath(QStringLiteral("config")).toLocal8Bit().constData(), 1);
    listenPort_ = FreePort();
}

void UiTest::TearDown() {
    delete w_.FormMain;
    w_ = {};
    serverStop();
    DebugResetForTest();
    QDir::setCurrent(oldDir_);
}

void UiTest::WriteSettings(const std::vector<Entry>& entries, const std::string& extra) {
    std::ofstream out("Vellomir.ini", std::ios::binary);
    out << "[Program]\nDebugWrite=2\n"
        << extra << "[Option]\nListenAddress=127.0.0.1\n"
        << "ListenPort=" << listenPort_ << "\n[Proxy]\nCount=" << entries.size() << "\n";
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const Entry& e = entries[i];
        char n[32];
        std::snprintf(n, sizeof n, "%03zu", i);
        out << "Domain" << n << "=" << e.domain << "\nSMTP" << n << "=" << e.smtp << "\nMethod" << n
            << "=" << e.method << "\nUser" << n << "=" << e.user << "\nPasswd" << n << "="
            << QByteArray::fromStdString(e.passwd).toBase64().toStdString() << "\nPort" << n << "="
            << e.port << "\n";
        if (e.security != 0) {
            out << "Security" << n << "=" << e.security << "\n";
        }
    }
    out.close();
    // As the program makes it: a file others can read is reported at start.
    ::chmod("Vellomir.ini", 0600);
}

void UiTest::Start() {
    w_ = CreateProgramWindows();
}

std::string UiTest::SettingsText() const {
    std::ifstream in(dir_.filePath(QStringLiteral("Vellomir.ini")).toStdString(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string UiTest::Key(const std::string& section, const std::string& key) const {
    ProfileFile file(dir_.filePath(QStringLiteral("Vellomir.ini")).toStdString());
    return file.Read(section, key);
}

std::vector<std::string> UiTest::Trace() const {
    std::ifstream in(dir_.filePath(QString::fromLatin1(kDiagnosticFile)).toStdString(),
                     std::ios::binary);
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        lines.push_back(line);
    }
    return lines;
}

bool UiTest::Traced(const std::string& line) const {
    for (const std::string& l : Trace()) {
        if (l == line) {
            return true;
        }
    }
    return false;
}

QLineEdit* UiTest::Edit(QWidget* dialog, const char* name) const {
    return dialog->findChild<QLineEdit*>(QString::fromLatin1(name));
}

QPushButton* UiTest::Button(QWidget* dialog, const char* name) const {
    return dialog->findChild<QPushButton*>(QString::fromLatin1(name));
}

QLabel* UiTest::Link(const char* name) const {
    return Find<QLabel>(name);
}

void UiTest::WithModal(QDialog* dialog, const std::function<void()>& open,
                       const std::function<void()>& act) {
    bool ran = false;
    QTimer timer; // dies with this call, so a dialog that never opens leaves nothing pending
    timer.setSingleShot(true);
    QObject::connect(&timer, &QTimer::timeout, dialog, [&] {
        ran = true;
        EXPECT_TRUE(dialog->isVisible()) << "the dialog did not open modally";
        act();
        if (dialog->isVisible()) {
            dialog->reject();
        }
    });
    timer.start(0);
    open();
    EXPECT_TRUE(ran) << "the dialog was not shown";
    EXPECT_FALSE(dialog->isVisible());
}

std::vector<QString> UiTest::Row(int r) const {
    std::vector<QString> row;
    for (int col = 0; col < 5; ++col) {
        row.push_back(w_.FormMain->GridCell(col, r));
    }
    return row;
}

} // namespace uitest
