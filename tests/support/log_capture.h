#pragma once
// Points the log at a file of the test's own for its lifetime, and reads back what was written.
#include <string>

namespace testsupport {

class LogCapture {
public:
    LogCapture(const std::string& path, int threshold);
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::string Text() const;
    // How often `text` occurs in the log.
    size_t Count(const std::string& text) const;

private:
    std::string m_path;
};

}  // namespace testsupport
