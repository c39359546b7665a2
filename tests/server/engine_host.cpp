// Runs the engine alone, without the desktop program, for end-to-end tests and benchmarks:
// reads Vellomir.ini in the working directory, sets up the diagnostic channel as the program's
// start-up does, opens and starts the listener, prints "listening" and serves until SIGTERM or
// SIGINT. Exit status 2 when the listening port cannot be opened.
// VELLOMIR_DEADLINES_MS="connect,handshake,reply[,clientIdle]" shortens the engine's deadlines,
// so tests see a deadline end a session in seconds.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <pthread.h>

#include "Limits.h"
#include "config/Inifile.h"
#include "diag/ProcessProtection.h"
#include "diag/Proginit.h"
#include "server/Server.h"
#include "server/TokenStore.h"

namespace {

void shortenDeadlines() {
    const char* setting = std::getenv("VELLOMIR_DEADLINES_MS");
    if (setting == nullptr) {
        return;
    }
    EngineDeadlines deadlines = engineDeadlines();
    int* fields[] = {&deadlines.connectMillis, &deadlines.handshakeMillis, &deadlines.replyMillis,
                     &deadlines.clientIdleMillis};
    const char* cursor = setting;
    for (int* field : fields) {
        char* end = nullptr;
        const long value = std::strtol(cursor, &end, 10);
        if (end == cursor) {
            break;
        }
        *field = static_cast<int>(value);
        cursor = *end == ',' ? end + 1 : end;
    }
    setEngineDeadlines(deadlines);
}

} // namespace

int main() {
    // Every thread inherits the blocked signals, so only sigtimedwait below takes them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    ProtectProcessMemory();
    shortenDeadlines();
    Ini.Load();
    DebugSetupFromSetting(Ini.DebugWrite);
    DebugLog("Start:");
    if (!serverOpen(Ini.ListenAddress.c_str(), Ini.ListenPort)) {
        std::fprintf(stderr, "cannot open %s:%d\n", Ini.ListenAddress.c_str(), Ini.ListenPort);
        return 2;
    }
    serverStart();
    std::printf("listening\n");
    std::fflush(stdout);

    // Events of the sessions: failures go to standard error as the headless desktop program
    // shows them, rotated refresh tokens to the settings file.
    const auto takeEvents = [] {
        for (const EngineEvent& event : engineServices().events.take()) {
            if (event.kind == EngineEvent::Kind::SessionFailed) {
                std::fprintf(stderr, "%s\n", describeFailure(event).c_str());
            } else if (event.kind == EngineEvent::Kind::RefreshTokenRotated) {
                storeRotatedRefreshToken(event);
            }
        }
    };
    const timespec period{0, limits::kPollMillis * 1000L * 1000L};
    while (sigtimedwait(&stopSignals, nullptr, &period) < 0) {
        takeEvents();
    }
    takeEvents(); // what came in the last period, a rotated token too
    serverStop();
    // Sessions in progress end with the process, as they do in the desktop program.
    std::fflush(nullptr);
    std::_Exit(0);
}
