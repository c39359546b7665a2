#include "diag/ProcessProtection.h"

#include <cerrno>
#include <cstring>
#include <sys/prctl.h>
#include <sys/resource.h>

#include "diag/Proginit.h"

void ProtectProcessMemory() {
    rlimit none{0, 0};
    if (setrlimit(RLIMIT_CORE, &none) != 0) {
        DebugLog("CoreLimitError: %s", std::strerror(errno));
    }
    if (prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) != 0) {
        DebugLog("DumpableError: %s", std::strerror(errno));
    }
}
