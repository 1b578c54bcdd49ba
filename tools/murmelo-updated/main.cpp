// murmelo-updated: the reference update server. Answers the updater's version/news query and its
// banner query over UDP from a configuration file, which SIGHUP reloads.

#include "unixsignalnotifier.h"
#include "updateserver.h"
#include "updateserverconfig.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QHostAddress>

#include <csignal>
#include <cstdio>

namespace {

void printLine(FILE *stream, const QString &text)
{
    std::fprintf(stream, "murmelo-updated: %s\n", qPrintable(text));
    std::fflush(stream);
}

// The value of a numeric option, or -1 when it is not a whole number from 0 to `maximum`.
int numberOption(const QCommandLineParser &parser, const QCommandLineOption &option, int maximum)
{
    bool ok = false;
    const uint value = parser.value(option).toUInt(&ok);
    return ok && value <= uint(maximum) ? int(value) : -1;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("murmelo-updated"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Answers the updater's version/news and banner queries over UDP. SIGHUP reloads the configuration."));
    parser.addHelpOption();
    const QCommandLineOption bindOption(QStringLiteral("bind"),
                                        QStringLiteral("Address to listen on (default 127.0.0.1)."),
                                        QStringLiteral("address"), QStringLiteral("127.0.0.1"));
    const QCommandLineOption versionPortOption(QStringLiteral("version-port"),
                                               QStringLiteral("UDP port of the version/news service (default 17384, 0: any free port)."),
                                               QStringLiteral("port"), QStringLiteral("17384"));
    const QCommandLineOption bannerPortOption(QStringLiteral("banner-port"),
                                              QStringLiteral("UDP port of the banner service (default 2009, 0: any free port)."),
                                              QStringLiteral("port"), QStringLiteral("2009"));
    const QCommandLineOption rateLimitOption(QStringLiteral("rate-limit"),
                                             QStringLiteral("Replies per second to any one address (default 20, 0: no limit)."),
                                             QStringLiteral("replies"), QStringLiteral("20"));
    const QCommandLineOption checkOption(QStringLiteral("check"),
                                         QStringLiteral("Check the configuration file and exit."));
    parser.addOptions({bindOption, versionPortOption, bannerPortOption, rateLimitOption, checkOption});
    parser.addPositionalArgument(QStringLiteral("config"), QStringLiteral("The configuration file."));
    parser.process(app);

    const QStringList positional = parser.positionalArguments();
    if (positional.size() != 1) {
        printLine(stderr, QStringLiteral("expected exactly one configuration file (see --help)"));
        return 2;
    }
    const QString configFile = positional.first();
    const QHostAddress address(parser.value(bindOption));
    const int versionPort = numberOption(parser, versionPortOption, 65535);
    const int bannerPort = numberOption(parser, bannerPortOption, 65535);
    const int rateLimit = numberOption(parser, rateLimitOption, 1000000);
    if (address.isNull()) {
        printLine(stderr, QStringLiteral("\"%1\" is not an IP address").arg(parser.value(bindOption)));
        return 2;
    }
    if (versionPort < 0 || bannerPort < 0 || rateLimit < 0) {
        printLine(stderr, QStringLiteral("ports must be numbers from 0 to 65535, the rate limit from 0 to 1000000"));
        return 2;
    }

    UpdateServerConfig config;
    QString error;
    if (!config.load(configFile, &error)) {
        printLine(stderr, error);
        return 1;
    }
    if (parser.isSet(checkOption)) {
        printLine(stdout, QStringLiteral("%1 is valid: version list %2 bytes, news %3 bytes, banner %4")
                              .arg(configFile)
                              .arg(config.versionReply().size())
                              .arg(config.newsReply().size())
                              .arg(config.bannerReply().isEmpty() ? QStringLiteral("none")
                                                                   : QStringLiteral("%1 bytes").arg(config.bannerReply().size())));
        return 0;
    }

    UpdateServer server(config);
    server.setRateLimit(rateLimit);
    if (!server.listen(address, quint16(versionPort), quint16(bannerPort), &error)) {
        printLine(stderr, error);
        return 1;
    }

    UnixSignalNotifier signalNotifier;
    for (const int signalNumber : {SIGHUP, SIGTERM, SIGINT}) {
        if (!signalNotifier.watch(signalNumber)) {
            printLine(stderr, QStringLiteral("cannot handle signal %1: %2").arg(signalNumber).arg(qt_error_string()));
            return 1;
        }
    }
    QObject::connect(&signalNotifier, &UnixSignalNotifier::received, &server, [&](int signalNumber) {
        if (signalNumber != SIGHUP) {
            QCoreApplication::quit();
            return;
        }
        // A broken file must not take the service down: the previous answers stay until a good one comes.
        UpdateServerConfig reloaded;
        QString reloadError;
        if (reloaded.load(configFile, &reloadError)) {
            server.setConfig(reloaded);
            printLine(stderr, QStringLiteral("reloaded %1").arg(configFile));
        } else {
            printLine(stderr, QStringLiteral("%1; keeping the previous configuration").arg(reloadError));
        }
    });

    printLine(stdout, QStringLiteral("listening on %1, version port %2, banner port %3")
                          .arg(address.toString())
                          .arg(server.versionPort())
                          .arg(server.bannerPort()));
    return app.exec();
}
