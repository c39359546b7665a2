// The sign-in endpoints and scopes of the providers the entry dialog knows by name, and the
// provider-specific parts of an authorization request.
//
// Pure functions; any thread.
#pragma once

#include <string>

struct OAuthPreset {
    const char* name;
    const char* authUrl;
    const char* tokenUrl;
    const char* scope;
};

// In the order of the dialog's provider list; the item after them is "other".
inline constexpr OAuthPreset kOAuthPresets[] = {
    {"Microsoft", "https://login.microsoftonline.com/common/oauth2/v2.0/authorize",
     "https://login.microsoftonline.com/common/oauth2/v2.0/token",
     "https://outlook.office.com/SMTP.Send offline_access"},
    {"Google", "https://accounts.google.com/o/oauth2/v2/auth",
     "https://oauth2.googleapis.com/token", "https://mail.google.com/"},
};
inline constexpr int kOAuthPresetCount = sizeof kOAuthPresets / sizeof kOAuthPresets[0];

// The preset whose two endpoints these are, or -1.
int PresetOf(const std::string& authUrl, const std::string& tokenUrl);

// A guess for an entry that has no endpoints yet, from its server's name: Google for Gmail's
// servers, else Microsoft.
int PresetForServer(const std::string& server);
