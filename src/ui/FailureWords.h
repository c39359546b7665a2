// How the desktop program words a failed session for its user: in Japanese, with the server's
// own reply line (or the TLS or connect error) as it came, and a hint for the causes users meet
// most. The engine's texts carry no credential, so neither do these.
#pragma once

#include <QString>

#include "server/EngineEvents.h"

// The hint for a well-known cause, or an empty text.
QString HintWords(FailureHint hint);
// What went wrong as the engine said it, with control characters shown as "\xNN" (a server's
// line may hold any byte) and, when `maxChars` > 0, cut to that many characters with "...".
QString FailureWords(const std::string& failure, int maxChars = 0);
// The notification's title and text for a SessionFailed event.
QString FailureTitle(const EngineEvent& event);
QString FailureMessage(const EngineEvent& event);
