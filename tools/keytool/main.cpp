// Makes the key pairs that sign releases and release manifests, signs files and checks signatures in the
// form the updater verifies (RSASSA-PSS, SHA-1, salt 8, the raw signature in <file>.sig), and writes the
// key rotation statements that release manifests carry.

#include "net/crypt.h"
#include "net/keyrotation.h"
#include "net/manifestkey.h"

#include <QFile>
#include <QSaveFile>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

enum ExitCode { Ok = 0, SignatureInvalid = 1, Failure = 2, Usage = 3 };

int usage()
{
    std::fputs("usage: keytool genkey <private key file> <public key file> [<bits>]\n"
               "           bits: 1024 (default) to 3072; a release manifest key needs 3072\n"
               "       keytool sign <private key file> <file>      writes <file>.sig\n"
               "       keytool verify <public key file> <file>     checks <file>.sig\n"
               "       keytool rotate-add <trusted private key> <new public key> <statement file>\n"
               "       keytool rotate-retire <trusted private key> <retired public key> <statement file>\n"
               "           write a key rotation statement for murmelo-publish --rotation\n"
               "exit status: 0 done or signature valid, 1 signature invalid, 2 error, 3 usage\n",
               stderr);
    return Usage;
}

ManifestKey loadManifestKey(const char *path)
{
    ManifestKey key;
    const QString why = ManifestKey::fromFile(QFile::decodeName(path), key);
    if (!why.isEmpty())
        throw crypt_exception(why.toStdString());
    return key;
}

void writeRotation(const char *signerPath, const char *subjectPath, const char *outPath, bool add)
{
    const ManifestKey signer = loadManifestKey(signerPath);
    if (!signer.isPrivate())
        throw crypt_exception(std::string(signerPath) + " holds a public key; a statement is signed with the private key");
    const ManifestKey subject = loadManifestKey(subjectPath);
    const KeyRotation rotation = add ? KeyRotation::add(subject, signer) : KeyRotation::retire(subject.id(), signer);
    QSaveFile out(QFile::decodeName(outPath));
    if (!out.open(QIODevice::WriteOnly) || out.write(rotation.line() + '\n') < 0 || !out.commit())
        throw crypt_exception(std::string("Cannot write file: ") + outPath);
    std::printf("wrote %s: %s key %s, signed with %s\n", outPath, add ? "adds" : "retires",
                qPrintable(subject.id()), qPrintable(signer.id()));
}

int genkey(int argc, char *argv[])
{
    int bits = 1024;
    if (argc == 5) {
        char *end = nullptr;
        bits = int(std::strtol(argv[4], &end, 10));
        if (*argv[4] == '\0' || *end != '\0')
            return usage();
    }
    make_key_files(argv[2], argv[3], bits);
    std::printf("wrote private key %s and public key %s (%d bits)\n", argv[2], argv[3], bits);
    return Ok;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc != 4 && argc != 5)
        return usage();
    const char *command = argv[1];
    const char *key = argv[2];
    const char *path = argv[3];
    try {
        crypt_init();
        if (std::strcmp(command, "genkey") == 0)
            return genkey(argc, argv);
        if (std::strcmp(command, "rotate-add") == 0 || std::strcmp(command, "rotate-retire") == 0) {
            if (argc != 5)
                return usage();
            writeRotation(key, path, argv[4], std::strcmp(command, "rotate-add") == 0);
            return Ok;
        }
        if (argc != 4)
            return usage();
        if (std::strcmp(command, "sign") == 0) {
            sign_file(key, path);
            std::printf("wrote %s.sig\n", path);
        } else if (std::strcmp(command, "verify") == 0) {
            if (!verify_file(key, path)) {
                std::fprintf(stderr, "keytool: %s.sig is not a valid signature of %s under the key %s\n", path,
                             path, key);
                return SignatureInvalid;
            }
            std::printf("%s.sig is a valid signature of %s\n", path, path);
        } else {
            return usage();
        }
    } catch (const crypt_exception &e) {
        std::fprintf(stderr, "keytool: %s\n", e.what());
        return Failure;
    }
    return Ok;
}
