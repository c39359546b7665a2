// How a worker thread reports to a window that may be gone by the time it has something to say.
//
// The window makes a link to itself and hands a shared pointer of it to the worker. The worker
// never touches the window: it posts calls that run later on the user-interface thread, and
// each call runs only if the window still exists then (and the link was not dropped). Closing
// the window or pressing Cancel therefore never waits for the worker.
#pragma once

#include <atomic>
#include <memory>
#include <utility>

#include <QCoreApplication>
#include <QMetaObject>
#include <QPointer>

template <typename Window> class WorkerLink {
  public:
    // User-interface thread.
    explicit WorkerLink(Window* window) : window_(window) {}

    // Read by the worker; set by the window when the user no longer wants the result.
    std::atomic<bool> cancel{false};

    // Any thread: runs call(window) on the user-interface thread, unless the window is gone or
    // has cancelled by then.
    template <typename Call> static void post(const std::shared_ptr<WorkerLink>& link, Call call) {
        QCoreApplication* app = QCoreApplication::instance();
        if (app == nullptr) {
            return; // the program is ending
        }
        QMetaObject::invokeMethod(
            app,
            [link, call = std::move(call)]() mutable {
                if (Window* window = link->window_.data();
                    window != nullptr && !link->cancel.load()) {
                    call(window);
                }
            },
            Qt::QueuedConnection);
    }

  private:
    QPointer<Window> window_; // dereferenced on the user-interface thread only
};
