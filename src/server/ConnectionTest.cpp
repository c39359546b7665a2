// The entry dialog's connection test: the upstream half of a session, on its own, with QUIT.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>
#include <unistd.h>

#include "Limits.h"
#include "server/Server.h"
#include "server/SocketUtil.h"

namespace {

// The EHLO name when no mail client gave one: the machine's own.
std::string localName() {
    char name[256] = "";
    if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') {
        return "localhost";
    }
    return name;
}

std::string failureSummary(const SocketTask& task, const char* stage) {
    if (!task.FailureText.empty()) {
        return std::string(stage) + ": " + task.FailureText;
    }
    return std::string(stage) + " failed";
}

// Reads a whole reply; gives its first line's code, or -1.
int readReply(SocketTask& task, char* line, std::size_t size) {
    if (getLine(task, task.PeerSocket, line, size) != 0) {
        return -1;
    }
    const int code = replyCode(line);
    if (skipContinuation(task, task.PeerSocket, line, size, nullptr) != 0) {
        return -1;
    }
    return code;
}

ConnectionTestResult run(SocketTask& task, const ProxyData& entry) {
    char line[limits::kLineBuffer] = {};
    const std::string word = localName();
    std::string why;
    task.PeerSocket = connectServer(entry.SMTP.c_str(), entry.Port, &why);
    if (task.PeerSocket < 0) {
        return {false, why};
    }
    bool greetingRead = false;
    if (secureUpstream(entry, task, line, sizeof line, word.c_str(), greetingRead) != 0) {
        return {false, failureSummary(task, "TLS")};
    }
    if (entry.Method == MethodNone) {
        // No login: the server's greeting and its answer to EHLO show what it offers.
        if (!greetingRead && readReply(task, line, sizeof line) != 220) {
            return {false, failureSummary(task, "greeting")};
        }
        sendServerLine(task, ("EHLO " + word + "\n").c_str(), true);
        if (readReply(task, line, sizeof line) != 250) {
            return {false, std::string("EHLO refused: ") + line};
        }
    } else {
        std::snprintf(line, sizeof line, "EHLO %s", word.c_str());
        if (authServer(entry, task, line, sizeof line, greetingRead) != 0) {
            return {false, failureSummary(task, "login")};
        }
    }
    sendServerLine(task, "QUIT\n", true);
    readReply(task, line, sizeof line); // a server that closes at once is fine too
    std::string summary = "connected";
    if (task.PeerTls) {
        summary += " over " + task.PeerTls->description();
    }
    summary += entry.Method == MethodNone ? ", no login" : ", logged in";
    return {true, summary};
}

} // namespace

ConnectionTestResult
testUpstream(const ProxyData& entry, const std::atomic<bool>& cancel,
             std::function<void(bool sent, const std::string& line)> transcript) {
    const PipeSignalBlock noPipeSignal; // as on a session thread
    SocketTask task;
    task.Services = &engineServices();
    task.Transcript = std::move(transcript);
    // The line reader looks at the task's running flag every wait period: a watcher turns a
    // cancel into a stop.
    std::mutex mutex;
    std::condition_variable finishedChanged;
    bool finished = false;
    std::thread watcher([&] {
        std::unique_lock lock(mutex);
        while (!finishedChanged.wait_for(lock, std::chrono::milliseconds(limits::kPollMillis),
                                         [&] { return finished; })) {
            if (cancel.load(std::memory_order_acquire)) {
                task.stop();
                return;
            }
        }
    });
    ConnectionTestResult result = run(task, entry);
    {
        std::lock_guard lock(mutex);
        finished = true;
    }
    finishedChanged.notify_one();
    watcher.join();
    if (cancel.load(std::memory_order_acquire)) {
        result = {false, "cancelled"};
    }
    closePeer(task);
    return result;
}
