// What the tray icon tells at a glance: the listening address and port, and how the last session
// of each entry ended (when, delivered or the failure). While the last attempt of any entry
// failed, the icon carries a warning mark; that entry's next success clears it.
//
// User-interface thread only.
#pragma once

#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include <QString>

#include "server/EngineEvents.h"

class TrayStatus {
  public:
    // Takes SessionFailed and SessionRelayed events; other kinds change nothing.
    void Record(const EngineEvent& event);
    // Forgets the entries for which `stillListed(domain, server, user)` is false: an erased or
    // changed entry's old failure must not keep the warning up for good.
    void Retain(const std::function<bool(const std::string& domain, const std::string& server,
                                         const std::string& user)>& stillListed);
    bool AnyFailed() const;
    // The tooltip: `title`, the listening line, then one line per entry in order of first use.
    QString ToolTip(const QString& title, const QString& listening) const;

  private:
    struct EntryResult {
        std::string domain;
        std::string server;
        std::string user;
        std::time_t when = 0;
        bool delivered = false;
        std::string failure;
    };
    std::vector<EntryResult> results_;
};

// The listening line: "待受: 127.0.0.1:25", "待受: [::1]:2525".
QString ListeningWords(const std::string& address, int port);
