// kelvane: the window program.
#include <QApplication>
#include <QStyle>

#include "app/crash_dump.h"
#include "app/kelvane_dlg.h"
#include "app/qt/kelvane_window.h"
#include "platform/app_paths.h"
#include "platform/single_instance.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setWindowIcon(QApplication::style()->standardIcon(QStyle::SP_DriveNetIcon));
    platform::AppPaths paths = platform::GetAppPaths();

    CKelvaneDlg dlg;
    QtMessagePrompter prompter;
    KelvaneWindow window(dlg, prompter);
    WindowStartup startup;
    startup.installCrashHandler = [&paths] { InstallCrashHandler(paths.crashDir); };
    startup.acquireSingleInstance = [] {
        return platform::AcquireSingleInstance(platform::SingleInstanceLockPath("KelvaneDlg"));
    };
    if (!window.OnInitDialog(startup)) return 0;
    window.exec();
    return 0;
}
