#include "config/ProfileText.h"

#include <cstring>
#include <iterator>

namespace {

constexpr char kByteOrderMark[] = "\xEF\xBB\xBF";
constexpr std::size_t kByteOrderMarkSize = 3;

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
bool KeyOf(const std::string& line, std::string& key) {
    std::size_t start = FirstNonBlank(line);
    if (start >= line.size() || line[start] == ';' || line[start] == '#' || line[start] == '[') {
        return false;
    }
    std::size_t equals = line.find('=', start);
    if (equals == std::string::npos) {
        return false;
    }
    key = Trim(line, start, equals);
    return !key.empty();
}

void Wipe(std::string& text) {
    explicit_bzero(text.data(), text.size());
}

} // namespace

ProfileText::ProfileText(const std::string& text) {
    std::size_t start = 0;
    if (text.compare(0, kByteOrderMarkSize, kByteOrderMark) == 0) {
        byteOrderMark_ = true;
        start = kByteOrderMarkSize;
    }
    std::size_t first = text.find('\n', start);
    crlf_ = first != std::string::npos && first > start && text[first - 1] == '\r';
    Section* current = nullptr;
    std::string name;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        std::size_t next = end == std::string::npos ? text.size() : end + 1;
        if (end == std::string::npos) {
            end = text.size();
        }
        // Only a CR LF file's line ends lose their CR: in an LF file a CR stays part of its line,
        // so a foreign line that ends in CRs is written back exactly as it was.
        if (crlf_ && end > start && text[end - 1] == '\r') {
            --end;
        }
        Line line = lines_.emplace(lines_.end(), text, start, end - start);
        if (SectionOf(*line, name)) {
            auto [found, added] = sections_.try_emplace(NameKey(name));
            current = added ? &found->second : nullptr;
            if (added) {
                current->header = line;
                current->lastKey = line;
            }
        } else if (current != nullptr && KeyOf(*line, name)) {
            current->keys[NameKey(name)].push_back(line);
            current->lastKey = line;
        }
        start = next;
    }
}

ProfileText::~ProfileText() {
    for (std::string& line : lines_) {
        Wipe(line);
    }
}

const char* ProfileText::RawValue(const std::string& section, const std::string& key) const {
    auto found = sections_.find(NameKey(section));
    if (found == sections_.end()) {
        return nullptr;
    }
    auto lines = found->second.keys.find(NameKey(key));
    if (lines == found->second.keys.end()) {
        return nullptr;
    }
    const std::string& line = *lines->second.front();
    return line.c_str() + line.find('=') + 1;
}

void ProfileText::Set(const std::string& section, const std::string& key,
                      const std::string& stored) {
    auto [found, added] = sections_.try_emplace(NameKey(section));
    Section& target = found->second;
    if (added) {
        if (!lines_.empty() && !Trim(lines_.back()).empty()) {
            lines_.emplace_back();
        }
        target.header = lines_.insert(lines_.end(), '[' + Trim(section) + ']');
        target.lastKey = target.header;
    }
    std::vector<Line>& keyLines = target.keys[NameKey(key)];
    if (!keyLines.empty()) {
        // Keep the line's own spelling of the key and its spacing around "=".
        std::string& line = *keyLines.front();
        std::size_t keep = line.find('=') + 1;
        while (keep < line.size() && IsBlank(line[keep])) {
            ++keep;
        }
        explicit_bzero(line.data() + keep, line.size() - keep);
        line.replace(keep, std::string::npos, stored);
        return;
    }
    target.lastKey = lines_.insert(std::next(target.lastKey), Trim(key) + '=' + stored);
    keyLines.push_back(target.lastKey);
}

bool ProfileText::Remove(const std::string& section, const std::string& key) {
    auto found = sections_.find(NameKey(section));
    if (found == sections_.end()) {
        return false;
    }
    Section& target = found->second;
    auto lines = target.keys.find(NameKey(key));
    if (lines == target.keys.end()) {
        return false;
    }
    std::vector<Line> doomed = std::move(lines->second);
    target.keys.erase(lines);
    for (auto line = doomed.rbegin(); line != doomed.rend(); ++line) {
        if (*line == target.lastKey) {
            target.lastKey = LastKeyBefore(*line, target);
        }
        Wipe(**line);
        lines_.erase(*line);
    }
    return true;
}

ProfileText::Line ProfileText::LastKeyBefore(Line line, const Section& section) {
    // Usually the line just before; only comments and blank lines are stepped over.
    std::string name;
    while (line != section.header) {
        --line;
        if (line == section.header || KeyOf(*line, name)) {
            break;
        }
    }
    return line;
}

std::string ProfileText::ToText() const {
    const char* eol = crlf_ ? "\r\n" : "\n";
    std::size_t size = byteOrderMark_ ? kByteOrderMarkSize : 0;
    for (const std::string& line : lines_) {
        size += line.size() + std::strlen(eol);
    }
    // Built in one allocation: growing would leave copies of passwords in freed memory.
    std::string text;
    text.reserve(size);
    if (byteOrderMark_) {
        text += kByteOrderMark;
    }
    for (const std::string& line : lines_) {
        text += line;
        text += eol;
    }
    return text;
}

std::string ProfileText::NameKey(const std::string& name) {
    std::string key = Trim(name);
    for (char& c : key) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return key;
}

bool ProfileText::ValidName(const std::string& written, bool isKey) {
    const std::string name = Trim(written);
    if (name.empty() || name.find_first_of(std::string("\r\n\0", 3)) != std::string::npos) {
        return false;
    }
    if (isKey) {
        return name.find('=') == std::string::npos && name[0] != '[' && name[0] != ';' &&
               name[0] != '#';
    }
    return name.find(']') == std::string::npos;
}

std::string ProfileText::StoredForm(const std::string& value) {
    std::string text = value.substr(0, value.find_first_of(std::string("\r\n\0", 3)));
    bool blankEdge = !text.empty() && (IsBlank(text.front()) || IsBlank(text.back()));
    bool quoted = text.size() >= 2 && text.front() == '"' && text.back() == '"';
    if (blankEdge || quoted) {
        return '"' + text + '"';
    }
    return text;
}

std::string ProfileText::ValueOf(const char* raw) {
    std::string value = Trim(std::string(raw, std::strcspn(raw, "\r")));
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
        value = value.substr(1, value.size() - 2);
    }
    return value;
}
