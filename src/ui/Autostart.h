// Start at login: an XDG autostart entry, $XDG_CONFIG_HOME/autostart/vellomir.desktop (or
// ~/.config/autostart when $XDG_CONFIG_HOME is unset or not absolute), that starts this program
// in the directory holding the settings file now in use, so the session's start reads the same
// settings.
//
// Qt-free; user-interface thread. Failures are results with a reason for the trace.
#pragma once

#include <string>

// Where the entry lives; "" when there is no home directory to put it in.
std::string AutostartPath();
// The entry's text: Exec runs `program`, Path is `workDir`, both escaped as desktop entries
// require (quotes, "%", backslashes, line breaks).
std::string AutostartEntry(const std::string& program, const std::string& workDir);
// True when the entry exists and starts the program in `workDir`.
bool AutostartEnabled(const std::string& workDir);
// Writes the entry for `program` in `workDir`, or removes it; an entry of another working
// directory is not removed (it is not the one the user saw ticked). False with `error` set when
// the file stays as it was.
bool SetAutostart(bool enabled, const std::string& program, const std::string& workDir,
                  std::string& error);
