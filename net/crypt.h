#pragma once

// A small wrapper over LibTomCrypt (arithmetic by LibTomMath) for RSASSA-PSS signatures with SHA-1 as hash
// and as MGF1 hash and a salt of 8 bytes. A signature is the raw RSA block, as many bytes as the modulus.
// Every function reports failure by throwing crypt_exception. Call crypt_init() once, on one thread, before
// anything else; afterwards the functions may be used from several threads at once.

#include "net/crypt_exception.h"

#include <vector>

struct Rsa_key; // LibTomCrypt's rsa_key

// Keys are stored and compiled in as blocks of this size: the DER key first, zero bytes after it.
constexpr unsigned long KEY_BLOCK_SIZE = 2048;

// The built-in verification key, generated at build time from the file named by MURMELO_PUBLIC_KEY.
extern const unsigned char PUBLIC_KEY[KEY_BLOCK_SIZE];

void crypt_init();
void check_err(const char *name, int code);

// SHA-1 of a buffer into a 20-byte digest.
void hash_msg(const unsigned char *msg, unsigned long msgLength, unsigned char *digest);
bool verify_msg(Rsa_key *key, const unsigned char *msg, unsigned long msgLength, const unsigned char *sig,
                unsigned long sigLength);
// Reads the first DER structure of the buffer. On success the key holds numbers that rsa_free releases; on
// failure nothing needs to be released.
void load_key(Rsa_key *key, const unsigned char *data, unsigned long length);

// Signing side: used by the key tool, never by the update.
// sigLength holds the capacity of sig on entry and the signature's length on return.
void sign_msg(Rsa_key *key, const unsigned char *msg, unsigned long msgLength, unsigned char *sig,
              unsigned long *sigLength);
// type is PK_PUBLIC or PK_PRIVATE; the file gets the whole key block.
void save_key(Rsa_key *key, int type, const char *path);
// Accepts a key block as well as a bare DER key.
void load_key(Rsa_key *key, const char *path);
// The buffer comes from new[]; release it with delete[].
void read_file(const char *path, unsigned char **data, unsigned long *length);
void write_file(const char *path, const unsigned char *data, unsigned long length);

// Whole operations on files, for the key tool and a release publisher.
// Writes a new pair; refuses to replace an existing file.
void make_key_files(const char *privatePath, const char *publicPath);
// Writes the signature of the file to the file's path + ".sig".
void sign_file(const char *privateKeyPath, const char *path);
// Checks path + ".sig" against the key; true when the signature is valid. A signature whose length does not
// fit the key, a missing file or an unusable key throw with a text that names the problem.
bool verify_file(const char *keyPath, const char *path);
// Verifies with a key given as a block in memory (the built-in key, for example).
bool verify_with_key(const unsigned char *keyData, unsigned long keyLength, const unsigned char *msg,
                     unsigned long msgLength, const unsigned char *sig, unsigned long sigLength);

// Release manifests: RSASSA-PSS with SHA-256 as hash and as MGF1 hash, a 32-byte salt, keys of at least
// MANIFEST_KEY_BITS. Keys are given as DER (a key block with zero padding works too).
constexpr int MANIFEST_KEY_BITS = 3072;
constexpr unsigned long SHA256_LENGTH = 32;
void sha256_msg(const unsigned char *msg, unsigned long msgLength, unsigned char *digest);
struct KeyFacts
{
    int bits = 0;
    bool isPrivate = false;
    std::vector<unsigned char> publicDer; // PKCS #1 RSAPublicKey, also of a private key
};
KeyFacts key_facts(const unsigned char *keyData, unsigned long keyLength);
bool verify_sha256(const unsigned char *keyData, unsigned long keyLength, const unsigned char *msg,
                   unsigned long msgLength, const unsigned char *sig, unsigned long sigLength);
std::vector<unsigned char> sign_sha256(const unsigned char *keyData, unsigned long keyLength,
                                       const unsigned char *msg, unsigned long msgLength);
// Writes a new pair of the given size, like make_key_files.
void make_key_files(const char *privatePath, const char *publicPath, int bits);
