#include "config/ProfileFile.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "Limits.h"
#include "codec/Wipe.h"
#include "config/PrivateFile.h"
#include "config/ProfileText.h"
#include "diag/Proginit.h"

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string LookupKey(const std::string& section, const std::string& key) {
    return ProfileText::NameKey(section) + '\n' + ProfileText::NameKey(key);
}

} // namespace

ProfileFile::ProfileFile() = default;

ProfileFile::ProfileFile(std::string path) : path_(std::move(path)) {}

ProfileFile::~ProfileFile() {
    DropChanges();
}

void ProfileFile::SetPath(std::string path) {
    if (path == path_) {
        return;
    }
    Flush();
    path_ = std::move(path);
    view_.reset();
    exposureTraced_ = false;
    leftoversRemoved_ = false;
}

std::unique_ptr<ProfileText> ProfileFile::LoadDisk() {
    std::string text;
    privatefile::ReadOutcome outcome = privatefile::Read(path_, text);
    if (!outcome.ok) {
        // Unreadable: every key reads as missing, and no save may replace what we cannot see.
        DebugLogEarly("IniReadError(%s): %s", path_.c_str(), outcome.error.c_str());
    } else if (outcome.exposed && !exposureTraced_) {
        exposureTraced_ = true;
        DebugLogEarly("IniModeWarning(%s): other users can read it; the next save makes it 0600",
                      path_.c_str());
    }
    auto parsed = std::make_unique<ProfileText>(text);
    Wipe(text);
    return parsed;
}

void ProfileFile::HoldDiskView() {
    ++viewHolds_;
}

void ProfileFile::ReleaseDiskView() {
    if (viewHolds_ > 0 && --viewHolds_ == 0) {
        view_.reset();
    }
}

std::string ProfileFile::Read(const std::string& section, const std::string& key,
                              std::size_t maxLength) {
    std::string value;
    auto waiting = latest_.find(LookupKey(section, key));
    if (waiting != latest_.end()) {
        const Change& change = changes_[waiting->second];
        value = change.stored ? ProfileText::ValueOf(change.stored->c_str()) : "";
    } else {
        // A held view is read once; without a hold the file is read for this value alone.
        if (!view_) {
            view_ = LoadDisk();
        }
        const char* raw = view_->RawValue(section, key);
        value = raw != nullptr ? ProfileText::ValueOf(raw) : "";
        if (viewHolds_ == 0) {
            view_.reset();
        }
    }
    if (value.size() > maxLength) {
        value.resize(maxLength);
    }
    return value;
}

void ProfileFile::Record(Change change) {
    if (!ProfileText::ValidName(change.section, false) ||
        !ProfileText::ValidName(change.key, true)) {
        DebugLog("IniBadName([%s] %s)", change.section.c_str(), change.key.c_str());
        return;
    }
    latest_[LookupKey(change.section, change.key)] = changes_.size();
    changes_.push_back(std::move(change));
}

void ProfileFile::Write(const std::string& section, const std::string& key,
                        const std::string& value) {
    Record({section, key, ProfileText::StoredForm(value)});
}

void ProfileFile::Remove(const std::string& section, const std::string& key) {
    Record({section, key, std::nullopt});
}

bool ProfileFile::Flush() {
    if (changes_.empty()) {
        return true;
    }
    std::string text;
    privatefile::ReadOutcome outcome = privatefile::Read(path_, text);
    bool ok = outcome.ok;
    if (!ok) {
        // Replacing a file we could not read would throw away everything in it but our writes.
        DebugLog("IniWriteError(%s): existing file unreadable: %s", path_.c_str(),
                 outcome.error.c_str());
    } else {
        ProfileText document(text);
        Wipe(text);
        bool changed = false;
        for (const Change& change : changes_) {
            if (change.stored) {
                document.Set(change.section, change.key, *change.stored);
                changed = true;
            } else {
                changed = document.Remove(change.section, change.key) || changed;
            }
        }
        if (changed) {
            if (!leftoversRemoved_) {
                privatefile::RemoveLeftovers(path_);
                leftoversRemoved_ = true;
            }
            std::string saved = document.ToText();
            std::string error;
            ok = privatefile::Replace(path_, saved, beforeRename_, error);
            Wipe(saved);
            if (!ok) {
                DebugLog("IniWriteError(%s): %s", path_.c_str(), error.c_str());
            } else if (!error.empty()) {
                DebugLog("IniSyncError(%s): %s", path_.c_str(), error.c_str());
            }
            exposureTraced_ = exposureTraced_ && !ok;
        }
    }
    DropChanges();
    view_.reset(); // a held view reads the file anew
    return ok;
}

void ProfileFile::DropChanges() {
    for (Change& change : changes_) {
        if (change.stored) {
            Wipe(*change.stored);
        }
    }
    changes_.clear();
    latest_.clear();
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
