// The simulator's texts: device groups from the command line, outcome lines, JSON.
#include <strings.h>

#include <charconv>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "messaging/msg_format.h"
#include "reporting/state_text.h"
#include "tools/devsim/device_simulator.h"

namespace devsim {

namespace {

template <typename T>
bool Number(const std::string& text, T* out, T low, T high) {
    T value{};
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value < low || value > high) return false;
    *out = value;
    return true;
}

bool Pair(const std::string& text, std::string* first, std::string* second) {
    size_t colon = text.find(':');
    if (colon == std::string::npos) return false;
    *first = text.substr(0, colon);
    *second = text.substr(colon + 1);
    return true;
}

std::string EventName(int event) {
    return event >= 0 && event <= 11 ? MsgTypeName(event + 1) : "none";
}

}  // namespace

const char* OutcomeName(Outcome outcome) {
    switch (outcome) {
        case Outcome::Pending:
            return "pending";
        case Outcome::Upgraded:
            return "upgraded";
        case Outcome::UpToDate:
            return "up-to-date";
        case Outcome::Failed:
            return "failed";
        case Outcome::Silent:
            return "silent";
        case Outcome::TimedOut:
            return "timeout";
        case Outcome::Stopped:
            return "stopped";
        case Outcome::Error:
            return "error";
    }
    return "?";
}

const char* KindName(DeviceKind kind) {
    return kind == DeviceKind::Nvr ? "NVR" : "IPC";
}

int ParseEvent(const std::string& text) {
    int number = -1;
    if (Number(text, &number, 0, 11)) return number;
    if (text.empty()) return -1;
    int found = -1;
    for (int event = 0; event <= 11; ++event) {
        const char* name = MsgTypeName(event + 1) + 7;  // past "Report_"
        if (strncasecmp(name, text.c_str(), text.size()) != 0) continue;
        if (found >= 0) return -1;  // ambiguous
        found = event;
    }
    return found;
}

bool ValidExpectation(const std::string& text) {
    static const char* const kPlain[] = {"upgraded", "up-to-date", "failed", "silent", "timeout", "any"};
    for (const char* plain : kPlain) {
        if (text == plain) return true;
    }
    int state = 0;
    return text.rfind("failed:", 0) == 0 && Number(text.substr(7), &state, 2, 6);
}

bool ParseDeviceGroup(const std::string& text, DeviceGroup* group, std::string* error) {
    size_t at = 0;
    while (at <= text.size()) {
        size_t end = text.find(',', at);
        if (end == std::string::npos) end = text.size();
        const std::string item = text.substr(at, end - at);
        at = end + 1;
        if (item.empty()) continue;
        const size_t eq = item.find('=');
        const std::string key = item.substr(0, eq);
        const std::string value = eq == std::string::npos ? std::string() : item.substr(eq + 1);
        std::string a, b;
        bool ok = true;
        if (key == "count") {
            ok = Number(value, &group->count, 1, 100000);
        } else if (key == "kind") {
            ok = strcasecmp(value.c_str(), "ipc") == 0 || strcasecmp(value.c_str(), "nvr") == 0;
            group->kind = strcasecmp(value.c_str(), "nvr") == 0 ? DeviceKind::Nvr : DeviceKind::Ipc;
        } else if (key == "model") {
            ok = !value.empty() && value.size() < 64;
            group->model = value;
        } else if (key == "version") {
            ok = !value.empty() && value.size() < 64;
            group->version = value;
        } else if (key == "mac") {
            unsigned x[6];
            char tail;
            ok =
                std::sscanf(value.c_str(), "%x:%x:%x:%x:%x:%x%c", &x[0], &x[1], &x[2], &x[3], &x[4], &x[5], &tail) == 6;
            group->mac = value;
        } else if (key == "step-ms") {
            ok = Number(value, &group->stepMs, 0, 3600000);
        } else if (key == "windowsize") {
            ok = Number(value, &group->windowSize, 0, 65535);
        } else if (key == "fail") {
            ok = Pair(value, &a, &b) && (group->inject.failEvent = ParseEvent(a)) >= 0 &&
                 Number(b, &group->inject.failState, 2, 7);
        } else if (key == "drop") {
            std::string share = value;
            const bool percent = !share.empty() && share.back() == '%';
            if (percent) share.pop_back();
            char* stop = nullptr;
            double v = std::strtod(share.c_str(), &stop);
            if (percent) v /= 100.0;
            ok = !share.empty() && stop != nullptr && *stop == '\0' && v >= 0.0 && v < 1.0;
            group->inject.drop = v;
        } else if (key == "no-last-ack") {
            ok = value.empty() || value == "1" || value == "0";
            group->inject.noLastAck = value != "0";
        } else if (key == "stall") {
            ok = Pair(value, &a, &b) && Number(a, &group->inject.stallBlock, 1u, 0xFFFFFFFFu) &&
                 Number(b, &group->inject.stallMs, 0, 3600000);
        } else if (key == "silent") {
            ok = (group->inject.silentEvent = ParseEvent(value)) >= 0;
        } else if (key == "expect") {
            ok = ValidExpectation(value);
            group->expect = value;
        } else if (key == "restarts") {
            ok = Number(value, &group->restarts, 0, 1000);
        } else {
            *error = "unknown key \"" + key + "\" in \"" + text + "\"";
            return false;
        }
        if (!ok) {
            *error = "bad value in \"" + item + "\"";
            return false;
        }
    }
    return true;
}

std::string FormatResult(const DeviceResult& r) {
    char line[1024];
    int n = std::snprintf(line, sizeof line, "#%-3d %s %s %s-%s: %s", r.index, r.mac.c_str(), KindName(r.kind),
                          r.model.c_str(), r.versionBefore.c_str(), OutcomeName(r.outcome));
    std::string out(line, static_cast<size_t>(std::max(n, 0)));
    if (r.outcome == Outcome::Upgraded) {
        std::snprintf(line, sizeof line, " to %s at %s (%llu bytes, crc32 %08x)", r.offeredVersion.c_str(),
                      r.lentIp.c_str(), static_cast<unsigned long long>(r.bytes), r.crc32);
        out += line;
    } else if (r.outcome == Outcome::Failed) {
        char text[kIpcStateTextSize] = {};
        GetIPCStateText(1033, static_cast<uint32_t>(r.event), static_cast<uint32_t>(r.state), text);
        out += " at " + EventName(r.event) + ", state " + std::to_string(r.state) + " \"" + text + "\"";
    }
    if (!r.detail.empty() && r.outcome != Outcome::Upgraded) out += " (" + r.detail + ")";
    out += r.asExpected ? "  [as expected]" : "  [NOT AS EXPECTED: expected " + r.expected + "]";
    return out;
}

std::string ResultsToJson(const std::vector<DeviceResult>& results) {
    nlohmann::ordered_json devices = nlohmann::ordered_json::array();
    std::map<std::string, int> counts;
    bool all = !results.empty();
    for (const DeviceResult& r : results) {
        char crc[9];
        std::snprintf(crc, sizeof crc, "%08x", r.crc32);
        char stateText[kIpcStateTextSize] = {};
        if (r.event >= 0 && r.state >= 0) {
            GetIPCStateText(1033, static_cast<uint32_t>(r.event), static_cast<uint32_t>(r.state), stateText);
        }
        devices.push_back({{"index", r.index},
                           {"mac", r.mac},
                           {"kind", KindName(r.kind)},
                           {"model", r.model},
                           {"version_before", r.versionBefore},
                           {"outcome", OutcomeName(r.outcome)},
                           {"expected", r.expected},
                           {"as_expected", r.asExpected},
                           {"stage", r.stage},
                           {"event", r.event},
                           {"event_name", EventName(r.event)},
                           {"state", r.state},
                           {"state_text", stateText},
                           {"lent_ip", r.lentIp},
                           {"server_ip", r.serverIp},
                           {"file", r.filePath},
                           {"offered_version", r.offeredVersion},
                           {"bytes", r.bytes},
                           {"tsize", r.tsize},
                           {"crc32", crc},
                           {"blksize", r.blockSize},
                           {"windowsize", r.windowSize},
                           {"read_requests", r.readRequests},
                           {"address_requests", r.addressRequests},
                           {"reports", r.reports},
                           {"elapsed_ms", r.elapsedMs},
                           {"kept_file", r.keptFile},
                           {"detail", r.detail}});
        ++counts[OutcomeName(r.outcome)];
        all = all && r.asExpected;
    }
    nlohmann::ordered_json summary = {{"devices", results.size()}};
    for (Outcome o : {Outcome::Upgraded, Outcome::UpToDate, Outcome::Failed, Outcome::Silent, Outcome::TimedOut,
                      Outcome::Stopped, Outcome::Error, Outcome::Pending}) {
        summary[OutcomeName(o)] = counts[OutcomeName(o)];
    }
    summary["all_as_expected"] = all;
    // Device texts are GBK bytes at worst; replace rather than throw on what is not UTF-8.
    return nlohmann::ordered_json{{"summary", summary}, {"devices", devices}}.dump(
               2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) +
           "\n";
}

std::string Summary(const std::vector<DeviceResult>& results) {
    std::map<Outcome, int> counts;
    int unexpected = 0;
    for (const DeviceResult& r : results) {
        ++counts[r.outcome];
        if (!r.asExpected) ++unexpected;
    }
    std::string out = std::to_string(results.size()) + " devices:";
    const char* sep = " ";
    for (Outcome o : {Outcome::Upgraded, Outcome::UpToDate, Outcome::Failed, Outcome::Silent, Outcome::TimedOut,
                      Outcome::Stopped, Outcome::Error, Outcome::Pending}) {
        if (counts[o] == 0) continue;
        out += sep + std::to_string(counts[o]) + " " + OutcomeName(o);
        sep = ", ";
    }
    out += unexpected == 0 ? "; all as expected" : "; " + std::to_string(unexpected) + " NOT as expected";
    return out;
}

}  // namespace devsim
