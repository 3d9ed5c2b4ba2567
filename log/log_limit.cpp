#include "log/log_limit.h"

#include "log/log.h"

namespace {

// Once this many keys are tracked, further keys share one entry: a host that invents senders
// cannot make the limiter itself grow.
const std::string kOtherKey = "other hosts";
constexpr int64_t kFlushEveryMs = 1000;

}  // namespace

LogRepeatLimiter::LogRepeatLimiter(int burst, int periodMs, size_t maxKeys, const char* what)
    : m_burst(burst), m_periodMs(periodMs), m_maxKeys(maxKeys > 0 ? maxKeys : 1), m_what(what) {}

LogRepeatLimiter::~LogRepeatLimiter() {
    Flush(0, true);
}

LogRepeatLimiter::Entry& LogRepeatLimiter::EntryFor(const std::string& key, int64_t nowMs) {
    auto found = m_keys.find(key);
    if (found == m_keys.end()) {
        auto [added, isNew] = m_keys.try_emplace(m_keys.size() < m_maxKeys ? key : kOtherKey);
        if (isNew) added->second.start = nowMs;
        found = added;
    }
    Entry& entry = found->second;
    if (nowMs - entry.start >= m_periodMs) {
        Summarise(found->first, entry);
        entry = Entry{};
        entry.start = nowMs;
    }
    return entry;
}

bool LogRepeatLimiter::Allow(const std::string& key, int64_t nowMs) {
    return EntryFor(key, nowMs).written < m_burst;
}

void LogRepeatLimiter::Note(const std::string& key, bool written) {
    auto found = m_keys.find(key);
    if (found == m_keys.end()) found = m_keys.find(kOtherKey);
    if (found == m_keys.end()) return;
    if (written) {
        ++found->second.written;
    } else {
        ++found->second.left;
    }
}

bool LogRepeatLimiter::Take(const std::string& key, int64_t nowMs) {
    bool allowed = Allow(key, nowMs);
    Note(key, allowed);
    return allowed;
}

void LogRepeatLimiter::Summarise(const std::string& key, Entry& entry) {
    if (entry.left > 0) LogMessage(LOG_MAJOR, "%ld more %s from %s", entry.left, m_what.c_str(), key.c_str());
    entry.left = 0;
}

void LogRepeatLimiter::Flush(int64_t nowMs, bool all) {
    // Called for every message under a flood: the walk over the keys is done about once a second.
    if (!all && nowMs - m_lastFlushMs < kFlushEveryMs && nowMs >= m_lastFlushMs) return;
    m_lastFlushMs = nowMs;
    for (auto it = m_keys.begin(); it != m_keys.end();) {
        Entry& entry = it->second;
        bool over = all || nowMs - entry.start >= m_periodMs;
        if (!over) {
            ++it;
            continue;
        }
        bool quiet = entry.written == 0 && entry.left == 0;
        Summarise(it->first, entry);
        if (quiet || all) {
            it = m_keys.erase(it);
        } else {
            entry = Entry{};
            entry.start = nowMs;
            ++it;
        }
    }
}
