// Spoolbay: the job desk's tray program.
#include "printconfig.h"
#include "paths.h"
#include "startup.h"

#include <QApplication>
#include <QDesktopWidget>
#include <QFont>
#include <QFontDatabase>
#include <QTranslator>

int main(int argc, char *argv[])
{
    if (!checkSingleInstance())
        return 0;

    QCoreApplication::setSetuidAllowed(true);
    QApplication app(argc, argv);
    // The program's own plug-ins, never the working folder's: the job desk may
    // be started from a folder that others can write.
    const QString programDir = QCoreApplication::applicationDirPath();
    QCoreApplication::addLibraryPath(programDir + QString::fromLatin1(paths::kPluginFolder));

    QTranslator translator;
    translator.load(programDir + QString::fromLatin1(paths::kTranslationFile));
    QCoreApplication::installTranslator(&translator);

    const int fontId = QFontDatabase::addApplicationFont(programDir + QString::fromLatin1(paths::kFontFile));
    if (fontId != -1) {
        const QStringList families = QFontDatabase::applicationFontFamilies(fontId);
        if (!families.isEmpty()) {
            QFont font(families.first(), 10);
            font.setWeight(50);
            QApplication::setFont(font);
        }
    }

    QDesktopWidget *desktop = QApplication::desktop();
    qInstallMessageHandler(messageOutput);

    int result = 0;
    {
        PrintConfig controller;
        controller.move((desktop->width() - controller.width()) / 2,
                        (desktop->height() - controller.height()) / 2);
        controller.hide();
        result = app.exec();
    }
    return result;
}
