#include "TQtTexts.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QTranslator>

bool InstallQtTexts(QTranslator& translator) {
    const QString name = QStringLiteral("qtbase_zh_CN");
    if (!translator.load(name, QCoreApplication::applicationDirPath() +
                                   QStringLiteral("/translations")) &&
        !translator.load(name, QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        return false;
    return QCoreApplication::installTranslator(&translator);
}
