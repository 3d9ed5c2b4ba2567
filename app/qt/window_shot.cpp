// kelvane-window-shot OUT.png [--folder DIR] [--start]: opens the window as the program does,
// optionally types a folder and presses "开始升级", then saves what the display shows (cut to
// the part that is not bare background) as PNG. The documentation's screenshots are taken with
// it under Xvfb inside a private network namespace (scripts/window_shot.sh); not installed.
#include <QApplication>
#include <QElapsedTimer>
#include <QImage>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QTest>
#include <cstdio>
#include <cstring>

#include "app/kelvane_dlg.h"
#include "app/qt/kelvane_window.h"

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
    QApplication::setWindowIcon(QApplication::style()->standardIcon(QStyle::SP_DriveNetIcon));
    const char* out = nullptr;
    const char* folder = nullptr;
    bool start = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--start") == 0) start = true;
        else if (std::strcmp(argv[i], "--folder") == 0 && i + 1 < argc) folder = argv[++i];
        else out = argv[i];
    }
    if (out == nullptr) {
        std::fprintf(stderr, "usage: kelvane-window-shot OUT.png [--folder DIR] [--start]\n");
        return 2;
    }
    CKelvaneDlg dlg;
    QtMessagePrompter prompter;
    KelvaneWindow window(dlg, prompter);
    window.OnInitDialog({});
    window.show();
    if (folder != nullptr) window.findChild<QLineEdit*>("item1000")->setText(QString::fromLocal8Bit(folder));
    QTest::qWait(500);
    if (start) {
        window.findChild<QPushButton*>("item1007")->click();
        QElapsedTimer waited;
        waited.start();
        while (window.IsBusy() && waited.elapsed() < 20000) QTest::qWait(50);
    }
    QTest::qWait(1000);
    bool saved = SaveScreen(out);
    if (!saved) std::fprintf(stderr, "kelvane-window-shot: cannot write %s\n", out);
    if (dlg.IsRunning()) dlg.OnBtnStart();  // stop the run before the window goes
    return saved ? 0 : 1;
}
