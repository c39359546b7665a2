// Rules for the edit fields of the entry and options dialogs: which typed characters a field
// takes, how a port text converts, and which texts the settings file can hold unchanged.
//
// Pure functions plus one helper that applies a character rule to a key or input-method event;
// user-interface thread only. Nothing here reports errors: a refused character is dropped,
// a text that does not convert gives no value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include <QString>

class QEvent;
class QLineEdit;

namespace fieldrules {

using CharRule = bool (*)(char32_t);

// Domain names, server names and listening addresses: ASCII letters, digits, "-" and ".".
// Port numbers: digits. Both pass the editing keys' control characters (all below 32 except
// tab, and delete).
bool HostCharAccepted(char32_t c);
bool PortCharAccepted(char32_t c);
// The listening address: a host character, or ":" for an IPv6 literal such as "::1".
bool ListenAddressCharAccepted(char32_t c);
// Certificate fingerprints: hexadecimal digits and ":".
bool FingerprintCharAccepted(char32_t c);

// A fingerprint the upstream check can use: empty (no pinning), or the 64 hexadecimal digits of
// a SHA-256 digest, colons and letter case ignored. Anything else would make every session of
// the entry fail.
bool FingerprintAccepted(const QString& text);

// An OAuth endpoint the engine and the browser may use: an https URL, or http to this machine
// (a local identity server). A token must never cross a network in clear.
bool OAuthUrlAccepted(const QString& text);

// A positive signed 32-bit decimal integer made of digits only; no value otherwise (empty,
// other characters, zero, beyond 2147483647). There is deliberately no upper limit of 65535:
// the engine refuses such a port when it opens a socket.
std::optional<std::int32_t> ParsePositiveInt(const QString& text);

// True when the UTF-8 form of `text` has at most `maxBytes` bytes: a longer value would be cut
// when the settings file is read back, so the dialogs refuse it rather than lose it silently.
bool FitsBytes(const QString& text, std::size_t maxBytes);

// Applies `rule` to a key press or a committed input-method text aimed at `edit`. Returns true
// when the event must not reach the field (it held a refused character; any accepted ones of it
// have been inserted). Shortcuts (Ctrl, Meta, the paste keys) and tab navigation pass untouched,
// so pasting is not filtered.
bool FilterTypedText(QLineEdit* edit, QEvent* event, CharRule rule);

// Switches the input method off for a field, so that no composed text can be typed there.
void DisableInputMethod(QLineEdit* edit);

} // namespace fieldrules
