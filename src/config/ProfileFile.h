// Reader and writer of one INI ("profile") file, with the behaviour the settings rely on.
//
// - The text format and what survives a save are ProfileText's: names match without regard to
//   ASCII case, blanks around keys and values are ignored, a value in matching double quotes
//   loses them, and everything else in the file (other sections, unknown keys, comments, order,
//   line ends, a byte-order mark) stays as it was.
// - A missing key or file reads as ""; a value read is cut to 299 bytes.
// - Write and Remove wait in memory for Flush; reads see the file as it is on disk now, with the
//   waiting writes applied.
// - Flush reads the file again, applies the waiting writes to it in order and replaces it the
//   PrivateFile way (atomic, always 0600, symbolic links only when they and their target are the
//   user's, a read-only file left as it is). An outside edit of other keys made meanwhile stays.
//   The first save to a path also removes temporary files that saves cut short left there.
// - A failed Flush is traced and drops the waiting writes: the file on disk stays as it was and
//   reads see it again, so a later successful Flush cannot bring back an unsaved value over an
//   edit made outside in between. What was meant to be saved lives on only in the caller.
// - Reading a file that the group or others may read traces a warning, once per path until a
//   save has made it private.
// Not thread-safe: one thread uses one ProfileFile.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "Limits.h"

class ProfileText;

class ProfileFile {
  public:
    ProfileFile();
    explicit ProfileFile(std::string path);
    ~ProfileFile();
    ProfileFile(const ProfileFile&) = delete;
    ProfileFile& operator=(const ProfileFile&) = delete;

    // Waiting writes for the former path are flushed there first.
    void SetPath(std::string path);
    const std::string& Path() const { return path_; }

    // A value is cut to `maxLength` bytes (299 unless a key is known to hold more).
    std::string Read(const std::string& section, const std::string& key,
                     std::size_t maxLength = limits::kProfileValueMax);
    // Section and key names are taken without the blanks at their edges; a name that could not
    // read back as itself (empty, holding a line break, "=" or "]" where it ends the name) is
    // refused and traced. The value is stored as ProfileText::StoredForm makes it.
    void Write(const std::string& section, const std::string& key, const std::string& value);
    void Remove(const std::string& section, const std::string& key);
    // Puts the waiting writes on disk. Gives true when that worked or nothing was waiting (a
    // removal of keys that are not there writes nothing); false when it failed, and the waiting
    // writes are gone.
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
        std::optional<std::string> stored; // none: remove
    };

    void Record(Change change);
    std::unique_ptr<ProfileText> LoadDisk();
    void DropChanges();

    std::string path_;
    std::vector<Change> changes_; // waiting writes, in order
    // The latest waiting change of each key, for reads: "section\nkey" in matching form.
    std::unordered_map<std::string, std::size_t> latest_;

    int viewHolds_ = 0;
    std::unique_ptr<ProfileText> view_; // while held: the file as read first

    bool exposureTraced_ = false;
    bool leftoversRemoved_ = false; // temporary files of saves cut short, once per path
    std::function<void()> beforeRename_;
};

// Integer conversion of a settings value: blanks skipped, optional sign, "0x"/"0X" hexadecimal,
// other leading "0" octal, else decimal; stops at the first character that does not fit; no
// digits gives 0; an empty value gives `fallback`. Out-of-range values saturate to the 32-bit
// limits.
std::int32_t ProfileInt(const std::string& value, std::int32_t fallback);
