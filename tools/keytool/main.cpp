// Makes the key pair that signs releases, signs files and checks signatures, in the form the updater
// verifies (RSASSA-PSS, SHA-1, salt 8, the raw signature in <file>.sig).

#include "net/crypt.h"

#include <cstdio>
#include <cstring>

namespace {

enum ExitCode { Ok = 0, SignatureInvalid = 1, Failure = 2, Usage = 3 };

int usage()
{
    std::fputs("usage: keytool genkey <private key file> <public key file>\n"
               "       keytool sign <private key file> <file>      writes <file>.sig\n"
               "       keytool verify <public key file> <file>     checks <file>.sig\n"
               "exit status: 0 done or signature valid, 1 signature invalid, 2 error, 3 usage\n",
               stderr);
    return Usage;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc != 4)
        return usage();
    const char *command = argv[1];
    const char *key = argv[2];
    const char *path = argv[3];
    try {
        crypt_init();
        if (std::strcmp(command, "genkey") == 0) {
            make_key_files(key, path);
            std::printf("wrote private key %s and public key %s\n", key, path);
        } else if (std::strcmp(command, "sign") == 0) {
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
