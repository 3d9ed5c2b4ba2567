#include "app/console/run_console.h"

#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <set>

#include "app/console/console_command.h"
#include "app/console/live_table.h"
#include "app/console/run_checks.h"
#include "app/console/run_output.h"
#include "app/kelvane_dlg.h"
#include "firmware/fmw_header.h"
#include "log/log.h"
#include "negotiation/local_identity.h"
#include "negotiation/ping.h"
#include "platform/app_paths.h"
#include "platform/local_time.h"
#include "platform/module_path.h"
#include "platform/system_error_text.h"
#include "platform/system_lang.h"

namespace {

// Texts the run control gives in the window's language only, and what the console says instead.
struct ConsoleText {
    const char* window;
    const char* english;
    const char* chinese;
};
const ConsoleText kConsoleTexts[] = {
    {"IP占用检测需要一定时间，若勾选该功能，\n建议同时升级设备不要超过10台!",
     "--ip-check probes every address before lending it, which takes time: upgrade at most 10 devices at once.",
     "--ip-check 会在出借前探测每个地址，需要一定时间，建议同时升级的设备不要超过10台。"},
    {"获取本机MAC失败!!!", "Cannot read this computer's MAC address.", "获取本机MAC失败。"},
    {"请选择升级文件目录", "No firmware folder: give one with --folder.", "没有升级文件目录：请用 --folder 指定。"},
    {"提示", "Note", "提示"},
};

std::string InRunLanguage(const std::string& text, bool english) {
    for (const ConsoleText& t : kConsoleTexts) {
        if (text == t.window) return english ? t.english : t.chinese;
    }
    return text;
}

}  // namespace

void ConsoleRunView::SetComboItems(int item, const std::vector<std::string>& entries, int) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (item == IDC_COMBO_LOCAL_IP) m_addresses = entries;
}

void ConsoleRunView::ShowMessage(const std::string& text, const std::string& caption, MessageIcon) {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::string shownCaption = InRunLanguage(caption, m_english);
    std::string line = InRunLanguage(text, m_english);
    if (!shownCaption.empty()) line = shownCaption + ": " + line;
    for (char& c : line) c = c == '\n' ? ' ' : c;
    m_messages.push_back(line);
}

std::string ConsoleRunView::FirstAddress() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_addresses.empty() ? "" : m_addresses.front();
}

std::vector<std::string> ConsoleRunView::TakeMessages(const std::string& except) {
    std::vector<std::string> messages;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        messages.swap(m_messages);
    }
    if (!except.empty()) {
        std::erase_if(messages, [&](const std::string& m) { return m.find(except) != std::string::npos; });
    }
    return messages;
}

namespace {

constexpr int kTickMs = 200;
// A second Ctrl-C within this long stops a run that has devices writing flash.
constexpr int64_t kConfirmStopMs = 5000;

void NarrateToLog(const char* line) {
    LogMessage(LOG_INFO, "%s", line);
}

int ExitStatusOf(const std::vector<DeviceResult>& results) {
    if (results.empty()) return kRunNoDevice;
    for (const DeviceResult& r : results) {
        if (r.outcome == DeviceOutcome::Failed || r.outcome == DeviceOutcome::Unfinished) return kRunSomeFailed;
    }
    return kRunAllSucceeded;
}

// A device has an outcome that ends a run when it was offered a file and it succeeded or failed,
// or when it was told that it is up to date with a model the folder has: a host that invents
// requests of a model the folder does not know cannot end a run.
bool Settled(const DeviceResult& r, const std::set<std::string>& catalogued) {
    if (r.outcome == DeviceOutcome::NoUpgrade) return catalogued.count(r.model) != 0;
    return r.outcome != DeviceOutcome::Unfinished;
}

bool EndConditionMet(const RunOptions& options, const CKelvaneDlg& dlg, const std::vector<DeviceResult>& results) {
    std::set<std::string> catalogued;  // as the results show models
    for (const UpgradeFileInfo& entry : dlg.m_vecUpgradeFileInfo) catalogued.insert(GbkToDisplayText(entry.szModel));
    int settled = 0;
    for (const DeviceResult& r : results) settled += Settled(r, catalogued);
    if (options.devices > 0 && settled >= options.devices) return true;
    if (options.idleSeconds > 0 && settled > 0) {
        int64_t last = dlg.m_nLastDeviceMessageMs.load();
        if (last > 0 && platform::SteadyMs() - last >= static_cast<int64_t>(options.idleSeconds) * 1000) return true;
    }
    return false;
}

const char* SignalName(int signal) {
    switch (signal) {
        case SIGINT:
            return "Ctrl-C";
        case SIGHUP:
            return "SIGHUP";
        case SIGQUIT:
            return "SIGQUIT";
        default:
            return "SIGTERM";
    }
}

// Everything the operator can get wrong, refused before anything starts.
std::string CheckBeforeStart(const RunOptions& options, const std::string& address, bool english) {
    std::string why;
    if (!options.results.empty()) why = CheckOutputPath("--results", options.results, english);
    if (why.empty() && !options.events.empty() && options.events != "-") {
        why = CheckOutputPath("--events", options.events, english);
    }
    if (why.empty()) why = CheckFirmwareFolder(options.folder, english);
    if (why.empty()) why = CheckServeAddress(address, english);
    char mac[kLocalMacTextSize] = {};
    if (why.empty() && GetMacAddress(mac, address.c_str()) != 0) {
        why = english ? "Cannot read the MAC address of the interface of --address " + address +
                            ", which the devices are told. Choose an --address on an Ethernet interface."
                      : "无法读取 --address " + address +
                            " 所在接口的MAC地址（设备需要它）。请换一个以太网接口上的 --address。";
    }
    if (why.empty() && options.ipCheck && CheckPingSocket() != 0) {
        const std::string grant = "sudo setcap cap_net_bind_service,cap_net_raw+ep " + platform::ExecutablePath();
        why = english ? "--ip-check needs an ICMP socket, which this user may not open. Run as root, grant the "
                        "capability once (" +
                            grant + "), or leave out --ip-check."
                      : "--ip-check 需要ICMP套接字，当前用户无权打开。请以root运行，或授予权限（" + grant +
                            "），或去掉 --ip-check。";
    }
    return why;
}

}  // namespace

int RunUpgrade(const RunOptions& options) {
    // Stop signals are taken by the loop below only; every thread started from here inherits the mask.
    sigset_t waitSignals = BlockStopSignals();
    sigset_t resize;
    sigemptyset(&resize);
    sigaddset(&resize, SIGWINCH);
    pthread_sigmask(SIG_BLOCK, &resize, nullptr);
    sigaddset(&waitSignals, SIGWINCH);

    const bool english = options.lang == "en" ||
                         (options.lang.empty() && platform::GetSystemDefaultLangID() == platform::kLangEnglishUS);
    // With the events on standard output, people read the run on standard error.
    FILE* const human = options.events == "-" ? stderr : stdout;
    RunOutput output(human, english);
    ConsoleRunView view(english);
    CKelvaneDlg dlg;
    dlg.m_wLangID = english ? platform::kLangEnglishUS : platform::kLangChineseSimplified;
    dlg.SetView(&view);
    dlg.InitDialogState();
    if (options.logLevel >= 0) LogInit(options.logLevel, "Upgrade.log");
    const std::string address = options.address.empty() ? view.FirstAddress() : options.address;
    auto refuse = [&](const std::string& why) {
        for (const std::string& message : view.TakeMessages(why)) output.Line(message, stderr);
        output.Line((english ? "kelvane-cli run: not started: " : "kelvane-cli run：未开始：") + why, stderr);
        dlg.SetView(nullptr);
        return kRunNotStarted;
    };
    std::string why = CheckBeforeStart(options, address, english);
    if (!why.empty()) return refuse(why);
    FILE* events = nullptr;
    if (!options.events.empty()) {
        events = options.events == "-" ? stdout : std::fopen(options.events.c_str(), "we");
        if (events == nullptr)
            return refuse("--events " + options.events + ": " + platform::SystemErrorText(errno, english));
    }
    std::unique_ptr<FILE, int (*)(FILE*)> eventsCloser(events != stdout ? events : nullptr,
                                                       [](FILE* f) { return f != nullptr ? std::fclose(f) : 0; });

    // The container reader's narration would tear the table apart: it goes to the log here.
    SetFmwNarrationSink(NarrateToLog);
    dlg.SetItemInput(IDC_EDIT_PATH, options.folder);
    dlg.SetItemInput(IDC_COMBO_LOCAL_IP, address);
    dlg.OnChkForceOld(options.forceOld);
    dlg.OnChkIpCheck(options.ipCheck);
    output.Line((english ? "Kelvane run on " : "Kelvane 服务地址 ") + address +
                (options.address.empty() ? (english ? " (the first local address)" : "（本机第一个地址）") : "") +
                (english ? ", firmware folder " : "，固件目录 ") + options.folder);

    ChangeFeed feed;
    dlg.m_results.SetObserver([&feed](const DeviceResult& r) { feed.Push(r); });
    dlg.OnBtnStart();
    if (!dlg.IsRunning()) {
        dlg.m_results.SetObserver(nullptr);
        SetFmwNarrationSink(nullptr);
        return refuse(dlg.LastStartError());
    }
    const int64_t startMs = platform::SteadyMs();
    ResultsKeeper keeper(options.results, english);
    DownloadMeter meter(options.folder);
    RunHeader header;
    header.address = address;
    header.english = english;
    // An older file of the same name must not look like this run's from now on.
    keeper.Write({}, "running", output);

    timespec tick{0, kTickMs * 1000000L};
    int64_t firstInterruptMs = -1;
    std::string stopReason;
    std::vector<DeviceResult> results;
    auto drain = [&]() {
        size_t dropped = 0;
        std::vector<ChangeFeed::Change> changes = feed.Take(&dropped);
        header.elapsedMs = platform::SteadyMs() - startMs;
        results = dlg.ResultsSnapshot();
        header.bytesPerSecond = meter.BytesPerSecond(results, header.elapsedMs);
        header.rangeFull = dlg.RangeFullRequests();
        for (const std::string& message : view.TakeMessages()) output.Line(message, stderr);
        if (dropped > 0) {
            output.Line(std::to_string(dropped) + (english ? " device changes came faster than they could be shown"
                                                           : " 条设备变化来得太快，未能显示"),
                        stderr);
        }
        if (events != nullptr && !changes.empty()) {
            for (const ChangeFeed::Change& change : changes) std::fputs(EventLine(change).c_str(), events);
            std::fflush(events);
            clearerr(events);
        }
        output.Changes(changes, header);
        return !changes.empty();
    };
    for (;;) {
        siginfo_t info{};
        int signal = sigtimedwait(&waitSignals, &info, &tick);
        bool changed = drain();
        keeper.Tick(results, changed, output);
        if (signal == SIGINT) {
            const RunCounts counts = CountPhases(results);
            const int64_t now = platform::SteadyMs();
            if (counts.writingFlash > 0 && (firstInterruptMs < 0 || now - firstInterruptMs > kConfirmStopMs)) {
                firstInterruptMs = now;
                const std::string n = std::to_string(counts.writingFlash);
                output.Line(
                    english ? n + " device(s) are writing flash: stopping now may leave them unbootable. "
                                  "Press Ctrl-C again within 5 seconds to stop anyway."
                            : n + " 台设备正在写入闪存：现在停止可能使其无法启动。5 秒内再按一次 Ctrl-C 仍要停止。");
            } else {
                stopReason = SignalName(signal);
                break;
            }
        } else if (signal == SIGTERM || signal == SIGHUP || signal == SIGQUIT) {
            stopReason = SignalName(signal);
            break;
        }
        output.Frame(results, header);
        if (EndConditionMet(options, dlg, results)) break;
    }

    output.Line(stopReason.empty()
                    ? std::string(english ? "Stopping the run..." : "正在停止升级...")
                    : (english ? "Stopping the run (" + stopReason + ")..." : "正在停止升级（" + stopReason + "）..."));
    dlg.OnBtnStart();
    drain();
    dlg.m_results.SetObserver(nullptr);
    dlg.SetView(nullptr);
    SetFmwNarrationSink(nullptr);
    output.Final(results, header);

    int status = ExitStatusOf(results);
    if (options.finalResults != nullptr) *options.finalResults = results;
    if (status == kRunNoDevice) {
        output.Line(
            (english ? "Warning: no device asked for an address during the run. Check that the devices are in "
                       "upgrade mode and on the network of "
                     : "警告：升级期间没有设备请求地址。请检查设备是否处于升级模式，并与以下地址处于同一网络：") +
                address,
            stderr);
    }
    if (!options.results.empty()) {
        if (keeper.Write(results, "finished", output)) {
            output.Line((english ? "Results written to " : "结果已写入 ") + options.results);
        } else {
            status = kRunSomeFailed;
        }
    }
    return status;
}
