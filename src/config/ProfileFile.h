// Reader and writer of one INI ("profile") file, with the behaviour the settings rely on.
//
// - Section and key names match without regard to ASCII case; blanks around keys and values are
//   ignored; a value in matching double quotes loses them.
// - A missing key or file reads as ""; a value read is cut to 299 bytes.
// - A write creates the section and key, or replaces the value in place; Remove deletes the key.
// - Everything else in the file (other sections, unknown keys, comments, order) survives writes.
// - Reads always see the file as it is on disk now, plus writes not yet flushed.
// - Flush writes a temporary file in the same directory, fsyncs it and renames it over the file,
//   so a crash leaves the old content or the new, never a torn file. A new file is created 0600;
//   an existing file keeps its mode.
// Not thread-safe: one thread uses one ProfileFile.
#pragma once

#include <cstdint>
#include <string>

class ProfileFile {
public:
    ProfileFile() = default;
    explicit ProfileFile(std::string path) : path_(std::move(path)) {}

    void SetPath(std::string path);
    const std::string& Path() const { return path_; }

    std::string Read(const std::string& section, const std::string& key);
    void Write(const std::string& section, const std::string& key, const std::string& value);
    void Remove(const std::string& section, const std::string& key);
    // Puts pending writes on disk. Gives false when that failed (nothing pending gives true).
    bool Flush();

private:
    std::string path_;
    std::string pending_; // whole file text with unflushed writes applied
    bool dirty_ = false;
};

// Integer conversion of a settings value: blanks skipped, optional sign, "0x"/"0X" hexadecimal,
// other leading "0" octal, else decimal; stops at the first character that does not fit; no
// digits gives 0; an empty value gives `fallback`. Out-of-range values saturate to the 32-bit
// limits.
std::int32_t ProfileInt(const std::string& value, std::int32_t fallback);
