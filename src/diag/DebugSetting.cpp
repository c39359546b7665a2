// Maps the settings value DebugWrite to a set-up of the diagnostic channel.
#include "diag/Proginit.h"

void DebugSetupFromSetting(int debugWrite) {
    switch (debugWrite) {
    case 1:
        DebugSetup(DebugUdp, kDiagnosticPort, kDiagnosticHost);
        break;
    case 2:
        DebugSetup(DebugFile, kDiagnosticFile);
        break;
    case 3:
        DebugSetup(DebugDebugger);
        break;
    default:
        // Off (the serial port is never chosen from the settings). At start-up the channel is
        // off already; later, the log window's choice of 0 switches it off.
        DebugSetup(DebugOff);
        break;
    }
}
