#include "app/qt/about_dialog.h"

#include <QApplication>
#include <QLabel>
#include <QPushButton>

#include "app/qt/dialog_template.h"

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("关于 Kelvane"));
    setFont(DialogFont());
    DialogUnits units(font());
    setFixedSize(units.ToPixelsX(235), units.ToPixelsY(55));

    auto* icon = new QLabel(this);
    QRect iconRect = units.ToPixels(11, 17, 20, 20);
    icon->setGeometry(iconRect);
    icon->setPixmap(QApplication::windowIcon().pixmap(iconRect.size()));

    auto* version = new QLabel(QStringLiteral("版本：Kelvane_V1.0.5"), this);
    version->setGeometry(units.ToPixels(40, 10, 119, 8));

    auto* ok = new QPushButton(QStringLiteral("确定"), this);
    ok->setObjectName(QStringLiteral("aboutOk"));
    ok->setGeometry(units.ToPixels(178, 7, 50, 16));
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}
