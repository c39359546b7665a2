// Storing a refresh token that the token endpoint replaced: into the entry list and the settings
// file, so the next start signs in with the new one.
//
// Call on the thread that owns the settings file (the user-interface thread, or the engine
// host's main thread), with an event taken from the engine's queue.
#pragma once

#include "config/Proxydata.h"
#include "server/EngineEvents.h"

// Finds the event's entry (by its number when that still holds the old token, else by the same
// domain, user and old token), gives it the new refresh token and saves it. False when no entry
// carries the old token any more (edited or erased meanwhile): nothing is changed then. With
// `stored` given, it receives the entry as saved.
bool storeRotatedRefreshToken(const EngineEvent& event, ProxyData* stored = nullptr);
