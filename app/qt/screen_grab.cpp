// kelvane-screen-grab FILE: saves what the X display shows, cut to the part that is not the
// bare background, as PNG. The documentation's screenshots are taken with it under Xvfb.
#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QScreen>
#include <cstdio>

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: kelvane-screen-grab FILE.png\n");
        return 2;
    }
    QImage shot = QGuiApplication::primaryScreen()->grabWindow(0).toImage();
    QRgb background = shot.pixel(shot.width() - 1, shot.height() - 1);
    QRect used;
    for (int y = 0; y < shot.height(); ++y) {
        for (int x = 0; x < shot.width(); ++x) {
            if (shot.pixel(x, y) != background) used |= QRect(x, y, 1, 1);
        }
    }
    if (used.isEmpty()) used = shot.rect();
    if (!shot.copy(used).save(QString::fromLocal8Bit(argv[1]), "PNG")) {
        std::fprintf(stderr, "kelvane-screen-grab: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
