#include "Autostart.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <pwd.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

#include "config/PrivateFile.h"

namespace {

// A "string" value of a desktop entry: backslashes, line breaks and tabs escaped, and a
// leading blank kept as "\s".
std::string EntryString(const std::string& value) {
    std::string out;
    for (const char c : value) {
        switch (c) {
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            out += c;
        }
    }
    if (!out.empty() && out[0] == ' ') {
        out.replace(0, 1, "\\s");
    }
    return out;
}

std::string UnescapeEntryString(const std::string& value) {
    std::string out;
    for (std::size_t k = 0; k < value.size(); ++k) {
        if (value[k] != '\\' || k + 1 == value.size()) {
            out += value[k];
            continue;
        }
        switch (value[++k]) {
        case 's':
            out += ' ';
            break;
        case 'n':
            out += '\n';
            break;
        case 'r':
            out += '\r';
            break;
        case 't':
            out += '\t';
            break;
        default:
            out += value[k];
        }
    }
    return out;
}

// The program as one quoted Exec argument: inside the quotes '"', '`', '$' and '\' take a
// backslash, and '%' (a field code's start) is doubled.
std::string ExecArgument(const std::string& program) {
    std::string quoted = "\"";
    for (const char c : program) {
        if (c == '"' || c == '`' || c == '$' || c == '\\') {
            quoted += '\\';
        }
        quoted += c == '%' ? std::string("%%") : std::string(1, c);
    }
    return quoted + "\"";
}

std::string HomeDirectory() {
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] == '/') {
        return home;
    }
    const passwd* user = getpwuid(getuid());
    return user != nullptr && user->pw_dir != nullptr ? user->pw_dir : "";
}

bool MakeDirectories(const std::string& path) {
    for (std::size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        const std::string part = path.substr(0, slash);
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
            return false;
        }
        if (slash == std::string::npos) {
            return true;
        }
    }
}

// The entry's Path, or "" when the file is missing, unreadable or has none.
std::string StoredWorkDir(const std::string& path) {
    std::string text;
    if (!privatefile::Read(path, text).ok) {
        return {};
    }
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind("Path=", 0) == 0) {
            return UnescapeEntryString(line.substr(5));
        }
    }
    return {};
}

} // namespace

std::string AutostartPath() {
    const char* config = std::getenv("XDG_CONFIG_HOME");
    std::string base;
    if (config != nullptr && config[0] == '/') {
        base = config;
    } else {
        const std::string home = HomeDirectory();
        if (home.empty()) {
            return {};
        }
        base = home + "/.config";
    }
    return base + "/autostart/vellomir.desktop";
}

std::string AutostartEntry(const std::string& program, const std::string& workDir) {
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=Vellomir\n"
           "Comment=SMTP authentication proxy\n"
           "Comment[ja]=SMTP認証プロキシ\n"
           "Exec=" +
           EntryString(ExecArgument(program)) +
           "\n"
           "Path=" +
           EntryString(workDir) +
           "\n"
           "Icon=vellomir\n"
           "Terminal=false\n"
           "X-GNOME-Autostart-enabled=true\n";
}

bool AutostartEnabled(const std::string& workDir) {
    const std::string path = AutostartPath();
    return !path.empty() && StoredWorkDir(path) == workDir;
}

bool SetAutostart(bool enabled, const std::string& program, const std::string& workDir,
                  std::string& error) {
    const std::string path = AutostartPath();
    if (path.empty()) {
        error = "no home directory for the autostart entry";
        return false;
    }
    if (!enabled) {
        if (StoredWorkDir(path) != workDir) {
            return true;
        }
        if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
            error = path + ": " + std::strerror(errno);
            return false;
        }
        return true;
    }
    if (!MakeDirectories(path.substr(0, path.rfind('/')))) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    return privatefile::Replace(path, AutostartEntry(program, workDir), nullptr, error);
}
