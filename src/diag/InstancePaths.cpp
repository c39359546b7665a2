// Where the per-user lock file and wake-up socket of the running instance live.
#include "diag/Proginit.h"

#include <cerrno>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char* NonEmptyVariable(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && value[0] != '\0' ? value : nullptr;
}

// A directory, not a link, of the user's own, that nobody else may enter or change.
bool IsPrivateDirectory(const std::string& path) {
    struct stat info {};
    return lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == geteuid() &&
           (info.st_mode & (S_IRWXG | S_IRWXO)) == 0;
}

bool IsDirectory(const char* path) {
    struct stat info {};
    return stat(path, &info) == 0 && S_ISDIR(info.st_mode);
}

// "<base>/vellomir-<uid>", made mode 0700 if it is not there. Another user may have made it
// first in a shared /tmp: then it is not trusted, and "" stands for "no place".
std::string PrivateDirectoryIn(std::string base) {
    if (base.back() != '/') {
        base += '/';
    }
    const std::string path = base + "vellomir-" + std::to_string(getuid());
    if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        return "";
    }
    return IsPrivateDirectory(path) ? path : "";
}

std::string RuntimeDirectory() {
    if (const char* override = NonEmptyVariable("VELLOMIR_RUNTIME_DIR")) {
        return override;
    }
    // A session's own runtime directory; after su or sudo it may still name another user's.
    if (const char* runtime = NonEmptyVariable("XDG_RUNTIME_DIR")) {
        if (IsPrivateDirectory(runtime)) {
            return runtime;
        }
    }
    const char* temporary = NonEmptyVariable("TMPDIR");
    return PrivateDirectoryIn(temporary != nullptr && IsDirectory(temporary) ? temporary : "/tmp");
}

std::string InstancePath(const char* suffix) {
    std::string path = RuntimeDirectory();
    if (path.empty()) {
        return "";
    }
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
