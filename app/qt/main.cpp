// kelvane: the window program.
#include <QApplication>
#include <QStyle>
#include <cstdio>
#include <cstring>
#include <string>

#include "app/crash_dump.h"
#include "app/kelvane_dlg.h"
#include "app/qt/kelvane_window.h"
#include "app/version.h"
#include "platform/app_paths.h"
#include "platform/single_instance.h"

int main(int argc, char** argv) {
    // Answered before Qt starts, so it works without a display (package checks, scripts).
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("kelvane %s\n", KELVANE_VERSION);
        return 0;
    }
    QApplication app(argc, argv);
    QApplication::setWindowIcon(QApplication::style()->standardIcon(QStyle::SP_DriveNetIcon));
    // The handler creates "CrashDir" and its day folders; an XDG state folder may not exist yet.
    std::string crashDir = platform::CrashDirPath();
    platform::MakeParentDirs(crashDir);

    CKelvaneDlg dlg;
    QtMessagePrompter prompter;
    KelvaneWindow window(dlg, prompter);
    WindowStartup startup;
    startup.installCrashHandler = [&crashDir] { InstallCrashHandler(crashDir); };
    startup.acquireSingleInstance = [] {
        return platform::AcquireSingleInstance(platform::SingleInstanceLockPath("KelvaneDlg"));
    };
    if (!window.OnInitDialog(startup)) return 0;
    window.exec();
    return 0;
}
