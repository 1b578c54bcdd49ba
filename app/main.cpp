#include "app/configuration.h"
#include "app/singleinstancechecker.h"
#include "ui/mainwindow.h"
#include "ui/versionqueryretrybox.h"
#include "update/updateengine.h"

#include <QApplication>
#include <QLocale>
#include <QTimer>
#include <QTranslator>

int main(int argc, char *argv[])
{
    // The toolkit's own event loop rather than glib's: glib writes to its wake-up descriptor for every
    // event posted, even from the loop's own thread, tens of thousands of times in an update of many small
    // files. Nothing here needs glib's loop (no native dialogs); a caller's setting is kept.
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", "1");
    QApplication application(argc, argv);

    // Parked copies of files the previous updater was running from; nothing uses them any more.
    const QString root = Configuration::getAppRootPath();
    // Besides the original plug-in directories, those of the Qt 6 bundle (scripts/bundle).
    UpdateEngine::removeOldFiles(root);
    for (const char *pluginDir : {"/imageformats", "/accessible", "/platforms", "/tls", "/xcbglintegrations"})
        UpdateEngine::removeOldFiles(root + QLatin1String(pluginDir));

    if (SingleInstanceChecker::checkExistingInstance(QStringLiteral("#")))
        return 0;

    // A missing file leaves the texts in English; the translators are installed all the same.
    const QString locale = QLocale::system().name();
    QTranslator programTranslator;
    (void)programTranslator.load(root + QStringLiteral("/translations/update_") + locale);
    QApplication::installTranslator(&programTranslator);
    QTranslator toolkitTranslator;
    (void)toolkitTranslator.load(root + QStringLiteral("/translations/qt_") + locale);
    QApplication::installTranslator(&toolkitTranslator);

    Configuration configuration;
    VersionQueryRetryBox versionQueryRetry;
    configuration.setVersionQueryRetry(&versionQueryRetry);
    MainWindow window(configuration);

    if (!configuration.parseCommandLineOptions())
        return 1;

    if (configuration.autoStart == 1)
        QTimer::singleShot(2000, &window, &MainWindow::onAutoStartUpdate);

    window.setUIToConfigSpecs();
    window.show();
    window.setNews();

    return application.exec();
}
