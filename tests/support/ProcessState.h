// What a test checks about its own process (open descriptors, threads) and the waiting that goes
// with it, plus fresh temporary directories. Any thread may call these.
#pragma once

#include <chrono>
#include <functional>
#include <string>

namespace testsupport {

// Descriptors open in this process.
int countOpenDescriptors();
// Open sockets and regular files only: the sanitizers' symbolizer opens pipes of its own at any
// time, so a leak check under them counts only what the engine itself opens.
int countSocketsAndFiles();
int countThreads();

// Polls `done` every 5 ms until it holds or `timeout` passes; gives its last value.
bool waitUntil(const std::function<bool()>& done,
               std::chrono::milliseconds timeout = std::chrono::seconds(5));

// A fresh directory under the system's temporary directory, removed with everything in it at
// the end of the scope. Aborts when none can be made.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

} // namespace testsupport
