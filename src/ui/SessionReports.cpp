#include "SessionReports.h"

#include <QSocketNotifier>
#include <QTimer>

#include "Limits.h"
#include "server/Server.h"
#include "server/TokenStore.h"

SessionReports::SessionReports(QObject* parent, std::function<void(const EngineEvent&)> showFailure,
                               std::function<void()> statusChanged,
                               std::function<void(const ProxyData&)> tokenStored)
    : QObject(parent), showFailure_(std::move(showFailure)),
      statusChanged_(std::move(statusChanged)), tokenStored_(std::move(tokenStored)),
      throttle_(std::chrono::seconds(limits::kNotifyPeriodSeconds)) {
    const int fd = engineServices().events.wakeFd();
    if (fd >= 0) {
        notifier_ = new QSocketNotifier(fd, QSocketNotifier::Read, this);
        connect(notifier_, &QSocketNotifier::activated, this, &SessionReports::TakeEvents);
    } else {
        poll_ = new QTimer(this);
        connect(poll_, &QTimer::timeout, this, &SessionReports::TakeEvents);
        poll_->start(limits::kPollMillis);
    }
}

void SessionReports::TakeEvents() {
    bool resultsChanged = false;
    for (const EngineEvent& event : engineServices().events.take()) {
        switch (event.kind) {
        case EngineEvent::Kind::RefreshTokenRotated: {
            ProxyData stored;
            if (storeRotatedRefreshToken(event, &stored) && tokenStored_) {
                tokenStored_(stored);
            }
            break;
        }
        case EngineEvent::Kind::SessionFailed:
            status_.Record(event);
            resultsChanged = true;
            if (throttle_.Allow(event.domain + '\n' + event.server + '\n' + event.user,
                                NotifyThrottle::Clock::now())) {
                showFailure_(event);
            }
            break;
        case EngineEvent::Kind::SessionRelayed:
            status_.Record(event);
            resultsChanged = true;
            break;
        }
    }
    if (resultsChanged) {
        statusChanged_();
    }
}
