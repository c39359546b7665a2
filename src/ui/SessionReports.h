// The desktop program's reader of the engine's events, on the user-interface thread: a socket
// notifier on the queue's wake-up descriptor takes the events as they come. Rotated refresh
// tokens are stored in the entry list and the settings file; session results go into the tray
// status; a failure is passed on to be shown, at most once per entry per minute.
//
// User-interface thread only. The engine never calls in here: it only pushes to its queue.
#pragma once

#include <functional>

#include <QObject>

#include "NotifyThrottle.h"
#include "TrayStatus.h"
#include "config/Proxydata.h"
#include "server/EngineEvents.h"

class QSocketNotifier;
class QTimer;

class SessionReports : public QObject {
    Q_OBJECT

  public:
    // `showFailure` gets each failure that passed the throttle; `statusChanged` runs after the
    // tray status took new results; `tokenStored` gets an entry whose rotated refresh token was
    // stored (the keyring keeps it too, when in use).
    SessionReports(QObject* parent, std::function<void(const EngineEvent&)> showFailure,
                   std::function<void()> statusChanged,
                   std::function<void(const ProxyData&)> tokenStored = {});

    // Takes and handles every waiting event now (the notifier calls it as events come).
    void TakeEvents();
    TrayStatus& Status() { return status_; }

  private:
    std::function<void(const EngineEvent&)> showFailure_;
    std::function<void()> statusChanged_;
    std::function<void(const ProxyData&)> tokenStored_;
    NotifyThrottle throttle_;
    TrayStatus status_;
    QSocketNotifier* notifier_ = nullptr;
    QTimer* poll_ = nullptr; // only when the queue has no wake-up descriptor
};
