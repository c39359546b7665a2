// Reading and replacing a file that holds secrets (the settings file and its passwords) in a
// folder that other local users may also write to.
//
// - A symbolic link is followed only when it, every further link on the way, and the file it
//   reaches all belong to the user: users keep settings in their own dotfile links, but a link
//   that someone else planted must not send the passwords elsewhere.
// - A replacement is atomic: a temporary file with a name of its own (created with O_EXCL) in the
//   target's folder is written, synced and renamed over the target, so a crash leaves the old
//   content or the new, never a torn file. The result is always readable by its owner only.
// - A file the user may not write is read-only: a replacement leaves it exactly as it was.
// - Neither follows a FIFO or a device planted at the path: both refuse anything but a regular
//   file without waiting.
// Failures are results, with a reason for the trace.
#pragma once

#include <functional>
#include <string>

namespace privatefile {

struct ReadOutcome {
    bool ok = false;      // a missing file is ok, with empty text
    bool exposed = false; // the group or others may read the file
    std::string error;
};

// The whole content of the file at `path` into `text`.
ReadOutcome Read(const std::string& path, std::string& text);

// Puts `text` in place of the file at `path`, or creates it. `beforeRename` runs between the
// sync of the temporary file and the rename (tests stand in for a crash there). Gives false with
// `error` set when the file stays as it was.
bool Replace(const std::string& path, const std::string& text,
             const std::function<void()>& beforeRename, std::string& error);

// A save cut short by a crash or a kill leaves its temporary file (readable by the user only)
// behind. Removes those of the file at `path`: only regular files of the user's own that carry
// the temporary name of a save, so nothing else in the folder is ever touched.
void RemoveLeftovers(const std::string& path);

} // namespace privatefile
