#include "net/crypt.h"

#include <tomcrypt.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr unsigned long SALT_LENGTH = 8;
constexpr unsigned long DIGEST_LENGTH = 20; // SHA-1
constexpr int MODULUS_BYTES = 128;
constexpr long PUBLIC_EXPONENT = 65537;

// Indices into LibTomCrypt's registries, filled by crypt_init() before any other thread uses them.
int hashIndex = -1;
int sha256Index = -1;
int prngIndex = -1;

using File = std::unique_ptr<FILE, int (*)(FILE *)>;

File openForReading(const char *path)
{
    File file(std::fopen(path, "rbe"), &std::fclose);
    if (!file)
        throw crypt_exception(std::string("Cannot open file for reading: ") + path);
    return file;
}

// A private key gets mode 0600 even when the file existed with wider permissions.
void writeBytes(const char *path, const unsigned char *data, unsigned long length, bool secret)
{
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, secret ? 0600 : 0644);
    if (fd < 0)
        throw crypt_exception(std::string("Cannot open file for writing: ") + path);
    File file(::fdopen(fd, "wb"), &std::fclose);
    if (!file) {
        ::close(fd);
        throw crypt_exception(std::string("Cannot open file for writing: ") + path);
    }
    const bool written = (!secret || ::fchmod(fd, 0600) == 0)
            && std::fwrite(data, 1, length, file.get()) == length;
    // fclose() flushes, so a full disk may show only here.
    if (std::fclose(file.release()) != 0 || !written)
        throw crypt_exception(std::string("Cannot write file: ") + path);
}

unsigned long readKeyBlock(const char *path, unsigned char *block)
{
    File file = openForReading(path);
    const unsigned long length = std::fread(block, 1, KEY_BLOCK_SIZE, file.get());
    if (std::ferror(file.get()))
        throw crypt_exception(std::string("Cannot read file: ") + path);
    return length;
}

std::vector<unsigned char> readWhole(const char *path)
{
    unsigned char *data = nullptr;
    unsigned long length = 0;
    read_file(path, &data, &length);
    std::vector<unsigned char> bytes(data, data + length);
    delete[] data;
    return bytes;
}

// LibTomCrypt aborts the process on a null buffer even when its length is 0, which is what an empty
// std::vector hands out for an empty file.
const unsigned char *nonNull(const unsigned char *data)
{
    static const unsigned char nothing = 0;
    return data ? data : &nothing;
}

bool exists(const char *path)
{
    struct stat info;
    return ::lstat(path, &info) == 0;
}

// Owns the numbers of a key from its import or creation to the end of the scope.
class OwnedKey
{
public:
    explicit OwnedKey(int bits = MODULUS_BYTES * 8)
    {
        check_err("rsa_make_key", rsa_make_key(nullptr, prngIndex, bits / 8, PUBLIC_EXPONENT, &key));
    }
    OwnedKey(const unsigned char *data, unsigned long length) { load_key(&key, data, length); }
    explicit OwnedKey(const char *path)
    {
        unsigned char block[KEY_BLOCK_SIZE];
        const unsigned long length = readKeyBlock(path, block);
        try {
            load_key(&key, block, length);
        } catch (const crypt_exception &e) {
            throw crypt_exception(std::string(path) + " holds no usable RSA key (" + e.what() + ")");
        }
    }
    ~OwnedKey() { rsa_free(&key); }
    OwnedKey(const OwnedKey &) = delete;
    OwnedKey &operator=(const OwnedKey &) = delete;

    Rsa_key *get() { return &key; }
    unsigned long signatureLength() { return static_cast<unsigned long>(rsa_get_size(&key)); }

private:
    Rsa_key key;
};

} // namespace

void crypt_init()
{
    if (register_prng(&sprng_desc) == -1)
        throw crypt_exception("Error registering sha1");
    ltc_mp = ltm_desc;
    if (register_hash(&sha1_desc) == -1)
        throw crypt_exception("Error registering sha1");
    hashIndex = find_hash("sha1");
    if (register_hash(&sha256_desc) == -1)
        throw crypt_exception("Error registering sha256");
    sha256Index = find_hash("sha256");
    prngIndex = find_prng("sprng");
}

void check_err(const char *name, int code)
{
    if (code != CRYPT_OK)
        throw crypt_exception(std::string(name) + ": " + error_to_string(code));
}

void hash_msg(const unsigned char *msg, unsigned long msgLength, unsigned char *digest)
{
    unsigned long digestLength = DIGEST_LENGTH;
    // hash_memory() rejects an unregistered index, so a missing crypt_init() throws instead of crashing.
    check_err("hash_memory", hash_memory(hashIndex, nonNull(msg), msgLength, digest, &digestLength));
}

bool verify_msg(Rsa_key *key, const unsigned char *msg, unsigned long msgLength, const unsigned char *sig,
                unsigned long sigLength)
{
    unsigned char digest[DIGEST_LENGTH];
    hash_msg(msg, msgLength, digest);
    int status = 0;
    check_err("rsa_verify_hash", rsa_verify_hash_ex(nonNull(sig), sigLength, digest, sizeof digest,
                                                    LTC_PKCS_1_PSS, hashIndex, SALT_LENGTH, &status, key));
    return status == 1;
}

void load_key(Rsa_key *key, const unsigned char *data, unsigned long length)
{
    // LibTomCrypt aborts the process on empty input instead of returning an error.
    check_err("rsa_import", length == 0 ? CRYPT_INVALID_PACKET : rsa_import(nonNull(data), length, key));
}

void sign_msg(Rsa_key *key, const unsigned char *msg, unsigned long msgLength, unsigned char *sig,
              unsigned long *sigLength)
{
    unsigned char digest[DIGEST_LENGTH];
    hash_msg(msg, msgLength, digest);
    check_err("rsa_sign_hash", rsa_sign_hash_ex(digest, sizeof digest, sig, sigLength, LTC_PKCS_1_PSS,
                                                nullptr, prngIndex, hashIndex, SALT_LENGTH, key));
}

void sha256_msg(const unsigned char *msg, unsigned long msgLength, unsigned char *digest)
{
    unsigned long digestLength = SHA256_LENGTH;
    check_err("hash_memory", hash_memory(sha256Index, nonNull(msg), msgLength, digest, &digestLength));
}

KeyFacts key_facts(const unsigned char *keyData, unsigned long keyLength)
{
    OwnedKey key(keyData, keyLength);
    KeyFacts facts;
    facts.bits = rsa_get_size(key.get()) * 8;
    facts.isPrivate = key.get()->type == PK_PRIVATE;
    facts.publicDer.resize(KEY_BLOCK_SIZE);
    unsigned long length = facts.publicDer.size();
    check_err("rsa_export", rsa_export(facts.publicDer.data(), &length, PK_PUBLIC, key.get()));
    facts.publicDer.resize(length);
    return facts;
}

bool verify_sha256(const unsigned char *keyData, unsigned long keyLength, const unsigned char *msg,
                   unsigned long msgLength, const unsigned char *sig, unsigned long sigLength)
{
    OwnedKey key(keyData, keyLength);
    if (sigLength != key.signatureLength())
        return false;
    unsigned char digest[SHA256_LENGTH];
    sha256_msg(msg, msgLength, digest);
    int status = 0;
    const int result = rsa_verify_hash_ex(nonNull(sig), sigLength, digest, sizeof digest, LTC_PKCS_1_PSS,
                                          sha256Index, SHA256_LENGTH, &status, key.get());
    // A block of the right length that does not decode is a signature that does not match.
    return result == CRYPT_OK && status == 1;
}

std::vector<unsigned char> sign_sha256(const unsigned char *keyData, unsigned long keyLength,
                                       const unsigned char *msg, unsigned long msgLength)
{
    OwnedKey key(keyData, keyLength);
    if (key.get()->type != PK_PRIVATE)
        throw crypt_exception("signing needs the private key, not the public one");
    unsigned char digest[SHA256_LENGTH];
    sha256_msg(msg, msgLength, digest);
    std::vector<unsigned char> sig(key.signatureLength());
    unsigned long sigLength = sig.size();
    check_err("rsa_sign_hash", rsa_sign_hash_ex(digest, sizeof digest, sig.data(), &sigLength, LTC_PKCS_1_PSS,
                                                nullptr, prngIndex, sha256Index, SHA256_LENGTH, key.get()));
    sig.resize(sigLength);
    return sig;
}

void save_key(Rsa_key *key, int type, const char *path)
{
    unsigned char block[KEY_BLOCK_SIZE] = {}; // zeroed: the padding must not carry stack contents
    unsigned long length = sizeof block;
    check_err("rsa_export", rsa_export(block, &length, type, key));
    writeBytes(path, block, sizeof block, type == PK_PRIVATE);
}

void load_key(Rsa_key *key, const char *path)
{
    unsigned char block[KEY_BLOCK_SIZE];
    const unsigned long length = readKeyBlock(path, block);
    load_key(key, block, length);
}

void read_file(const char *path, unsigned char **data, unsigned long *length)
{
    File file = openForReading(path);
    std::vector<unsigned char> bytes;
    unsigned long used = 0;
    for (;;) {
        bytes.resize(used + 2048);
        const unsigned long got = std::fread(bytes.data() + used, 1, 2048, file.get());
        used += got;
        if (got < 2048)
            break;
    }
    if (std::ferror(file.get()))
        throw crypt_exception(std::string("Cannot read file: ") + path);
    *data = new unsigned char[used];
    std::memcpy(*data, bytes.data(), used);
    *length = used;
}

void write_file(const char *path, const unsigned char *data, unsigned long length)
{
    writeBytes(path, data, length, false);
}

void make_key_files(const char *privatePath, const char *publicPath)
{
    make_key_files(privatePath, publicPath, MODULUS_BYTES * 8);
}

void make_key_files(const char *privatePath, const char *publicPath, int bits)
{
    if (std::strcmp(privatePath, publicPath) == 0)
        throw crypt_exception("The private and the public key need two different files");
    for (const char *path : {privatePath, publicPath}) {
        if (exists(path))
            throw crypt_exception(std::string(path) + " exists already; a key file is never replaced");
    }
    // A larger private key no longer fits the key block that every key file is.
    if (bits < 1024 || bits > MANIFEST_KEY_BITS || bits % 8 != 0) {
        throw crypt_exception("A key has 1024 to " + std::to_string(MANIFEST_KEY_BITS)
                              + " bits, a multiple of 8; " + std::to_string(bits) + " is none");
    }
    OwnedKey key(bits);
    save_key(key.get(), PK_PRIVATE, privatePath);
    save_key(key.get(), PK_PUBLIC, publicPath);
}

void sign_file(const char *privateKeyPath, const char *path)
{
    OwnedKey key(privateKeyPath);
    if (key.get()->type != PK_PRIVATE)
        throw crypt_exception(std::string(privateKeyPath) + " holds a public key; signing needs the private key");
    const std::vector<unsigned char> msg = readWhole(path);
    std::vector<unsigned char> sig(key.signatureLength());
    unsigned long sigLength = sig.size();
    sign_msg(key.get(), msg.data(), msg.size(), sig.data(), &sigLength);
    write_file((std::string(path) + ".sig").c_str(), sig.data(), sigLength);
}

bool verify_file(const char *keyPath, const char *path)
{
    OwnedKey key(keyPath);
    const std::string sigPath = std::string(path) + ".sig";
    const std::vector<unsigned char> msg = readWhole(path);
    const std::vector<unsigned char> sig = readWhole(sigPath.c_str());
    if (sig.size() != key.signatureLength()) {
        throw crypt_exception(sigPath + " has " + std::to_string(sig.size()) + " bytes; a signature made with "
                              + keyPath + " has " + std::to_string(key.signatureLength()));
    }
    try {
        return verify_msg(key.get(), msg.data(), msg.size(), sig.data(), sig.size());
    } catch (const crypt_exception &) {
        return false; // a block of the right length that does not decode is a signature that does not match
    }
}

bool verify_with_key(const unsigned char *keyData, unsigned long keyLength, const unsigned char *msg,
                     unsigned long msgLength, const unsigned char *sig, unsigned long sigLength)
{
    OwnedKey key(keyData, keyLength);
    return verify_msg(key.get(), msg, msgLength, sig, sigLength);
}
