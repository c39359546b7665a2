#include "OAuthPresets.h"

int PresetOf(const std::string& authUrl, const std::string& tokenUrl) {
    for (int i = 0; i < kOAuthPresetCount; ++i) {
        if (authUrl == kOAuthPresets[i].authUrl && tokenUrl == kOAuthPresets[i].tokenUrl) {
            return i;
        }
    }
    return -1;
}

int PresetForServer(const std::string& server) {
    const bool google =
        server.find("gmail") != std::string::npos || server.find("google") != std::string::npos;
    return google ? 1 : 0;
}
