#include "core/configuration.h"
#include "core/singleinstancechecker.h"
#include "core/updateengine.h"
#include "ui/mainwindow.h"

#include <QApplication>
#include <QLocale>
#include <QPixmap>
#include <QTimer>
#include <QTranslator>

#include <cstdio>

namespace {
// QUORVEL_SCREENSHOT=file.png: once shown, the window saves a picture of itself and the
// program ends with code 0. Used by the demo to show what a user would see.
void scheduleScreenshot(MainWindow& window)
{
    const QString path = qEnvironmentVariable("QUORVEL_SCREENSHOT");
    if (path.isEmpty())
        return;
    QTimer::singleShot(500, &window, [&window, path] {
        const bool saved = window.grab().save(path, "PNG");
        std::fprintf(stderr, "screenshot %s: %s\n", saved ? "saved" : "FAILED", qPrintable(path));
        QCoreApplication::exit(saved ? 0 : 3);
    });
}
}

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);

    const QString root = Configuration::getAppRootPath();
    UpdateEngine::removeOldFiles(root);
    UpdateEngine::removeOldFiles(root + QStringLiteral("/imageformats"));
    UpdateEngine::removeOldFiles(root + QStringLiteral("/accessible"));

    if (SingleInstanceChecker::checkExistingInstance(QStringLiteral("#")))
        return 0;

    const QString locale = QLocale::system().name();
    // A translation that does not load is installed all the same and translates nothing.
    QTranslator updateTranslator;
    (void)updateTranslator.load(root + QStringLiteral("/translations/update_") + locale);
    QCoreApplication::installTranslator(&updateTranslator);
    QTranslator qtTranslator;
    (void)qtTranslator.load(root + QStringLiteral("/translations/qt_") + locale);
    QCoreApplication::installTranslator(&qtTranslator);

    // Declared in this order so that they are destroyed as the window, the configuration,
    // then the translators.
    Configuration configuration;
    MainWindow window(configuration);

    if (!configuration.parseCommandLineOptions())
        return 1;

    if (configuration.unattended == 1)
        QTimer::singleShot(2000, &window, [&window] {
            QMetaObject::invokeMethod(&window, "onAutoStartUpdate");
        });
    window.setUIToConfigSpecs();
    window.show();
    window.setNews();
    scheduleScreenshot(window);
    return app.exec();
}
