#include "config/ProfileFile.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Limits.h"
#include "diag/Proginit.h"

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string Trim(const std::string& text, std::size_t from = 0,
                 std::size_t to = std::string::npos) {
    if (to > text.size()) {
        to = text.size();
    }
    while (from < to && IsBlank(text[from])) {
        ++from;
    }
    while (to > from && IsBlank(text[to - 1])) {
        --to;
    }
    return text.substr(from, to - from);
}

char LowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameName(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (LowerAscii(a[i]) != LowerAscii(b[i])) {
            return false;
        }
    }
    return true;
}

std::size_t FirstNonBlank(const std::string& line) {
    std::size_t i = 0;
    while (i < line.size() && IsBlank(line[i])) {
        ++i;
    }
    return i;
}

// "[name]" with blanks anywhere around; an unclosed bracket still opens a section, named by the
// rest of the line, so that its keys never count as keys of the section before it.
bool SectionOf(const std::string& line, std::string& name) {
    std::size_t start = FirstNonBlank(line);
    if (start >= line.size() || line[start] != '[') {
        return false;
    }
    std::size_t close = line.find(']', start + 1);
    name = Trim(line, start + 1, close);
    return true;
}

// "key=value"; comments (";" or "#"), section lines and lines without "=" are not keys.
bool KeyOf(const std::string& line, std::string& key, std::size_t& equals) {
    std::size_t start = FirstNonBlank(line);
    if (start >= line.size() || line[start] == ';' || line[start] == '#' || line[start] == '[') {
        return false;
    }
    equals = line.find('=', start);
    if (equals == std::string::npos) {
        return false;
    }
    key = Trim(line, start, equals);
    return !key.empty();
}

struct SectionRange {
    std::size_t header = 0;
    std::size_t end = 0; // one past the section's last line
    bool found = false;
};

SectionRange FindSection(const std::vector<std::string>& lines, const std::string& section) {
    SectionRange range;
    std::string name;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (!SectionOf(lines[i], name)) {
            continue;
        }
        if (range.found) {
            range.end = i;
            return range;
        }
        if (SameName(name, section)) {
            range.found = true;
            range.header = i;
        }
    }
    range.end = lines.size();
    return range;
}

std::vector<std::string> SplitLines(const std::string& text, bool& crlf) {
    std::vector<std::string> lines;
    std::size_t first = text.find('\n');
    crlf = first != std::string::npos && first > 0 && text[first - 1] == '\r';
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        std::size_t next = end == std::string::npos ? text.size() : end + 1;
        if (end == std::string::npos) {
            end = text.size();
        }
        // Only a CR LF file's line ends lose their CR: in an LF file a CR stays part of its line,
        // so a foreign line that ends in CRs is written back exactly as it was.
        if (crlf && end > start && text[end - 1] == '\r') {
            --end;
        }
        lines.push_back(text.substr(start, end - start));
        start = next;
    }
    return lines;
}

bool ValidName(const std::string& name, bool isKey) {
    if (name.empty() || name.find_first_of(std::string("\r\n\0", 3)) != std::string::npos) {
        return false;
    }
    if (isKey) {
        return name.find('=') == std::string::npos && name[0] != '[' && name[0] != ';' &&
               name[0] != '#';
    }
    return name.find(']') == std::string::npos;
}

std::string StoredForm(const std::string& value) {
    std::string text = value.substr(0, value.find_first_of(std::string("\r\n\0", 3)));
    bool blankEdge = !text.empty() && (IsBlank(text.front()) || IsBlank(text.back()));
    bool quoted = text.size() >= 2 && text.front() == '"' && text.back() == '"';
    if (blankEdge || quoted) {
        return '"' + text + '"';
    }
    return text;
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

std::string DirectoryOf(const std::string& path) {
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

} // namespace

void ProfileFile::SetPath(std::string path) {
    if (path == path_) {
        return;
    }
    if (dirty_) {
        Flush();
    }
    path_ = std::move(path);
    pending_.clear();
    changes_.clear();
    dirty_ = false;
    baseUnreadable_ = false;
    viewLoaded_ = false;
    view_.clear();
}

bool ProfileFile::LoadDisk(std::vector<std::string>& lines, bool& crlf) const {
    lines.clear();
    crlf = false;
    int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT || errno == ENOTDIR) {
            return true; // no file yet: every key reads as missing
        }
        DebugLog("IniReadError(%s): %s", path_.c_str(), std::strerror(errno));
        return false;
    }
    std::string text;
    char buffer[4096];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            DebugLog("IniReadError(%s): %s", path_.c_str(), std::strerror(errno));
            ::close(fd);
            return false;
        }
        if (n == 0) {
            break;
        }
        text.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    lines = SplitLines(text, crlf);
    return true;
}

const std::vector<std::string>& ProfileFile::CurrentLines() {
    if (dirty_) {
        return pending_;
    }
    if (viewHolds_ > 0 && viewLoaded_) {
        return view_;
    }
    bool crlf = false;
    LoadDisk(view_, crlf);
    viewLoaded_ = viewHolds_ > 0;
    return view_;
}

void ProfileFile::HoldDiskView() {
    ++viewHolds_;
}

void ProfileFile::ReleaseDiskView() {
    if (viewHolds_ > 0 && --viewHolds_ == 0) {
        viewLoaded_ = false;
        view_.clear();
    }
}

std::string ProfileFile::Read(const std::string& section, const std::string& key) {
    const std::vector<std::string>& lines = CurrentLines();
    SectionRange range = FindSection(lines, section);
    if (!range.found) {
        return "";
    }
    std::string name;
    std::size_t equals = 0;
    for (std::size_t i = range.header + 1; i < range.end; ++i) {
        if (!KeyOf(lines[i], name, equals) || !SameName(name, key)) {
            continue;
        }
        // A value ends at its first CR or NUL, as the writer cuts it: what is saved reads back
        // the same.
        std::size_t stop = lines[i].find_first_of(std::string("\r\0", 2), equals + 1);
        std::string value = Trim(lines[i].substr(0, stop), equals + 1);
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
            value = value.substr(1, value.size() - 2);
        }
        if (value.size() > limits::kProfileValueMax) {
            value.resize(limits::kProfileValueMax);
        }
        return value;
    }
    return "";
}

bool ProfileFile::StartChange() {
    bool wasClean = !dirty_;
    if (wasClean) {
        baseUnreadable_ = !LoadDisk(pending_, crlf_);
        dirty_ = true;
    }
    return wasClean;
}

void ProfileFile::Apply(const Change& change) {
    SectionRange range = FindSection(pending_, change.section);
    if (!range.found) {
        if (!change.value) {
            return;
        }
        if (!pending_.empty() && !Trim(pending_.back()).empty()) {
            pending_.emplace_back();
        }
        pending_.push_back('[' + change.section + ']');
        pending_.push_back(change.key + '=' + *change.value);
        return;
    }
    std::string name;
    std::size_t equals = 0;
    std::size_t lastKey = range.header;
    bool replaced = false;
    for (std::size_t i = range.header + 1; i < range.end;) {
        if (!KeyOf(pending_[i], name, equals)) {
            ++i;
            continue;
        }
        if (SameName(name, change.key)) {
            if (!change.value) {
                pending_.erase(pending_.begin() + static_cast<std::ptrdiff_t>(i));
                --range.end;
                continue;
            }
            if (!replaced) {
                // Keep the line's own spelling of the key and its spacing around "=".
                std::size_t keep = equals + 1;
                while (keep < pending_[i].size() && IsBlank(pending_[i][keep])) {
                    ++keep;
                }
                pending_[i] = pending_[i].substr(0, keep) + *change.value;
                replaced = true;
            }
        }
        lastKey = i;
        ++i;
    }
    if (change.value && !replaced) {
        pending_.insert(pending_.begin() + static_cast<std::ptrdiff_t>(lastKey + 1),
                        change.key + '=' + *change.value);
    }
}

void ProfileFile::Write(const std::string& section, const std::string& key,
                        const std::string& value) {
    Change change{Trim(section), Trim(key), StoredForm(value)};
    if (!ValidName(change.section, false) || !ValidName(change.key, true)) {
        DebugLog("IniBadName([%s] %s)", change.section.c_str(), change.key.c_str());
        return;
    }
    StartChange();
    Apply(change);
    changes_.push_back(std::move(change));
}

void ProfileFile::Remove(const std::string& section, const std::string& key) {
    Change change{Trim(section), Trim(key), std::nullopt};
    if (!ValidName(change.section, false) || !ValidName(change.key, true)) {
        return;
    }
    bool wasClean = StartChange();
    std::size_t before = pending_.size();
    Apply(change);
    if (wasClean && !baseUnreadable_ && pending_.size() == before) {
        // Nothing to remove: no reason to rewrite, or to create, the file.
        dirty_ = false;
        pending_.clear();
        return;
    }
    changes_.push_back(std::move(change));
}

bool ProfileFile::Flush() {
    if (!dirty_) {
        return true;
    }
    if (baseUnreadable_) {
        // Replacing a file we could not read would throw away everything in it but our writes.
        std::vector<std::string> lines;
        if (!LoadDisk(lines, crlf_)) {
            DebugLog("IniWriteError(%s): existing file unreadable", path_.c_str());
            return false;
        }
        pending_ = std::move(lines);
        for (const Change& change : changes_) {
            Apply(change);
        }
        baseUnreadable_ = false;
    }
    const char* eol = crlf_ ? "\r\n" : "\n";
    std::string text;
    for (const std::string& line : pending_) {
        text += line;
        text += eol;
    }
    if (!CommitToDisk(text)) {
        return false;
    }
    dirty_ = false;
    pending_.clear();
    changes_.clear();
    return true;
}

bool ProfileFile::CommitToDisk(const std::string& text) {
    if (path_.empty()) {
        DebugLog("IniWriteError(): no settings path");
        return false;
    }
    // A settings file that is a symbolic link is updated where it points, not replaced.
    std::string target = path_;
    struct stat info {};
    if (::lstat(path_.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) {
        if (char* resolved = ::realpath(path_.c_str(), nullptr)) {
            target = resolved;
            std::free(resolved);
        }
    }
    bool exists = ::stat(target.c_str(), &info) == 0;
    if (exists && !S_ISREG(info.st_mode)) {
        DebugLog("IniWriteError(%s): not a regular file", path_.c_str());
        return false;
    }

    // One fixed temporary name: a save cut short by a crash leaves at most this one copy
    // (readable by the owner only), and the next save reuses and renames it away.
    std::string temp = target + ".tmp";
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        DebugLog("IniWriteError(%s): %s", path_.c_str(), std::strerror(errno));
        return false;
    }
    bool ok = ::fchmod(fd, exists ? (info.st_mode & 07777) : 0600) == 0;
    if (ok && exists && ::fchown(fd, info.st_uid, info.st_gid) != 0) {
        // Only a privileged process may give the file away; keeping our own is fine.
    }
    ok = ok && WriteAll(fd, text) && ::fsync(fd) == 0;
    int err = errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        err = errno;
    }
    if (ok && beforeRename_) {
        beforeRename_();
    }
    if (ok && ::rename(temp.c_str(), target.c_str()) != 0) {
        ok = false;
        err = errno;
    }
    if (!ok) {
        ::unlink(temp.c_str());
        DebugLog("IniWriteError(%s): %s", path_.c_str(), std::strerror(err));
        return false;
    }
    int dir = ::open(DirectoryOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0 || ::fsync(dir) != 0) {
        DebugLog("IniSyncError(%s): %s", path_.c_str(), std::strerror(errno));
    }
    if (dir >= 0) {
        ::close(dir);
    }
    return true;
}

std::int32_t ProfileInt(const std::string& value, std::int32_t fallback) {
    if (value.empty()) {
        return fallback;
    }
    std::size_t i = 0;
    while (i < value.size() && (IsBlank(value[i]) || (value[i] >= '\n' && value[i] <= '\r'))) {
        ++i;
    }
    bool negative = false;
    if (i < value.size() && (value[i] == '+' || value[i] == '-')) {
        negative = value[i] == '-';
        ++i;
    }
    int base = 10;
    if (i < value.size() && value[i] == '0') {
        base = 8;
        if (i + 1 < value.size() && (value[i + 1] == 'x' || value[i + 1] == 'X')) {
            base = 16;
            i += 2; // "0x" without a hex digit after it reads as 0
        }
    }
    // Accumulated as a magnitude and clamped at once, so any length of digits is safe.
    const std::int64_t limit = negative ? -static_cast<std::int64_t>(INT32_MIN) : INT32_MAX;
    std::int64_t magnitude = 0;
    for (; i < value.size(); ++i) {
        char c = value[i];
        int digit;
        if (c >= '0' && c <= '9') {
            digit = c - '0';
        } else if (c >= 'a' && c <= 'f') {
            digit = c - 'a' + 10;
        } else if (c >= 'A' && c <= 'F') {
            digit = c - 'A' + 10;
        } else {
            break;
        }
        if (digit >= base) {
            break;
        }
        magnitude = std::min(magnitude * base + digit, limit);
    }
    return static_cast<std::int32_t>(negative ? -magnitude : magnitude);
}
