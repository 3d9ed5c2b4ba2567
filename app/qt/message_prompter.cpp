#include "app/qt/message_prompter.h"

#include <QFileDialog>
#include <QMessageBox>

void QtMessagePrompter::Inform(QWidget* parent, const QString& text, const QString& caption, Icon icon) {
    QMessageBox::Icon shown = icon == Information ? QMessageBox::Information
                              : icon == Warning   ? QMessageBox::Warning
                              : icon == Error     ? QMessageBox::Critical
                                                  : QMessageBox::NoIcon;
    // Opened window-modal without a nested event loop: device changes keep being drawn, and
    // the core, which needs no answer, is never held up.
    auto* box = new QMessageBox(shown, caption, text, QMessageBox::Ok, parent);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(parent != nullptr ? Qt::WindowModal : Qt::ApplicationModal);
    box->open();
}

void QtMessagePrompter::Alert(QWidget* parent, const QString& text, const QString& caption) {
    QMessageBox::information(parent, caption, text, QMessageBox::Ok);
}

bool QtMessagePrompter::Ask(QWidget* parent, const QString& text, const QString& caption) {
    return QMessageBox::question(parent, caption, text, QMessageBox::Ok | QMessageBox::Cancel, QMessageBox::Cancel) ==
           QMessageBox::Ok;
}

bool QtMessagePrompter::ChooseFolder(QWidget* parent, const QString& start, QString* folder) {
    QString chosen = QFileDialog::getExistingDirectory(parent, QString(), start);
    if (chosen.isEmpty()) return false;
    *folder = chosen;
    return true;
}

bool QtMessagePrompter::ChooseSaveFile(QWidget* parent, const QString& caption, const QString& suggested,
                                       QString* file) {
    QString chosen = QFileDialog::getSaveFileName(parent, caption, suggested, QStringLiteral("CSV (*.csv)"));
    if (chosen.isEmpty()) return false;
    *file = chosen;
    return true;
}
