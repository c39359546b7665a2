// The text of one INI file as lines, indexed by section and key, so that reading, replacing,
// adding and removing a key each cost the same however many keys the file holds.
//
// - Section and key names match without regard to ASCII case; blanks around them are ignored.
// - Only the first section of a name counts; keys before any section, and keys of a later
//   section that repeats a name, stay in the text but are never read or written.
// - The first line of a key counts; a replacement keeps that line's spelling of the key and its
//   spacing around "=", and removing a key removes every line of it.
// - A new key goes after the last key of its section (before trailing comments and blank lines),
//   a new section at the end of the file after one blank line.
// - Everything else survives unchanged: other lines, their order, the line ends (CR LF when the
//   first line ends so, else LF) and a UTF-8 byte-order mark at the start.
// - Lines are "key=value", "[section]", or anything else; ";" and "#" start a comment line, but
//   only at the start of a line: a value runs to the end of its line.
#pragma once

#include <list>
#include <memory_resource>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

class ProfileText {
  public:
    // The lines may hold passwords: all their memory is wiped when the text is destroyed.
    explicit ProfileText(const std::string& text = "");
    ProfileText(const ProfileText&) = delete;
    ProfileText& operator=(const ProfileText&) = delete;

    // The text after the "=" of the key's line, as it stands; nullptr when the key is missing.
    const char* RawValue(const std::string& section, const std::string& key) const;
    // `stored` as StoredForm made it.
    void Set(const std::string& section, const std::string& key, const std::string& stored);
    // Gives false when there was nothing to remove.
    bool Remove(const std::string& section, const std::string& key);
    std::string ToText() const;

    // The form in which a name is matched: blanks at the edges dropped, ASCII lower case.
    static std::string NameKey(const std::string& name);
    // Whether a section or key name, blanks at its edges aside, can be written so that it reads
    // back as itself.
    static bool ValidName(const std::string& written, bool isKey);
    // What a value written as `value` is stored as. It is cut before a line break: the file could
    // not hold the rest, and it must never turn into lines of its own. A value with blanks at its
    // edges, or one already in double quotes, goes in double quotes so it reads back unchanged.
    static std::string StoredForm(const std::string& value);
    // The value a raw text after "=" stands for: cut at its first CR or NUL (as StoredForm cuts),
    // blanks at the edges dropped, and matching double quotes around it removed.
    static std::string ValueOf(const char* raw);

  private:
    // Hands out heap memory and wipes it before giving it back: the text holds passwords.
    class WipingResource : public std::pmr::memory_resource {
        void* do_allocate(std::size_t bytes, std::size_t alignment) override;
        void do_deallocate(void* memory, std::size_t bytes, std::size_t alignment) override;
        bool do_is_equal(const std::pmr::memory_resource& other) const noexcept override {
            return this == &other;
        }
    };
    // Names are looked up as views, without making a string per lookup.
    struct NameHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view name) const {
            return std::hash<std::string_view>{}(name);
        }
    };
    template <typename Value>
    using NameMap = std::pmr::unordered_map<std::pmr::string, Value, NameHash, std::equal_to<>>;

    using Line = std::pmr::list<std::pmr::string>::iterator;
    struct Section {
        Line header;
        Line lastKey; // the header while the section has no key
    };

    // "<section>\n<key>" in NameKey form: the key's place in the index.
    static void IndexName(std::string& into, std::string_view section, std::string_view key);
    static Line LastKeyBefore(Line line, const Section& section);

    // Everything below lives in one arena, given back (and wiped) at once: thousands of entries
    // cost a handful of allocations instead of several per line.
    WipingResource wiping_;
    std::pmr::monotonic_buffer_resource arena_;
    std::pmr::list<std::pmr::string> lines_{&arena_};
    NameMap<Section> sections_{&arena_};            // by NameKey
    NameMap<std::pmr::vector<Line>> keys_{&arena_}; // by IndexName: the key's lines
    bool byteOrderMark_ = false;
    bool crlf_ = false;
};
