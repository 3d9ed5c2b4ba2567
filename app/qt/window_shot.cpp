// kelvane-window-shot OUT.png [--folder DIR] [--start] [--wait-ms N]: opens the window as the
// program does, optionally types a folder and presses "开始升级", waits, then saves what the display shows (cut to
// the part that is not bare background) as PNG. The documentation's screenshots are taken with
// it under Xvfb inside a private network namespace (scripts/window_shot.sh); not installed.
#include <QApplication>
#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QImage>
#include <QPixmap>
#include <QScreen>
#include <QTest>
#include <cstdio>
#include <cstring>

#include "app/kelvane_dlg.h"
#include "app/qt/app_setup.h"
#include "app/qt/device_table_model.h"
#include "app/qt/kelvane_window.h"
#include "app/qt/window_options.h"
#include "platform/system_lang.h"

namespace {

bool SaveScreen(const char* path) {
    QImage shot = QGuiApplication::primaryScreen()->grabWindow(0).toImage();
    QRgb background = shot.pixel(shot.width() - 1, shot.height() - 1);
    QRect used;
    for (int y = 0; y < shot.height(); ++y) {
        for (int x = 0; x < shot.width(); ++x) {
            if (shot.pixel(x, y) != background) used |= QRect(x, y, 1, 1);
        }
    }
    return shot.copy(used.isEmpty() ? shot.rect() : used).save(QString::fromLocal8Bit(path), "PNG");
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setWindowIcon(KelvaneIcon());
    QString noTranslations;
    InstallQtTranslations(platform::GetSystemDefaultLangID(), &noTranslations);
    if (!noTranslations.isEmpty()) std::fprintf(stderr, "kelvane-window-shot: %s\n", qPrintable(noTranslations));
    QCommandLineParser parser;
    AddWindowOptions(parser);  // the window program's own --folder, --start, ...
    const QCommandLineOption waitMs(QStringLiteral("wait-ms"), QStringLiteral("Wait before the shot"),
                                    QStringLiteral("N"), QStringLiteral("1000"));
    parser.addOption(waitMs);
    parser.addPositionalArgument(QStringLiteral("OUT.png"), QStringLiteral("Where to save the picture"));
    parser.process(app);
    if (parser.positionalArguments().size() != 1) {
        std::fprintf(stderr, "usage: kelvane-window-shot OUT.png [--folder DIR] [--start] [--wait-ms N]\n");
        return 2;
    }
    const QByteArray outName = parser.positionalArguments().first().toLocal8Bit();
    const char* out = outName.constData();
    const WindowOptions options = ReadWindowOptions(parser);
    CKelvaneDlg dlg;
    QtMessagePrompter prompter;
    KelvaneWindow window(dlg, prompter);
    window.OnInitDialog({});
    // As the program does on a small screen; Xvfb has no title bar to leave room for.
    window.FitInto(QGuiApplication::primaryScreen()->availableGeometry().size());
    window.show();
    PresetWindow(window, options);
    QTest::qWait(500);
    if (options.start) {
        PressStart(window);
        QElapsedTimer waited;
        waited.start();
        while (window.IsBusy() && waited.elapsed() < 20000) QTest::qWait(50);
    }
    QTest::qWait(parser.value(waitMs).toInt());
    bool saved = SaveScreen(out);
    if (!saved) std::fprintf(stderr, "kelvane-window-shot: cannot write %s\n", out);
    // What the window drew must be what the core holds, row for row.
    window.FlushChanges();
    std::vector<DeviceListModel::Row> rows = dlg.m_lstInfo.Rows();
    int differing = window.DeviceModel()->rowCount() == static_cast<int>(rows.size()) ? 0 : 1;
    for (size_t row = 0; row < rows.size() && differing == 0; ++row) {
        for (int column = 0; column < kDeviceListColumns; ++column) {
            if (window.DeviceModel()->Cell(static_cast<int>(row), column).toStdString() != rows[row][column])
                ++differing;
        }
    }
    std::printf("kelvane-window-shot: %zu rows, %s\n", rows.size(),
                differing == 0 ? "the window shows the core's rows" : "the window DIFFERS from the core's rows");
    if (dlg.IsRunning()) dlg.OnBtnStart();  // stop the run before the window goes
    return saved && differing == 0 ? 0 : 1;
}
