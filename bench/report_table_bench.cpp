// The device table's linear scans by MAC at site scale: one progress report of the newest device
// (the last record a scan reaches) with the table at 100, 250 and its full 512 records.
#include <benchmark/benchmark.h>

#include <string>

#include "app/kelvane_dlg.h"
#include "log/log.h"

namespace {

std::string Progress(const std::string& mac) {
    return "Msg:Report_Kernel\r\nIpaddr:10.0.0.10\r\nIPCMac:" + mac +
           "\r\nSchedule:50\r\nState:1\r\nVersion:IPC*A1-1.0.0.0-b\r\n";
}

void BM_ReportOfNewestDevice(benchmark::State& state) {
    LogInit(LOG_MAJOR, nullptr);
    CKelvaneDlg dlg;
    const int devices = static_cast<int>(state.range(0));
    std::string last;
    for (int i = 0; i < devices; ++i) {
        last = "02:4B:56:00:" + std::to_string(100 + i / 100) + ":" + std::to_string(10 + i % 100);
        dlg.RegisterIpcInfo(last.c_str(), "10.0.0.10", "IPC-A1-2.0", 0);
        dlg.ReportMsgProc(2, Progress(last).c_str());  // gives the device its row
    }
    const std::string report = Progress(last);
    for (auto _ : state) benchmark::DoNotOptimize(dlg.ReportMsgProc(2, report.c_str()));
    state.counters["records"] = static_cast<double>(dlg.m_vecIpcInfo.size());
}
BENCHMARK(BM_ReportOfNewestDevice)->Arg(100)->Arg(250)->Arg(kMaxIpcInfo)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
