#include "config/Proxydata.h"

#include <iterator>

#include "codec/Wipe.h"
#include "config/Inifile.h"

ProxyDataList ProxyList;

ProxyData::~ProxyData() {
    for (std::string* secret : {&Passwd, &OAuthClientSecret, &OAuthRefresh}) {
        Wipe(*secret);
    }
}

void ProxyData::Init(std::int32_t n) {
    if (n >= 0) {
        Index = n;
        Ini.LoadEntry(n, *this);
        return;
    }
    *this = ProxyData{};
    Index = n;
}

void ProxyData::Save() const {
    if (Index < 0) {
        return; // a number the settings file cannot hold
    }
    Ini.SaveEntry(Index, *this, true);
}

int ProxyDataList::Count() const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(items_.size());
}

void ProxyDataList::Append(const ProxyData& entry) {
    std::lock_guard lock(mutex_);
    items_.push_back(entry);
}

// Out-of-range positions (no caller passes one) read as a new entry and edit nothing.
ProxyData ProxyDataList::At(int k) const {
    std::lock_guard lock(mutex_);
    if (k < 0 || k >= static_cast<int>(items_.size())) {
        return ProxyData{};
    }
    return *std::next(items_.begin(), k);
}

std::vector<ProxyData> ProxyDataList::Snapshot() const {
    std::lock_guard lock(mutex_);
    return {items_.begin(), items_.end()};
}

void ProxyDataList::Clear() {
    std::lock_guard lock(mutex_);
    items_.clear();
}

ProxyData ProxyDataList::Add(ProxyData entry) {
    std::lock_guard lock(mutex_);
    entry.Index = static_cast<std::int32_t>(items_.size());
    items_.push_back(entry);
    return entry;
}

void ProxyDataList::Replace(const ProxyData& entry) {
    std::lock_guard lock(mutex_);
    if (entry.Index < 0 || entry.Index >= static_cast<int>(items_.size())) {
        return;
    }
    *std::next(items_.begin(), entry.Index) = entry;
}

void ProxyDataList::Erase(int k) {
    std::lock_guard lock(mutex_);
    if (k < 0 || k >= static_cast<int>(items_.size())) {
        return;
    }
    auto later = items_.erase(std::next(items_.begin(), k));
    for (std::int32_t position = k; later != items_.end(); ++later, ++position) {
        later->Index = position;
    }
}

bool ProxyDataList::Scan(const std::function<bool(const ProxyData&)>& matches,
                         ProxyData& found) const {
    std::lock_guard lock(mutex_);
    for (const ProxyData& entry : items_) {
        if (matches(entry)) {
            found = entry;
            return true;
        }
    }
    return false;
}
