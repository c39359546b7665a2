// Vellomir: the tray-resident SMTP authentication proxy. Takes no command-line arguments.
#include <cstdio>
#include <exception>

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
        std::fprintf(stderr, "Vellomir: %s\n", qPrintable(text));
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
    try {
        // Taken before the windows exist, so that a SIGTERM during start-up still ends the
        // program through ExitProgram; the notifier fires only once the event loop runs.
        TFormMain* formMain = nullptr;
        InstallShutdownSignals([&formMain] {
            if (formMain != nullptr) {
                formMain->ExitProgram();
            }
        });
        const ProgramWindows windows = CreateProgramWindows();
        formMain = windows.FormMain;
        return app.exec();
    } catch (const std::exception& error) {
        ReportStartFailure(QString::fromUtf8(error.what()));
    } catch (...) {
        ReportStartFailure(QString());
    }
    return 0;
}
