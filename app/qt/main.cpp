// kelvane: the window program.
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QCommandLineParser>
#include <QScreen>
#include <QSocketNotifier>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/crash_dump.h"
#include "app/kelvane_dlg.h"
#include "app/qt/app_setup.h"
#include "app/qt/kelvane_window.h"
#include "app/qt/window_options.h"
#include "app/run_results.h"
#include "app/version.h"
#include "platform/app_paths.h"
#include "platform/process_limits.h"
#include "platform/single_instance.h"
#include "platform/system_lang.h"

namespace {

int g_signalPipe[2] = {-1, -1};

constexpr int kNoDisplayStatus = 2;
// Room left for the window manager's title bar when the window must shrink to fit the screen.
const QSize kTitleBarAllowance(0, 32);
constexpr const char* kNoDisplayAdvice = "run it in a desktop session, or use kelvane-cli";
QtMessageHandler g_qtHandler = nullptr;

// While Qt looks for a display, its complaints about the platform become one line of ours and
// status 2, instead of its abort (status 134) and its advice to reinstall.
void OnQtMessageWhileStarting(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (type == QtFatalMsg) {
        const char* display = std::getenv("DISPLAY");
        std::fprintf(stderr, "kelvane: cannot open the display%s%s%s; %s\n", display ? " \"" : "",
                     display ? display : "", display ? "\"" : "", kNoDisplayAdvice);
        std::fflush(stderr);
        _exit(kNoDisplayStatus);
    }
    if (context.category != nullptr && std::strncmp(context.category, "qt.qpa", 6) == 0) return;
    if (g_qtHandler != nullptr) {
        g_qtHandler(type, context, message);
    } else {
        std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, message)));
    }
}

bool DisplayNamed() {
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        const char* value = std::getenv(name);
        if (value != nullptr && value[0] != '\0') return true;
    }
    return false;
}

void OnStopSignal(int) {
    const char byte = 1;
    [[maybe_unused]] ssize_t ignored = write(g_signalPipe[1], &byte, 1);
}

// SIGTERM and Ctrl-C close the window as the close box does, without the question: the run is
// stopped, the results written, and the process ends normally (kelvane-cli demo relies on it).
void CloseOnStopSignals(KelvaneWindow& window) {
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_signalPipe) != 0) return;
    auto* notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, &window);
    QObject::connect(notifier, &QSocketNotifier::activated, &window, [&window] {
        char bytes[16];
        [[maybe_unused]] ssize_t ignored = read(g_signalPipe[0], bytes, sizeof bytes);
        window.CloseWithoutAsking();
    });
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
    // Answered before Qt starts, so it works without a display (package checks, scripts).
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("kelvane %s\n", KELVANE_VERSION);
        return 0;
    }
    platform::RaiseDescriptorLimit();
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Kelvane: upgrades the firmware of IP cameras and NVRs"));
    parser.addHelpOption();
    AddWindowOptions(parser);
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        QCoreApplication noDisplay(argc, argv);  // the help needs no display either
        parser.process(noDisplay);               // prints it and ends the process
    }
    if (!DisplayNamed()) {
        std::fprintf(stderr, "kelvane: no display (DISPLAY and WAYLAND_DISPLAY are not set); %s\n", kNoDisplayAdvice);
        return kNoDisplayStatus;
    }
    g_qtHandler = qInstallMessageHandler(OnQtMessageWhileStarting);
    QApplication app(argc, argv);
    qInstallMessageHandler(g_qtHandler);
    QApplication::setWindowIcon(KelvaneIcon());
    parser.process(app);
    // Qt's own texts (the close question's buttons, the folder dialog, the edit box's menu) in
    // the window's language, which the system's language decides as it does for the state texts.
    QString noTranslations;
    InstallQtTranslations(platform::GetSystemDefaultLangID(), &noTranslations);
    if (!noTranslations.isEmpty()) std::fprintf(stderr, "kelvane: %s\n", qPrintable(noTranslations));
    const WindowOptions options = ReadWindowOptions(parser);

    std::string lockPath = platform::SingleInstanceLockPath("KelvaneDlg");
    if (!options.settingsDir.isEmpty()) {
        // A window with its own settings folder is a copy of its own, as the demo's is.
        const std::string dir = options.settingsDir.toStdString();
        platform::SetAppFilesDir(dir);
        lockPath = dir + "/KelvaneDlg";
    }
    // The handler creates "CrashDir" and its day folders; an XDG state folder may not exist yet.
    std::string crashDir = platform::CrashDirPath();
    platform::MakeParentDirs(crashDir);

    CKelvaneDlg dlg;
    QtMessagePrompter prompter;
    KelvaneWindow window(dlg, prompter);
    WindowStartup startup;
    startup.installCrashHandler = [&crashDir] { InstallCrashHandler(crashDir); };
    startup.acquireSingleInstance = [&lockPath] { return platform::AcquireSingleInstance(lockPath); };
    if (!window.OnInitDialog(startup)) return 0;
    CloseOnStopSignals(window);
    if (QScreen* screen = window.screen()) window.FitInto(screen->availableGeometry().size() - kTitleBarAllowance);
    PresetWindow(window, options);
    if (options.start) PressStart(window);
    window.exec();

    int status = 0;
    for (const QString& file : options.results) {
        std::string error;
        if (!WriteResultsFile(dlg.ResultsSnapshot(), file.toStdString(), &error, nullptr,
                              dlg.m_wLangID == platform::kLangEnglishUS)) {
            std::fprintf(stderr, "kelvane: %s\n", error.c_str());
            status = 1;
        }
    }
    return status;
}
