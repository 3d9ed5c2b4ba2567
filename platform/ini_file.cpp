#include "platform/ini_file.h"

#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>

namespace platform {

namespace {

std::string Trim(const std::string& s) {
    const char* ws = " \t\r\n";
    size_t b = s.find_first_not_of(ws);
    if (b == std::string::npos) return {};
    size_t e = s.find_last_not_of(ws);
    return s.substr(b, e - b + 1);
}

bool SameName(const std::string& a, const std::string& b) {
    return a.size() == b.size() && strncasecmp(a.c_str(), b.c_str(), a.size()) == 0;
}

bool ReadLines(const std::string& path, std::vector<std::string>* lines, bool* crlf) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::string line;
    *crlf = false;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
            *crlf = true;
        }
        lines->push_back(line);
    }
    return true;
}

// "[name]" gives name; anything else gives false.
bool SectionName(const std::string& line, std::string* name) {
    std::string t = Trim(line);
    if (t.size() < 2 || t.front() != '[') return false;
    size_t close = t.find(']');
    if (close == std::string::npos) return false;
    *name = Trim(t.substr(1, close - 1));
    return true;
}

bool KeyValue(const std::string& line, std::string* key, std::string* value) {
    std::string t = Trim(line);
    if (t.empty() || t[0] == ';' || t[0] == '#') return false;
    size_t eq = t.find('=');
    if (eq == std::string::npos) return false;
    *key = Trim(t.substr(0, eq));
    *value = Trim(t.substr(eq + 1));
    return true;
}

bool FindValue(const std::string& path, const std::string& section, const std::string& key, std::string* value) {
    std::vector<std::string> lines;
    bool crlf = false;
    if (!ReadLines(path, &lines, &crlf)) return false;
    bool inSection = false;
    for (const std::string& line : lines) {
        std::string name, k, v;
        if (SectionName(line, &name)) {
            inSection = SameName(name, Trim(section));
        } else if (inSection && KeyValue(line, &k, &v) && SameName(k, Trim(key))) {
            if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) {
                v = v.substr(1, v.size() - 2);
            }
            *value = v;
            return true;
        }
    }
    return false;
}

bool WriteAll(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

std::string IniReadString(const std::string& path, const std::string& section, const std::string& key,
                          const std::string& defaultValue) {
    std::string value;
    return FindValue(path, section, key, &value) ? value : defaultValue;
}

int IniReadInt(const std::string& path, const std::string& section, const std::string& key, int defaultValue) {
    std::string value;
    if (!FindValue(path, section, key, &value)) return defaultValue;
    return static_cast<int>(std::strtol(value.c_str(), nullptr, 10));
}

bool IniWriteString(const std::string& path, const std::string& section, const std::string& key,
                    const std::string& value) {
    std::vector<std::string> lines;
    bool crlf = false;
    ReadLines(path, &lines, &crlf);
    const std::string wantSection = Trim(section);
    const std::string wantKey = Trim(key);
    const std::string entry = wantKey + "=" + value;

    bool inSection = false, sectionSeen = false, done = false;
    size_t lastInSection = 0;  // index after which a new key goes
    for (size_t i = 0; i < lines.size() && !done; ++i) {
        std::string name, k, v;
        if (SectionName(lines[i], &name)) {
            if (inSection) break;  // the section ended without the key
            inSection = SameName(name, wantSection);
            if (inSection) {
                sectionSeen = true;
                lastInSection = i;
            }
        } else if (inSection) {
            if (KeyValue(lines[i], &k, &v) && SameName(k, wantKey)) {
                lines[i] = entry;
                done = true;
            } else if (!Trim(lines[i]).empty()) {
                lastInSection = i;
            }
        }
    }
    if (!done) {
        if (sectionSeen) {
            lines.insert(lines.begin() + static_cast<long>(lastInSection) + 1, entry);
        } else {
            lines.push_back("[" + wantSection + "]");
            lines.push_back(entry);
        }
    }

    std::string text;
    for (const std::string& line : lines) text += line + (crlf ? "\r\n" : "\n");

    std::string tmp = path + ".tmpXXXXXX";
    std::vector<char> tmpName(tmp.begin(), tmp.end());
    tmpName.push_back('\0');
    int fd = mkstemp(tmpName.data());
    if (fd < 0) return false;
    bool ok = WriteAll(fd, text) && fsync(fd) == 0;
    int saved = errno;
    close(fd);
    if (ok && rename(tmpName.data(), path.c_str()) == 0) return true;
    if (ok) saved = errno;
    unlink(tmpName.data());
    errno = saved;
    return false;
}

}  // namespace platform
