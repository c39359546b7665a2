// The log window's reader of the trace: while installed, the diagnostic channel hands every line
// to this buffer (whatever DebugWrite says), and the window takes them on its own timer.
//
// The tap runs on whichever thread traces, under the channel's lock: it only copies the line
// into a mutex-protected buffer (no Qt, no tracing). Take, Install and Remove belong to the
// user-interface thread. Removed, the channel is back to one atomic load per trace call.
#pragma once

#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

class TraceTap {
  public:
    // Keeps at most `maxLines` lines between two takes; older ones are dropped.
    explicit TraceTap(std::size_t maxLines);
    ~TraceTap();
    TraceTap(const TraceTap&) = delete;
    TraceTap& operator=(const TraceTap&) = delete;

    void Install();
    // Once it returns, no line reaches this buffer any more.
    void Remove();
    bool Installed() const { return installed_; }
    // The lines traced since the last take, oldest first.
    std::vector<std::string> Take();

  private:
    static void Receive(void* context, const char* line, std::size_t length);

    const std::size_t maxLines_;
    bool installed_ = false;
    std::mutex mutex_;
    std::deque<std::string> lines_;
};
