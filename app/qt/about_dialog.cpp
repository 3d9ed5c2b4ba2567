#include "app/qt/about_dialog.h"

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <algorithm>

#include "app/qt/app_setup.h"
#include "app/qt/dialog_template.h"
#include "app/version.h"

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("关于 Kelvane"));
    setFont(DialogFont());
    DialogUnits units(font());
    setFixedSize(units.ToPixelsX(235), units.ToPixelsY(55));

    // The program's icon filling its 20 x 20 units, centred in them.
    auto* icon = new QLabel(this);
    icon->setObjectName(QStringLiteral("aboutIcon"));
    QRect iconRect = units.ToPixels(11, 17, 20, 20);
    icon->setGeometry(iconRect);
    icon->setAlignment(Qt::AlignCenter);
    const int side = std::min(iconRect.width(), iconRect.height());
    icon->setPixmap(KelvaneIcon().pixmap(QSize(side, side), devicePixelRatioF()));

    // The version the program reports for --version, so the two never disagree.
    auto* version = new QLabel(QStringLiteral("版本：Kelvane_V") + QStringLiteral(KELVANE_VERSION), this);
    version->setObjectName(QStringLiteral("aboutVersion"));
    version->setGeometry(units.ToPixels(40, 10, 119, 8));

    auto* ok = new QPushButton(QStringLiteral("确定"), this);
    ok->setObjectName(QStringLiteral("aboutOk"));
    ok->setGeometry(units.ToPixels(178, 7, 50, 16));
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}
