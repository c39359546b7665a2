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
#include <functional>
#include <optional>
#include <string>
#include <vector>

class ProfileFile {
  public:
    ProfileFile() = default;
    explicit ProfileFile(std::string path) : path_(std::move(path)) {}

    // Pending writes for the former path are flushed there first.
    void SetPath(std::string path);
    const std::string& Path() const { return path_; }

    std::string Read(const std::string& section, const std::string& key);
    // A value holding a line break is cut before it: the file could not hold the rest, and it
    // must never turn into lines of its own. A value with blanks at its edges, or one already in
    // double quotes, is written in double quotes so that it reads back unchanged.
    void Write(const std::string& section, const std::string& key, const std::string& value);
    void Remove(const std::string& section, const std::string& key);
    // Puts pending writes on disk. Gives false when that failed (nothing pending gives true); the
    // pending writes are then kept for the next Flush and the file on disk is left as it was.
    bool Flush();

    // While held (calls nest), reads take the file from disk once and reuse that text, so that
    // a group of reads sees one consistent state of the file and it is not parsed per key.
    void HoldDiskView();
    void ReleaseDiskView();

    // Runs between the fsync of the temporary file and the rename over the settings file; lets
    // tests stand in for a crash at the worst moment.
    void SetBeforeRenameHookForTest(std::function<void()> hook) { beforeRename_ = std::move(hook); }

  private:
    struct Change {
        std::string section;
        std::string key;
        std::optional<std::string> value; // none: remove
    };

    bool LoadDisk(std::vector<std::string>& lines, bool& crlf) const;
    const std::vector<std::string>& CurrentLines();
    bool StartChange();
    void Apply(const Change& change);
    bool CommitToDisk(const std::string& text);

    std::string path_;
    std::vector<std::string> pending_; // lines of the file with unflushed writes applied
    bool crlf_ = false;                // the file's line ends; new files get LF
    bool dirty_ = false;
    // The existing file could not be read when the first pending write started, so the pending
    // lines lack its content; Flush rebuilds them from the file before it may replace it.
    bool baseUnreadable_ = false;
    std::vector<Change> changes_; // unflushed writes, kept for that rebuild

    int viewHolds_ = 0;
    bool viewLoaded_ = false;
    std::vector<std::string> view_;

    std::function<void()> beforeRename_;
};

// Integer conversion of a settings value: blanks skipped, optional sign, "0x"/"0X" hexadecimal,
// other leading "0" octal, else decimal; stops at the first character that does not fit; no
// digits gives 0; an empty value gives `fallback`. Out-of-range values saturate to the 32-bit
// limits.
std::int32_t ProfileInt(const std::string& value, std::int32_t fallback);
