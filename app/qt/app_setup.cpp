#include "app/qt/app_setup.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

#include "platform/system_lang.h"

QIcon KelvaneIcon() {
    QIcon icon;
    for (int size : {16, 22, 24, 32, 48, 64, 128, 256})
        icon.addFile(QStringLiteral(":/kelvane/icons/kelvane-%1.png").arg(size), QSize(size, size));
    return icon;
}

QTranslator* InstallQtTranslations(uint16_t langId, QString* problem) {
    if (langId == platform::kLangEnglishUS) return nullptr;
    const QString folder = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
    auto* translator = new QTranslator(QCoreApplication::instance());
    if (!translator->load(QLocale(QLocale::Chinese, QLocale::China), QStringLiteral("qtbase"), QStringLiteral("_"),
                          folder)) {
        delete translator;
        if (problem != nullptr) {
            *problem = QStringLiteral(
                           "Qt's own texts stay in English: qtbase_zh_CN.qm is not in %1 "
                           "(install qt6-translations-l10n)")
                           .arg(folder);
        }
        return nullptr;
    }
    QCoreApplication::installTranslator(translator);
    return translator;
}
