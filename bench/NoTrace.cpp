// The diagnostic channel's entry points with nothing behind them. Linked ahead of the engine
// library, they stand in for the real channel, which gives a proxy built as if it had no trace
// calls: the floor against which the cost of a channel that is off is measured.
#include "diag/Proginit.h"

void DebugSetup(int) {}
void DebugSetup(int, const char*, int) {}
void DebugSetup(int, int, const char*) {}
void DebugSetup(int, const char*) {}
void DebugLog(const char*, ...) {}
void DebugLogRaw(const char*, ...) {}
void DebugLogEarly(const char*, ...) {}
bool DebugEnabled() {
    return false;
}
void DebugResetForTest() {}
