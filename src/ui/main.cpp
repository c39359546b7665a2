// Vellomir: the tray-resident SMTP authentication proxy. Takes no command-line arguments.
#include <exception>

#include <QApplication>
#include <QMessageBox>

#include "AppSetup.h"
#include "FormMain.h"
#include "ShutdownSignals.h"
#include "diag/Proginit.h"
#include "server/Server.h"

int main(int argc, char* argv[]) {
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
        const ProgramWindows windows = CreateProgramWindows();
        InstallShutdownSignals([form = windows.FormMain] { form->ExitProgram(); });
        return app.exec();
    } catch (const std::exception& error) {
        QMessageBox::critical(nullptr, QStringLiteral("Vellomir"), QString::fromUtf8(error.what()));
    } catch (...) {
        QMessageBox::critical(nullptr, QStringLiteral("Vellomir"), QString());
    }
    return 0;
}
