// Release publisher: makes the signing key pair, publishes a client type's release onto a mirror tree
// (product ini, its signature, the section directories, the changelog) and checks a published tree the way
// the updater will. See docs/publishing.md.

#include "releasepublisher.h"
#include "releaseverifier.h"

#include "net/crypt.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QTextStream>

#include <cstdio>

namespace {

enum ExitCode { Ok = 0, Mismatch = 1, Failure = 2, Usage = 3 };

const char usageText[] =
        "usage: murmelo-publish keygen <private key file> <public key file>\n"
        "       murmelo-publish publish [options] <release directory> <output directory>\n"
        "           --client-type <type>   required; names <output>/<version>/<type>.ini\n"
        "           --version <number>     required; the release's version, a positive integer\n"
        "           --key <file>           required; the private key that signs the product ini\n"
        "           --section <name>       mirror directory of the files (default: release)\n"
        "           --gzip <pattern>       gzip the files matching a wildcard pattern (repeatable); a pattern\n"
        "                                  with \"/\" matches the relative path, otherwise the file name\n"
        "           --gzip-above <bytes>   gzip the files larger than this\n"
        "           --previous <ini>       the previous release's product ini: its files that this release\n"
        "                                  lacks (and its obsolete files) are listed for deletion\n"
        "           --delete-list <file>   installed paths to delete, one per line (\"#\" begins a comment)\n"
        "           --changelog <file>     published as <output>/<version>/changelog_client.txt\n"
        "           --blockmap-min <bytes> files shipped uncompressed from this size on get a block map for\n"
        "                                  delta updates (default 4194304)\n"
        "           --no-blockmaps         write no block maps\n"
        "           --manifest-key <file>  also write <type>.ini.manifest, signed with this private key (at\n"
        "                                  least 3072 bits): SHA-256 of every file, version, channel, expiry\n"
        "           --expires-in <time>    the manifest's lifetime: 30d (default), 12h, 90m, 3600s\n"
        "           --channel <name>       the manifest's channel: stable (default), beta, alpha\n"
        "           --rotation <file>      a key rotation statement (keytool rotate-add/-retire) for the\n"
        "                                  manifest (repeatable, applied in order)\n"
        "       murmelo-publish verify [--manifest-key <public key>] <version directory> <public key file>\n"
        "                       [<client type>]\n"
        "           checks a release manifest beside each ini under the built-in manifest keys, or under\n"
        "           --manifest-key alone, which then requires one for every ini\n"
        "exit status: 0 done or verified, 1 verification failed, 2 error, 3 usage\n";

QTextStream &standardOutput()
{
    static QTextStream stream(stdout);
    return stream;
}

int usage(const QString &problem = QString())
{
    if (!problem.isEmpty())
        std::fprintf(stderr, "murmelo-publish: %s\n", qPrintable(problem));
    std::fputs(usageText, stderr);
    return Usage;
}

int report(const QStringList &errors, int code)
{
    standardOutput().flush();
    for (const QString &error : errors)
        std::fprintf(stderr, "murmelo-publish: %s\n", error.toLocal8Bit().constData());
    return code;
}

int keygen(const QStringList &arguments)
{
    if (arguments.size() != 2)
        return usage();
    try {
        make_key_files(QFile::encodeName(arguments.at(0)).constData(), QFile::encodeName(arguments.at(1)).constData());
    } catch (const crypt_exception &e) {
        return report({QString::fromLocal8Bit(e.what())}, Failure);
    }
    standardOutput() << QStringLiteral("wrote private key %1 and public key %2\n").arg(arguments.at(0), arguments.at(1));
    return Ok;
}

int publish(const QStringList &arguments)
{
    QCommandLineParser parser;
    const QCommandLineOption clientType(QStringLiteral("client-type"), QString(), QStringLiteral("type"));
    const QCommandLineOption version(QStringLiteral("version"), QString(), QStringLiteral("number"));
    const QCommandLineOption key(QStringLiteral("key"), QString(), QStringLiteral("file"));
    const QCommandLineOption section(QStringLiteral("section"), QString(), QStringLiteral("name"),
                                     QStringLiteral("release"));
    const QCommandLineOption gzip(QStringLiteral("gzip"), QString(), QStringLiteral("pattern"));
    const QCommandLineOption gzipAbove(QStringLiteral("gzip-above"), QString(), QStringLiteral("bytes"));
    const QCommandLineOption previous(QStringLiteral("previous"), QString(), QStringLiteral("ini"));
    const QCommandLineOption deleteList(QStringLiteral("delete-list"), QString(), QStringLiteral("file"));
    const QCommandLineOption changelog(QStringLiteral("changelog"), QString(), QStringLiteral("file"));
    const QCommandLineOption blockMapMin(QStringLiteral("blockmap-min"), QString(), QStringLiteral("bytes"));
    const QCommandLineOption noBlockMaps(QStringLiteral("no-blockmaps"));
    const QCommandLineOption manifestKey(QStringLiteral("manifest-key"), QString(), QStringLiteral("file"));
    const QCommandLineOption expiresIn(QStringLiteral("expires-in"), QString(), QStringLiteral("time"),
                                       QStringLiteral("30d"));
    const QCommandLineOption channel(QStringLiteral("channel"), QString(), QStringLiteral("name"),
                                     QStringLiteral("stable"));
    const QCommandLineOption rotation(QStringLiteral("rotation"), QString(), QStringLiteral("file"));
    parser.addOptions({clientType, version, key, section, gzip, gzipAbove, previous, deleteList, changelog, manifestKey,
                       expiresIn, channel, rotation, blockMapMin, noBlockMaps});
    if (!parser.parse(QStringList{QStringLiteral("publish")} + arguments))
        return usage(parser.errorText());
    if (parser.positionalArguments().size() != 2)
        return usage(QStringLiteral("publish needs a release directory and an output directory"));
    for (const QCommandLineOption &required : {clientType, version, key}) {
        if (!parser.isSet(required))
            return usage(QStringLiteral("publish needs --%1").arg(required.names().constFirst()));
    }
    for (const QCommandLineOption &manifestOnly : {expiresIn, channel, rotation}) {
        if (parser.isSet(manifestOnly) && !parser.isSet(manifestKey))
            return usage(QStringLiteral("--%1 belongs to the manifest; give --manifest-key").arg(manifestOnly.names().constFirst()));
    }

    ReleasePublisher::Options options;
    options.releaseDir = parser.positionalArguments().at(0);
    options.outDir = parser.positionalArguments().at(1);
    options.clientType = parser.value(clientType);
    options.version = parser.value(version);
    options.privateKey = parser.value(key);
    options.section = parser.value(section);
    options.gzipPatterns = parser.values(gzip);
    options.previousIni = parser.value(previous);
    options.deleteList = parser.value(deleteList);
    options.changelog = parser.value(changelog);
    options.manifest.privateKey = parser.value(manifestKey);
    options.manifest.expiresIn = ManifestWriter::parseDuration(parser.value(expiresIn));
    options.manifest.channel = parser.value(channel);
    options.manifest.rotationFiles = parser.values(rotation);
    if (parser.isSet(gzipAbove)) {
        bool ok = false;
        options.gzipAbove = parser.value(gzipAbove).toLongLong(&ok);
        if (!ok || options.gzipAbove < 0) {
            return report({QStringLiteral("--gzip-above %1 is not a number of bytes").arg(parser.value(gzipAbove))},
                          Failure);
        }
    }

    if (parser.isSet(blockMapMin) && parser.isSet(noBlockMaps))
        return usage(QStringLiteral("--blockmap-min and --no-blockmaps exclude each other"));
    if (parser.isSet(noBlockMaps))
        options.blockMapThreshold = -1;
    if (parser.isSet(blockMapMin)) {
        bool ok = false;
        options.blockMapThreshold = parser.value(blockMapMin).toLongLong(&ok);
        if (!ok || options.blockMapThreshold < 0) {
            return report({QStringLiteral("--blockmap-min %1 is not a number of bytes").arg(parser.value(blockMapMin))},
                          Failure);
        }
    }

    ReleasePublisher publisher(options, standardOutput());
    return publisher.publish() ? report({}, Ok) : report(publisher.errors(), Failure);
}

int verify(const QStringList &arguments)
{
    QCommandLineParser parser;
    const QCommandLineOption manifestKey(QStringLiteral("manifest-key"), QString(), QStringLiteral("file"));
    parser.addOption(manifestKey);
    if (!parser.parse(QStringList{QStringLiteral("verify")} + arguments))
        return usage(parser.errorText());
    const QStringList positional = parser.positionalArguments();
    if (positional.size() != 2 && positional.size() != 3)
        return usage();
    ReleaseVerifier verifier(positional.at(0), positional.at(1), positional.value(2), standardOutput(),
                             parser.value(manifestKey));
    switch (verifier.verify()) {
    case ReleaseVerifier::Verified:
        return report({}, Ok);
    case ReleaseVerifier::Mismatch:
        return report(verifier.errors(), Mismatch);
    case ReleaseVerifier::BadInput:
        break;
    }
    return report(verifier.errors(), Failure);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QStringList arguments = QCoreApplication::arguments().mid(1);
    if (arguments.isEmpty())
        return usage();
    const QString command = arguments.takeFirst();
    try {
        crypt_init();
    } catch (const crypt_exception &e) {
        return report({QString::fromLocal8Bit(e.what())}, Failure);
    }
    if (command == QLatin1String("keygen"))
        return keygen(arguments);
    if (command == QLatin1String("publish"))
        return publish(arguments);
    if (command == QLatin1String("verify"))
        return verify(arguments);
    return usage(QStringLiteral("unknown command %1").arg(command));
}
