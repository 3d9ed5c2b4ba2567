#include "app/qt/window_options.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>

#include "app/kelvane_view.h"
#include "app/qt/kelvane_window.h"

namespace {
const QCommandLineOption kFolder(QStringLiteral("folder"), QStringLiteral("Firmware folder to show"),
                                 QStringLiteral("DIR"));
const QCommandLineOption kAddress(QStringLiteral("address"), QStringLiteral("Local address to serve on"),
                                  QStringLiteral("IP"));
const QCommandLineOption kStart(QStringLiteral("start"), QStringLiteral("Start the upgrade run at once"));
const QCommandLineOption kResults(QStringLiteral("results"),
                                  QStringLiteral("On closing, write the last run's results (CSV, or JSON for *.json)"),
                                  QStringLiteral("FILE"));
const QCommandLineOption kSettingsDir(QStringLiteral("settings-dir"),
                                      QStringLiteral("Keep Config.ini, CrashDir and the one-copy lock in DIR"),
                                      QStringLiteral("DIR"));
}  // namespace

void AddWindowOptions(QCommandLineParser& parser) {
    parser.addOptions({kFolder, kAddress, kStart, kResults, kSettingsDir});
}

WindowOptions ReadWindowOptions(const QCommandLineParser& parser) {
    WindowOptions options;
    options.folder = parser.value(kFolder);
    options.address = parser.value(kAddress);
    options.settingsDir = parser.value(kSettingsDir);
    options.results = parser.values(kResults);
    options.start = parser.isSet(kStart);
    return options;
}

void PresetWindow(KelvaneWindow& window, const WindowOptions& options) {
    window.FlushChanges();  // the initialisation's texts first, so ours are not overwritten
    if (!options.folder.isEmpty()) static_cast<QLineEdit*>(window.Item(IDC_EDIT_PATH))->setText(options.folder);
    if (!options.address.isEmpty()) {
        auto* combo = static_cast<QComboBox*>(window.Item(IDC_COMBO_LOCAL_IP));
        int index = combo->findText(options.address);
        if (index >= 0) {
            combo->setCurrentIndex(index);
        } else {
            combo->setEditText(options.address);  // the start refuses an address this host lacks
        }
    }
}

void PressStart(KelvaneWindow& window) {
    static_cast<QPushButton*>(window.Item(IDC_BTN_START))->click();
}
