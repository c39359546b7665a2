#include "config/ProfileText.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <new>

namespace {

constexpr char kByteOrderMark[] = "\xEF\xBB\xBF";
constexpr std::size_t kByteOrderMarkSize = 3;

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string Trim(std::string_view text, std::size_t from = 0,
                 std::size_t to = std::string_view::npos) {
    if (to > text.size()) {
        to = text.size();
    }
    while (from < to && IsBlank(text[from])) {
        ++from;
    }
    while (to > from && IsBlank(text[to - 1])) {
        --to;
    }
    return std::string(text.substr(from, to - from));
}

void LowerAscii(std::string& name) {
    for (char& c : name) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
}

std::size_t FirstNonBlank(std::string_view line) {
    std::size_t i = 0;
    while (i < line.size() && IsBlank(line[i])) {
        ++i;
    }
    return i;
}

// "[name]" with blanks anywhere around; an unclosed bracket still opens a section, named by the
// rest of the line, so that its keys never count as keys of the section before it.
bool SectionOf(std::string_view line, std::string& name) {
    std::size_t start = FirstNonBlank(line);
    if (start >= line.size() || line[start] != '[') {
        return false;
    }
    std::size_t close = line.find(']', start + 1);
    name = Trim(line, start + 1, close);
    return true;
}

// "key=value"; comments (";" or "#"), section lines and lines without "=" are not keys.
bool KeyOf(std::string_view line, std::string& key) {
    std::size_t start = FirstNonBlank(line);
    if (start >= line.size() || line[start] == ';' || line[start] == '#' || line[start] == '[') {
        return false;
    }
    std::size_t equals = line.find('=', start);
    if (equals == std::string_view::npos) {
        return false;
    }
    key = Trim(line, start, equals);
    return !key.empty();
}

} // namespace

void* ProfileText::WipingResource::do_allocate(std::size_t bytes, std::size_t alignment) {
    return ::operator new(bytes, std::align_val_t(alignment));
}

void ProfileText::WipingResource::do_deallocate(void* memory, std::size_t bytes,
                                                std::size_t alignment) {
    explicit_bzero(memory, bytes);
    ::operator delete(memory, std::align_val_t(alignment));
}

void ProfileText::IndexName(std::string& into, std::string_view section, std::string_view key) {
    into.assign(section).append(1, '\n').append(key);
}

ProfileText::ProfileText(const std::string& text) : arena_(&wiping_) {
    std::size_t start = 0;
    if (text.compare(0, kByteOrderMarkSize, kByteOrderMark) == 0) {
        byteOrderMark_ = true;
        start = kByteOrderMarkSize;
    }
    std::size_t first = text.find('\n', start);
    crlf_ = first != std::string::npos && first > start && text[first - 1] == '\r';
    // At most one key per line: the index never grows in steps while the file is read.
    keys_.reserve(static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) + 1);
    Section* current = nullptr;
    std::string currentName;
    std::string name;
    std::string indexName;
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
        Line line = lines_.emplace(lines_.end(), text.data() + start, end - start);
        if (SectionOf(*line, name)) {
            LowerAscii(name);
            current = nullptr;
            if (sections_.find(std::string_view(name)) == sections_.end()) {
                current = &sections_.try_emplace(std::pmr::string(name, &arena_)).first->second;
                current->header = line;
                current->lastKey = line;
                currentName = name;
            }
        } else if (current != nullptr && KeyOf(*line, name)) {
            LowerAscii(name);
            IndexName(indexName, currentName, name);
            auto lines = keys_.find(std::string_view(indexName));
            if (lines == keys_.end()) {
                lines = keys_.try_emplace(std::pmr::string(indexName, &arena_)).first;
            }
            lines->second.push_back(line);
            current->lastKey = line;
        }
        start = next;
    }
}

const char* ProfileText::RawValue(const std::string& section, const std::string& key) const {
    std::string indexName;
    IndexName(indexName, NameKey(section), NameKey(key));
    auto lines = keys_.find(std::string_view(indexName));
    if (lines == keys_.end()) {
        return nullptr;
    }
    const std::pmr::string& line = *lines->second.front();
    return line.c_str() + line.find('=') + 1;
}

void ProfileText::Set(const std::string& section, const std::string& key,
                      const std::string& stored) {
    const std::string sectionKey = NameKey(section);
    auto found = sections_.find(std::string_view(sectionKey));
    if (found == sections_.end()) {
        if (!lines_.empty() && !Trim(lines_.back()).empty()) {
            lines_.emplace_back();
        }
        found = sections_.try_emplace(std::pmr::string(sectionKey, &arena_)).first;
        found->second.header = lines_.emplace(lines_.end(), '[' + Trim(section) + ']');
        found->second.lastKey = found->second.header;
    }
    Section& target = found->second;
    std::string indexName;
    IndexName(indexName, sectionKey, NameKey(key));
    auto lines = keys_.find(std::string_view(indexName));
    if (lines != keys_.end()) {
        // Keep the line's own spelling of the key and its spacing around "=".
        std::pmr::string& line = *lines->second.front();
        std::size_t keep = line.find('=') + 1;
        while (keep < line.size() && IsBlank(line[keep])) {
            ++keep;
        }
        line.replace(keep, std::string::npos, stored);
        return;
    }
    // Built in place: a temporary std::string of it would leave a password on the heap.
    std::pmr::string line(&arena_);
    const std::string name = Trim(key);
    line.reserve(name.size() + 1 + stored.size());
    line.append(name).append(1, '=').append(stored);
    target.lastKey = lines_.insert(std::next(target.lastKey), std::move(line));
    keys_.try_emplace(std::pmr::string(indexName, &arena_)).first->second.push_back(target.lastKey);
}

bool ProfileText::Remove(const std::string& section, const std::string& key) {
    const std::string sectionKey = NameKey(section);
    std::string indexName;
    IndexName(indexName, sectionKey, NameKey(key));
    auto lines = keys_.find(std::string_view(indexName));
    if (lines == keys_.end()) {
        return false;
    }
    Section& target = sections_.find(std::string_view(sectionKey))->second;
    for (auto line = lines->second.rbegin(); line != lines->second.rend(); ++line) {
        if (*line == target.lastKey) {
            target.lastKey = LastKeyBefore(*line, target);
        }
        lines_.erase(*line);
    }
    keys_.erase(lines);
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
    for (const std::pmr::string& line : lines_) {
        size += line.size() + std::strlen(eol);
    }
    // Built in one allocation: growing would leave copies of passwords in freed memory.
    std::string text;
    text.reserve(size);
    if (byteOrderMark_) {
        text += kByteOrderMark;
    }
    for (const std::pmr::string& line : lines_) {
        text.append(line.data(), line.size());
        text += eol;
    }
    return text;
}

std::string ProfileText::NameKey(const std::string& name) {
    std::string key = Trim(name);
    LowerAscii(key);
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
    std::string value = Trim(std::string_view(raw, std::strcspn(raw, "\r")));
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
        value = value.substr(1, value.size() - 2);
    }
    return value;
}
