// Sends the diagnostic channel somewhere a test can read it back: a fresh log file (the default),
// UDP datagrams to a loopback receiver, or standard error redirected to a file. The channel goes
// off, standard error comes back and the files go away at the end of the scope. One capture at a
// time, made and read on the test's own thread.
#pragma once

#include <string>
#include <vector>

namespace testsupport {

class TraceCapture {
  public:
    enum Mode { File, Udp, StandardError };

    explicit TraceCapture(Mode mode = File);
    ~TraceCapture();
    TraceCapture(const TraceCapture&) = delete;
    TraceCapture& operator=(const TraceCapture&) = delete;

    // Everything written so far (for UDP: every datagram received so far, in order).
    std::string text();
    // Lines of text() without their CR LF (DebugLog) or LF ("send:" lines through DebugLogRaw).
    std::vector<std::string> lines();
    bool contains(const std::string& needle);
    // Turns the channel off, so all it wrote is complete.
    void stop();
    // stop(), then text().
    std::string finish();
    // Sets the channel up again, after stop(): a log file is emptied with its next line, and
    // datagrams already read are forgotten.
    void restart();

  private:
    void setUp();

    Mode mode_;
    std::string directory_;
    std::string path_;
    int receiver_ = -1;
    int savedStderr_ = -1;
    std::string datagrams_;
};

} // namespace testsupport
