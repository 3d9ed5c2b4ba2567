#pragma once
#include <QDialog>

// The about box: "关于 Kelvane", the version text and "确定".
class CAboutDlg : public QDialog {
    Q_OBJECT
public:
    explicit CAboutDlg(QWidget* parent = nullptr);
};
