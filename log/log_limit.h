#pragma once
// Keeps lines that a LAN host can repeat at will (junk datagrams, dropped requests) from filling
// the log: per key (a sender's address, a kind of drop) the first `burst` lines of a period are
// written, the rest only counted, and the count is written once that key's period is over:
// " [Major][..]37 more junk messages ignored from 10.0.0.5".
#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>

// Not thread-safe: each thread that needs one keeps its own.
class LogRepeatLimiter {
public:
    // `what` says what befell the lines left out, for the summary ("junk messages ignored").
    LogRepeatLimiter(int burst, int periodMs, size_t maxKeys, const char* what);
    ~LogRepeatLimiter();
    LogRepeatLimiter(const LogRepeatLimiter&) = delete;
    LogRepeatLimiter& operator=(const LogRepeatLimiter&) = delete;

    // True while `key` may still write lines in its current period (starting a new one when due).
    bool Allow(const std::string& key, int64_t nowMs);
    // Counts one occurrence of `key`: written, or left out and owed to the summary.
    void Note(const std::string& key, bool written);
    // Allow and Note in one: true when the caller writes its line now.
    bool Take(const std::string& key, int64_t nowMs);
    // Writes the summaries of every key whose period is over (all of them with `all`) and forgets
    // keys that have been quiet for a whole period.
    void Flush(int64_t nowMs, bool all = false);

private:
    struct Entry {
        int64_t start = 0;
        int written = 0;
        long left = 0;
    };
    Entry& EntryFor(const std::string& key, int64_t nowMs);
    void Summarise(const std::string& key, Entry& entry);

    int m_burst;
    int m_periodMs;
    size_t m_maxKeys;
    std::string m_what;
    std::unordered_map<std::string, Entry> m_keys;
    int64_t m_lastFlushMs = 0;
};
