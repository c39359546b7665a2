#include "ProcessState.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <thread>

namespace testsupport {

namespace {

// Entries of `dir` for which `counts` holds.
template <typename Filter> int countEntries(const char* dir, Filter counts) {
    int count = 0;
    std::error_code error;
    for (auto it = std::filesystem::directory_iterator(dir, error);
         !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
        count += counts(it->path()) ? 1 : 0;
    }
    return count;
}

} // namespace

// The directory iterator holds one descriptor of its own while it counts.
int countOpenDescriptors() {
    return countEntries("/proc/self/fd", [](const std::filesystem::path&) { return true; }) - 1;
}

int countSocketsAndFiles() {
    return countEntries("/proc/self/fd", [](const std::filesystem::path& entry) {
        std::error_code error;
        const std::string target = std::filesystem::read_symlink(entry, error).string();
        return target.rfind("socket:", 0) == 0 || target.rfind("/", 0) == 0;
    });
}

int countThreads() {
    return countEntries("/proc/self/task", [](const std::filesystem::path&) { return true; });
}

bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return done();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

TempDir::TempDir() {
    std::string pattern = std::filesystem::temp_directory_path() / "vellomir-test-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        std::abort();
    }
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

} // namespace testsupport
