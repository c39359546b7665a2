// Sends the diagnostic channel to a fresh file for one test and reads the lines back.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "diag/Proginit.h"

namespace testnet {

class TraceFile {
  public:
    TraceFile() {
        char pattern[] = "/tmp/vellomir-server-XXXXXX";
        directory_ = mkdtemp(pattern);
        path_ = directory_ + "/trace.log";
        DebugSetup(DebugFile, path_.c_str());
    }
    ~TraceFile() {
        DebugResetForTest();
        std::error_code ignored;
        std::filesystem::remove_all(directory_, ignored);
    }
    TraceFile(const TraceFile&) = delete;
    TraceFile& operator=(const TraceFile&) = delete;

    std::string text() const {
        std::ifstream file(path_, std::ios::binary);
        std::ostringstream bytes;
        bytes << file.rdbuf();
        return bytes.str();
    }
    // Lines without their CR LF (DebugLog) or LF ("send:" lines through DebugLogRaw).
    std::vector<std::string> lines() const {
        std::vector<std::string> result;
        std::istringstream stream(text());
        for (std::string line; std::getline(stream, line);) {
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            result.push_back(line);
        }
        return result;
    }
    bool contains(const std::string& needle) const {
        return text().find(needle) != std::string::npos;
    }

  private:
    std::string directory_;
    std::string path_;
};

} // namespace testnet
