#include "NotifyThrottle.h"

#include <iterator>

NotifyThrottle::NotifyThrottle(std::chrono::seconds period) : period_(period) {}

bool NotifyThrottle::Allow(const std::string& entry, Clock::time_point now) {
    for (auto it = lastShown_.begin(); it != lastShown_.end();) {
        it = now - it->second >= period_ ? lastShown_.erase(it) : std::next(it);
    }
    return lastShown_.emplace(entry, now).second;
}
