#include "config/PrivateFile.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "Limits.h"

namespace privatefile {
namespace {

std::string DirectoryOf(const std::string& path) {
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string BaseOf(const std::string& path) {
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Temporary files of a save are "<folder>/.<name>.save-XXXXXX": hidden, and named so that no
// file of the user's own is ever taken for one.
constexpr char kTempMark[] = ".save-";
constexpr std::size_t kTempRandom = 6; // the X's of mkstemp

std::string TempPrefix(const std::string& target) {
    return "." + BaseOf(target) + kTempMark;
}

// Where `path` leads: the path itself, or the end of a chain of links that all belong to the
// user. `exists` false: nothing is there yet, and a new file goes to `target`.
bool Resolve(const std::string& path, std::string& target, struct stat& info, bool& exists,
             std::string& error) {
    const uid_t user = ::geteuid();
    target = path;
    for (int hop = 0;; ++hop) {
        if (::lstat(target.c_str(), &info) != 0) {
            if (errno != ENOENT) {
                error = std::strerror(errno);
                return false;
            }
            exists = false;
            return true;
        }
        if (!S_ISLNK(info.st_mode)) {
            exists = true;
            if (hop > 0 && info.st_uid != user) {
                error = "link leads to a file of another user";
                return false;
            }
            return true;
        }
        if (info.st_uid != user) {
            error = "link of another user";
            return false;
        }
        if (hop >= limits::kLinkHopsMax) {
            error = std::strerror(ELOOP);
            return false;
        }
        std::vector<char> link(PATH_MAX);
        ssize_t length = ::readlink(target.c_str(), link.data(), link.size());
        if (length < 0 || static_cast<std::size_t>(length) >= link.size()) {
            error = length < 0 ? std::strerror(errno) : std::strerror(ENAMETOOLONG);
            return false;
        }
        std::string next(link.data(), static_cast<std::size_t>(length));
        target = next.front() == '/' ? next : DirectoryOf(target) + "/" + next;
    }
}

bool ReadOnly(const std::string& target, const struct stat& info) {
    if (info.st_uid == ::geteuid()) {
        return (info.st_mode & S_IWUSR) == 0;
    }
    // Root may write anything: a file without any write bit still counts as read-only.
    return (info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0 ||
           ::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0;
}

bool WriteAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool ReadFd(int fd, std::size_t expected, std::string& text) {
    // Room for the whole file at once, and one byte more to see its end: growing the buffer
    // would leave copies of the passwords in freed memory.
    text.assign(expected + 1, '\0');
    std::size_t size = 0;
    for (;;) {
        if (size == text.size()) {
            text.resize(text.size() * 2); // the file grew while being read
        }
        ssize_t n = ::read(fd, text.data() + size, text.size() - size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return false;
        }
        if (n == 0) {
            break;
        }
        size += static_cast<std::size_t>(n);
    }
    explicit_bzero(text.data() + size, text.size() - size);
    text.resize(size);
    return true;
}

} // namespace

ReadOutcome Read(const std::string& path, std::string& text) {
    ReadOutcome outcome;
    text.clear();
    std::string target;
    struct stat info {};
    bool exists = false;
    if (!Resolve(path, target, info, exists, outcome.error)) {
        return outcome;
    }
    if (!exists) {
        outcome.ok = true;
        return outcome;
    }
    int fd = ::open(target.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        outcome.ok = errno == ENOENT; // gone since the look: as if it had never been there
        if (!outcome.ok) {
            outcome.error = std::strerror(errno);
        }
        return outcome;
    }
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        outcome.error = "not a regular file";
    } else if (target != path && info.st_uid != ::geteuid()) {
        outcome.error = "link leads to a file of another user"; // swapped since the look
    } else if (!ReadFd(fd, static_cast<std::size_t>(info.st_size), text)) {
        outcome.error = std::strerror(errno);
    } else {
        outcome.ok = true;
        outcome.exposed = (info.st_mode & (S_IRGRP | S_IROTH)) != 0;
    }
    ::close(fd);
    return outcome;
}

bool Replace(const std::string& path, const std::string& text,
             const std::function<void()>& beforeRename, std::string& error) {
    if (path.empty()) {
        error = "no settings path";
        return false;
    }
    std::string target;
    struct stat info {};
    bool exists = false;
    if (!Resolve(path, target, info, exists, error)) {
        return false;
    }
    if (exists && !S_ISREG(info.st_mode)) {
        error = "not a regular file";
        return false;
    }
    if (exists && ReadOnly(target, info)) {
        error = "read-only file left as it is";
        return false;
    }

    std::string temp = DirectoryOf(target) + "/" + TempPrefix(target) + "XXXXXX";
    int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) {
        error = std::strerror(errno);
        return false;
    }
    bool ok = ::fchmod(fd, 0600) == 0;
    if (ok && exists && info.st_uid != ::geteuid() && ::fchown(fd, info.st_uid, info.st_gid)) {
        // Only a privileged process may give the file back to its owner; keeping it is fine.
    }
    ok = ok && WriteAll(fd, text) && ::fsync(fd) == 0;
    int err = errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        err = errno;
    }
    if (ok && beforeRename) {
        beforeRename();
    }
    if (ok && ::rename(temp.c_str(), target.c_str()) != 0) {
        ok = false;
        err = errno;
    }
    if (!ok) {
        ::unlink(temp.c_str());
        error = std::strerror(err);
        return false;
    }
    int dir = ::open(DirectoryOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0 || ::fsync(dir) != 0) {
        error = std::string("saved, but the folder was not synced: ") + std::strerror(errno);
    }
    if (dir >= 0) {
        ::close(dir);
    }
    return true;
}

void RemoveLeftovers(const std::string& path) {
    std::string target;
    std::string error;
    struct stat info {};
    bool exists = false;
    if (!Resolve(path, target, info, exists, error)) {
        return;
    }
    DIR* folder = ::opendir(DirectoryOf(target).c_str());
    if (folder == nullptr) {
        return;
    }
    const std::string prefix = TempPrefix(target);
    while (const dirent* item = ::readdir(folder)) {
        const std::string name = item->d_name;
        if (name.size() != prefix.size() + kTempRandom || name.compare(0, prefix.size(), prefix)) {
            continue;
        }
        // Only the user's own regular files: never anything another user put there.
        if (::fstatat(::dirfd(folder), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISREG(info.st_mode) && info.st_uid == ::geteuid()) {
            ::unlinkat(::dirfd(folder), name.c_str(), 0);
        }
    }
    ::closedir(folder);
}

} // namespace privatefile
