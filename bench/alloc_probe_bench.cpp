// How long GetNotUseIp takes with probing on when many address requests arrive at once, and
// whether any two of them were lent the same address. Runs in a network namespace of its own:
// a veth pair carries the /24, and the addresses it probes exist nowhere, so nothing answers
// (or, with --answering, two of every three candidates are our own and answer at once).
#include <net/if.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/kelvane_dlg.h"
#include "negotiation/ping.h"

namespace {

constexpr const char* kLocalIp = "10.88.0.1";

int Run(const std::string& command) {
    int status = std::system((command + " >/dev/null 2>&1").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool EnterOwnNetwork(bool answering) {
    if (unshare(CLONE_NEWNET) != 0) {
        std::perror("unshare(CLONE_NEWNET)");
        return false;
    }
    if (Run("ip link set lo up") != 0 || Run("ip link add kvb0 type veth peer name kvb0p") != 0 ||
        Run("ip link set kvb0 up") != 0 || Run("ip link set kvb0p up") != 0 ||
        Run(std::string("ip addr add ") + kLocalIp + "/24 dev kvb0") != 0) {
        std::fprintf(stderr, "cannot set up the veth pair in the private namespace\n");
        return false;
    }
    // Lets the unprivileged ICMP socket be used; per namespace, so nothing changes outside.
    FILE* range = std::fopen("/proc/sys/net/ipv4/ping_group_range", "w");
    if (range == nullptr || std::fputs("0 2147483647", range) < 0 || std::fclose(range) != 0) {
        std::fprintf(stderr, "cannot allow ICMP datagram sockets in the private namespace\n");
        return false;
    }
    if (answering) {
        // The first two candidates of every batch from .10 on answer; the third is lent.
        std::string batch;
        for (int octet = 10; octet <= 249; ++octet) {
            if ((octet - 10) % 3 == 2) continue;
            batch += "address add 10.88.0." + std::to_string(octet) + "/24 dev kvb0\n";
        }
        FILE* ip = popen("ip -batch -", "w");
        if (ip == nullptr) return false;
        std::fputs(batch.c_str(), ip);
        if (pclose(ip) != 0) return false;
    }
    return true;
}

double Percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    size_t index = static_cast<size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
    return values[index];
}

}  // namespace

int main(int argc, char** argv) {
    int callers = 20;
    int rounds = 4;
    bool answering = false;
    PingSocketMode mode = PingSocketMode::Automatic;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--callers" && i + 1 < argc)
            callers = std::atoi(argv[++i]);
        else if (arg == "--rounds" && i + 1 < argc)
            rounds = std::atoi(argv[++i]);
        else if (arg == "--answering")
            answering = true;
        else if (arg == "--datagram")
            mode = PingSocketMode::DatagramOnly;
        else {
            std::fprintf(stderr, "usage: %s [--callers N] [--rounds R] [--answering] [--datagram]\n", argv[0]);
            return 2;
        }
    }
    // One turn of the cursor lends at most 80 addresses; beyond that repeats are expected.
    if (callers < 1 || rounds < 1 || callers * rounds > 80) {
        std::fprintf(stderr, "callers x rounds must be between 1 and 80\n");
        return 2;
    }
    if (!EnterOwnNetwork(answering)) return 1;
    SetPingSocketMode(mode);

    CKelvaneDlg dlg;
    std::snprintf(dlg.m_szLocalIP, sizeof dlg.m_szLocalIP, "%s", kLocalIp);
    std::snprintf(dlg.m_szNextAllocIp, sizeof dlg.m_szNextAllocIp, "10.88.0.10");
    dlg.m_bIpCheck = 1;

    std::mutex lock;
    std::vector<double> durations;
    std::map<std::string, int> lent;
    int failures = 0;
    auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> threads;
    for (int c = 0; c < callers; ++c) {
        threads.emplace_back([&, c] {
            for (int r = 0; r < rounds; ++r) {
                char out[64] = {};
                auto begin = std::chrono::steady_clock::now();
                int rc = dlg.GetNotUseIp(out, kLocalIp, c * rounds + r);
                double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - begin).count();
                std::lock_guard<std::mutex> hold(lock);
                durations.push_back(ms);
                if (rc == 0)
                    ++lent[out];
                else
                    ++failures;
            }
        });
    }
    for (std::thread& t : threads) t.join();
    double wall = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();

    int duplicates = 0;
    for (const auto& [address, count] : lent) duplicates += count - 1;
    std::printf("socket=%s candidates=%s callers=%d rounds=%d requests=%zu\n",
                mode == PingSocketMode::DatagramOnly ? "datagram" : "raw-first",
                answering ? "2-of-3-answer" : "all-free", callers, rounds, durations.size());
    std::printf("GetNotUseIp ms: min=%.1f median=%.1f p95=%.1f max=%.1f  wall=%.1f ms\n",
                *std::min_element(durations.begin(), durations.end()), Percentile(durations, 0.5),
                Percentile(durations, 0.95), *std::max_element(durations.begin(), durations.end()), wall);
    std::printf("lent=%zu distinct, duplicates=%d, failures=%d\n", lent.size(), duplicates, failures);
    bool ok = duplicates == 0 && failures == 0 && *std::max_element(durations.begin(), durations.end()) < 1100.0;
    std::printf("%s\n", ok ? "OK: every request within ~1 s, no address lent twice" : "NOT OK");
    return ok ? 0 : 1;
}
