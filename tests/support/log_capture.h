#pragma once
// Points the log at a file in a folder of its own for its lifetime, and reads back what was written.
#include <string>

#include "log/log.h"
#include "support/temp_dir.h"

namespace testsupport {

class LogCapture {
public:
    explicit LogCapture(int threshold) { LogInit(threshold, m_dir.File("Upgrade.log").c_str()); }
    ~LogCapture() { LogInit(LOG_MAJOR, ""); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::string Text() const { return m_dir.Read("Upgrade.log"); }
    // Another file beside the log (the rotated "Upgrade.log.1").
    std::string Read(const std::string& name) const { return m_dir.Read(name); }
    // How often `text` occurs in the log.
    size_t Count(const std::string& text) const {
        const std::string log = Text();
        size_t n = 0;
        for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++n;
        return n;
    }

private:
    TempDir m_dir;
};

}  // namespace testsupport
