// Keeps failure notifications to at most one per entry in a period: a mail client that retries
// every few seconds against a refusing server would otherwise bury the desktop in them.
//
// Qt-free, one thread (the user-interface thread). The caller passes the time, so tests need no
// clock.
#pragma once

#include <chrono>
#include <map>
#include <string>

class NotifyThrottle {
  public:
    using Clock = std::chrono::steady_clock;

    explicit NotifyThrottle(std::chrono::seconds period);

    // True when a notification about `entry` may be shown at `now`; it then counts as shown.
    bool Allow(const std::string& entry, Clock::time_point now);

  private:
    std::chrono::seconds period_;
    // Last notification per entry; entries whose period has passed are dropped, so the map
    // holds no more than the entries that failed within one period.
    std::map<std::string, Clock::time_point> lastShown_;
};
