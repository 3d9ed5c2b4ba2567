// How long the window thread is held up while many devices report at once. A feeder thread
// stands in for the message thread: it drives the core's device list (the path every report
// takes to the window; a new row is scrolled into view, as the report handling does) for N devices, each reporting
// several times a second with its state text changing through the steps, some failing; the window draws on the
// offscreen platform. A 5 ms timer on the window thread records how late each tick fires.
//   bench_window_latency [DEVICES] [SECONDS] [REPORTS_PER_DEVICE_PER_SECOND]
// Run through window_latency.sh (its own network namespace, though nothing here uses the network).
#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "app/kelvane_dlg.h"
#include "app/qt/device_table_model.h"
#include "app/qt/kelvane_window.h"
#include "app/qt/message_prompter.h"

namespace {

class SilentPrompter : public MessagePrompter {
public:
    void Inform(QWidget*, const QString&, const QString&, Icon) override {}
    void Alert(QWidget*, const QString&, const QString&) override {}
    bool Ask(QWidget*, const QString&, const QString&) override { return true; }
    bool ChooseFolder(QWidget*, const QString&, QString*) override { return false; }
    bool ChooseSaveFile(QWidget*, const QString&, const QString&, QString*) override { return false; }
};

// State texts a device passes through, the last two as failed and finished devices end.
const char* const kSteps[] = {"Is downloading", "Download successful", "Is Writing the kernel",
                              "kernel is written successfully", "Is Writing the fs"};
const char* const kFailed = "Firmware size check failed";
const char* const kDone = "Upgrade complete";

}  // namespace

int main(int argc, char** argv) {
    const int devices = argc > 1 ? std::atoi(argv[1]) : 250;
    const int seconds = argc > 2 ? std::atoi(argv[2]) : 10;
    const int rate = argc > 3 ? std::atoi(argv[3]) : 4;
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    setenv("LANG", "en_US.UTF-8", 1);
    QApplication app(argc, argv);
    CKelvaneDlg dlg;
    SilentPrompter prompter;
    KelvaneWindow window(dlg, prompter);
    window.OnInitDialog({});
    window.show();

    std::vector<qint64> lateness;
    lateness.reserve(static_cast<size_t>(seconds) * 250);
    QElapsedTimer clock;
    clock.start();
    qint64 last = 0;
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    QObject::connect(&tick, &QTimer::timeout, [&] {
        qint64 now = clock.nsecsElapsed();
        if (last != 0) lateness.push_back(now - last - 5'000'000);
        last = now;
    });
    tick.start(5);

    std::atomic<long> reports{0};
    std::thread feeder([&] {
        DeviceListModel& list = dlg.m_lstInfo;
        for (int d = 0; d < devices; ++d) {
            int row = list.InsertItem(d, std::to_string(d + 1).c_str());
            list.SetItemText(row, kColIpAddr, ("10.77.0." + std::to_string(10 + d % 240)).c_str());
            list.EnsureVisible(row);
        }
        const auto period = std::chrono::microseconds(1'000'000 / std::max(1, devices * rate));
        auto next = std::chrono::steady_clock::now();
        const auto end = next + std::chrono::seconds(seconds);
        for (long n = 0; std::chrono::steady_clock::now() < end; ++n) {
            int row = static_cast<int>(n % devices);
            long round = n / devices;
            const char* state = kSteps[round % 5];
            if (round % 7 == 6) state = row % 10 == 3 ? kFailed : kDone;
            list.SetItemText(row, kColState, state);
            list.SetItemText(row, kColSchedule, (std::to_string(round % 101) + "%").c_str());
            reports.fetch_add(1, std::memory_order_relaxed);
            next += period;
            std::this_thread::sleep_until(next);
        }
        QMetaObject::invokeMethod(&app, &QCoreApplication::quit, Qt::QueuedConnection);
    });
    app.exec();
    feeder.join();
    tick.stop();

    std::sort(lateness.begin(), lateness.end());
    auto ms = [](qint64 ns) { return static_cast<double>(ns) / 1e6; };
    const qint64 worst = lateness.empty() ? 0 : lateness.back();
    const qint64 p99 = lateness.empty() ? 0 : lateness[lateness.size() * 99 / 100];
    std::printf(
        "window_latency: %d devices, %d s, %ld reports (%.0f/s); window thread late by p99 %.1f ms, "
        "worst %.1f ms over %zu ticks; %d rows shown\n",
        devices, seconds, reports.load(), static_cast<double>(reports.load()) / seconds, ms(p99), ms(worst),
        lateness.size(), window.DeviceModel()->rowCount());
    dlg.SetView(nullptr);
    return 0;
}
