#include "support/log_capture.h"

#include <fstream>
#include <sstream>

#include "log/log.h"

namespace testsupport {

LogCapture::LogCapture(const std::string& path, int threshold) : m_path(path) {
    LogInit(threshold, m_path.c_str());
}

LogCapture::~LogCapture() {
    LogInit(LOG_MAJOR, "");
}

std::string LogCapture::Text() const {
    std::ifstream in(m_path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

size_t LogCapture::Count(const std::string& text) const {
    std::string log = Text();
    size_t n = 0;
    for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++n;
    return n;
}

}  // namespace testsupport
