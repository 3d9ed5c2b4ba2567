#pragma once
// Command-line options of the window program, shared with the screenshot tool. They preset what
// an operator would type and press, so scripts and `kelvane-cli demo --window` can show a run:
//   --folder DIR        the firmware folder (item 1000)
//   --address IP        the local address (item 1001)
//   --start             press "开始升级" once the window is up
//   --results FILE      when the window closes, write the last run's results there (CSV, or JSON
//                       for a .json name); may be given more than once
//   --settings-dir DIR  keep "Config.ini", "CrashDir" and the one-copy lock in DIR instead
#include <QCommandLineParser>
#include <QString>
#include <QStringList>

class KelvaneWindow;

struct WindowOptions {
    QString folder;
    QString address;
    QString settingsDir;
    QStringList results;
    bool start = false;
};

void AddWindowOptions(QCommandLineParser& parser);
WindowOptions ReadWindowOptions(const QCommandLineParser& parser);
// Types the folder and picks the address, after the window's initialisation has filled them.
void PresetWindow(KelvaneWindow& window, const WindowOptions& options);
// Presses "开始升级" as the operator would; the start itself runs off the window thread.
void PressStart(KelvaneWindow& window);
