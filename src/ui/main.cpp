// Vellomir: the tray-resident SMTP authentication proxy. Takes no command-line arguments.
#include <exception>
#include <unistd.h>

#include <QApplication>
#include <QMessageBox>

#include "AppSetup.h"
#include "FormMain.h"
#include "ShutdownSignals.h"
#include "diag/ProcessProtection.h"
#include "diag/Proginit.h"
#include "server/Server.h"

namespace {

// Headless nobody could close a message box, so the text goes to standard error there.
void ReportStartFailure(const QString& text) {
    if (IsHeadlessPlatform()) {
        TellStandardError(text.toStdString());
    } else {
        QMessageBox::critical(nullptr, QStringLiteral("Vellomir"), text);
    }
}

} // namespace

int main(int argc, char* argv[]) {
    ProtectProcessMemory();
    // A second start wakes the first instance and ends before anything is read or written.
    if (IsAlreadyRunning()) {
        return 0;
    }
    // Each mail client holds two sockets.
    raiseDescriptorLimit();
    SelectHeadlessPlatform();
    QApplication app(argc, argv);
    app.setQuitOnLastWindowClosed(false);
    ApplyProgramFont(app);
    app.setWindowIcon(ProgramIcon());
    // Installed before the windows exist, so that a SIGTERM during start-up waits for the event
    // loop and then runs the exit sequence, instead of killing the process half-started.
    TFormMain* formMain = nullptr;
    InstallShutdownSignals([&formMain] {
        if (formMain == nullptr) {
            ::_exit(0); // start-up failed; only its error box is up
        }
        formMain->ExitProgram();
    });
    try {
        const ProgramWindows windows = CreateProgramWindows();
        formMain = windows.FormMain;
        // Headless nobody sees the status bar, and a proxy that serves nothing is no use.
        if (IsHeadlessPlatform() && !windows.FormMain->ListenError.empty()) {
            TellStandardError(windows.FormMain->ListenError);
            windows.FormMain->ExitOnListenFailure();
        }
        return app.exec();
    } catch (const std::exception& error) {
        ReportStartFailure(QString::fromUtf8(error.what()));
    } catch (...) {
        ReportStartFailure(QString());
    }
    return 0;
}
