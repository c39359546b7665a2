// Where the per-user lock file and wake-up socket of the running instance live.
#include "diag/Proginit.h"

#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool IsDirectory(const char* path) {
    struct stat info {};
    return stat(path, &info) == 0 && S_ISDIR(info.st_mode);
}

const char* NonEmptyVariable(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && value[0] != '\0' ? value : nullptr;
}

std::string RuntimeDirectory() {
    if (const char* override = NonEmptyVariable("VELLOMIR_RUNTIME_DIR")) {
        return override;
    }
    for (const char* name : {"XDG_RUNTIME_DIR", "TMPDIR"}) {
        const char* value = NonEmptyVariable(name);
        if (value != nullptr && IsDirectory(value)) {
            return value;
        }
    }
    return "/tmp";
}

std::string InstancePath(const char* suffix) {
    std::string path = RuntimeDirectory();
    if (path.back() != '/') {
        path += '/';
    }
    return path + "vellomir-" + std::to_string(getuid()) + suffix;
}

} // namespace

std::string InstanceLockPath() {
    return InstancePath(".lock");
}

std::string InstanceSocketPath() {
    return InstancePath(".sock");
}
