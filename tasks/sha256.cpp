#include "tasks/sha256.h"

#include <QtEndian>

#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <immintrin.h>
#define SHA256_X86 1
#endif

namespace {

constexpr quint32 RoundConstants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

constexpr quint32 InitialState[8] = {
    0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19,
};

constexpr quint32 rotr(quint32 x, int n)
{
    return (x >> n) | (x << (32 - n));
}

void compressPortable(quint32 *state, const uchar *blocks, qsizetype count)
{
    for (; count > 0; --count, blocks += 64) {
        quint32 w[64];
        for (int t = 0; t < 16; ++t)
            w[t] = qFromBigEndian<quint32>(blocks + 4 * t);
        for (int t = 16; t < 64; ++t) {
            const quint32 s0 = rotr(w[t - 15], 7) ^ rotr(w[t - 15], 18) ^ (w[t - 15] >> 3);
            const quint32 s1 = rotr(w[t - 2], 17) ^ rotr(w[t - 2], 19) ^ (w[t - 2] >> 10);
            w[t] = w[t - 16] + s0 + w[t - 7] + s1;
        }
        quint32 a = state[0], b = state[1], c = state[2], d = state[3];
        quint32 e = state[4], f = state[5], g = state[6], h = state[7];
        for (int t = 0; t < 64; ++t) {
            const quint32 t1 = h + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g))
                               + RoundConstants[t] + w[t];
            const quint32 t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
            h = g;
            g = f;
            f = e;
            e = d + t1;
            d = c;
            c = b;
            b = a;
            a = t1 + t2;
        }
        state[0] += a;
        state[1] += b;
        state[2] += c;
        state[3] += d;
        state[4] += e;
        state[5] += f;
        state[6] += g;
        state[7] += h;
    }
}

#ifdef SHA256_X86
// The SHA round instruction keeps the working variables as two vectors, A B E F and C D G H (highest lane
// first), and does two rounds per call with the high lanes of its third operand unused.
__attribute__((target("sha,sse4.1"))) void compressShaInstructions(quint32 *state, const uchar *blocks,
                                                                      qsizetype count)
{
    // Turns each big-endian 32-bit word of the message into a lane.
    const __m128i byteSwap = _mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL);

    const __m128i dcba = _mm_loadu_si128(reinterpret_cast<const __m128i *>(state));
    const __m128i hgfe = _mm_loadu_si128(reinterpret_cast<const __m128i *>(state + 4));
    const __m128i cdab = _mm_shuffle_epi32(dcba, 0xb1);
    const __m128i efgh = _mm_shuffle_epi32(hgfe, 0x1b);
    __m128i abef = _mm_alignr_epi8(cdab, efgh, 8);
    __m128i cdgh = _mm_blend_epi16(efgh, cdab, 0xf0);

    for (; count > 0; --count, blocks += 64) {
        const __m128i abefBefore = abef;
        const __m128i cdghBefore = cdgh;
        __m128i w[4];
#pragma GCC unroll 16
        for (int group = 0; group < 16; ++group) {
            __m128i &words = w[group % 4];
            if (group < 4) {
                words = _mm_shuffle_epi8(
                    _mm_loadu_si128(reinterpret_cast<const __m128i *>(blocks + 16 * group)), byteSwap);
            } else {
                // W[t-16] + s0(W[t-15]), plus W[t-7], then s1 of the two words before.
                const __m128i &previous = w[(group + 3) % 4];
                const __m128i sevenBack = _mm_alignr_epi8(previous, w[(group + 2) % 4], 4);
                words = _mm_sha256msg2_epu32(
                    _mm_add_epi32(_mm_sha256msg1_epu32(words, w[(group + 1) % 4]), sevenBack), previous);
            }
            __m128i wk = _mm_add_epi32(
                words, _mm_loadu_si128(reinterpret_cast<const __m128i *>(RoundConstants + 4 * group)));
            // Two rounds later the old A B E F is the new C D G H, so the two vectors trade roles twice.
            cdgh = _mm_sha256rnds2_epu32(cdgh, abef, wk);
            wk = _mm_shuffle_epi32(wk, 0x0e);
            abef = _mm_sha256rnds2_epu32(abef, cdgh, wk);
        }
        abef = _mm_add_epi32(abef, abefBefore);
        cdgh = _mm_add_epi32(cdgh, cdghBefore);
    }

    const __m128i badc = _mm_shuffle_epi32(cdgh, 0x1b);
    const __m128i feba = _mm_shuffle_epi32(abef, 0xb1);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(state), _mm_alignr_epi8(badc, feba, 8));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(state + 4), _mm_blend_epi16(feba, badc, 0xf0));
}
#endif

} // namespace

bool Sha256::hasShaInstructions()
{
#ifdef SHA256_X86
    static const bool has = [] {
        unsigned eax, ebx, ecx, edx;
        if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx))
            return false;
        const bool ssse3 = ecx & (1u << 9);
        const bool sse41 = ecx & (1u << 19);
        if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx))
            return false;
        const bool sha = ebx & (1u << 29);
        return ssse3 && sse41 && sha;
    }();
    return has;
#else
    return false;
#endif
}

Sha256::Sha256(Implementation implementation) : compress(compressPortable)
{
#ifdef SHA256_X86
    if (implementation == Fastest && hasShaInstructions())
        compress = compressShaInstructions;
#else
    Q_UNUSED(implementation);
#endif
    std::memcpy(state, InitialState, sizeof state);
}

void Sha256::add(QByteArrayView data)
{
    if (data.isEmpty())
        return;
    const uchar *bytes = reinterpret_cast<const uchar *>(data.data());
    qsizetype size = data.size();
    totalSize += quint64(size);
    if (pendingSize > 0) {
        const qsizetype taken = qMin(size, qsizetype(sizeof pending) - pendingSize);
        std::memcpy(pending + pendingSize, bytes, size_t(taken));
        pendingSize += taken;
        bytes += taken;
        size -= taken;
        if (pendingSize < qsizetype(sizeof pending))
            return;
        compress(state, pending, 1);
        pendingSize = 0;
    }
    const qsizetype blocks = size / 64;
    if (blocks > 0)
        compress(state, bytes, blocks);
    pendingSize = size % 64;
    if (pendingSize > 0)
        std::memcpy(pending, bytes + blocks * 64, size_t(pendingSize));
}

QByteArray Sha256::result() const
{
    // The padding: one bit, zeros up to 8 bytes before a block's end, then the length in bits.
    Sha256 last = *this;
    uchar tail[128] = {0x80};
    const qsizetype tailSize = pendingSize < 56 ? 64 - pendingSize : 128 - pendingSize;
    qToBigEndian<quint64>(totalSize * 8, tail + tailSize - 8);
    last.add(QByteArrayView(tail, tailSize));

    QByteArray digest(32, Qt::Uninitialized);
    for (int i = 0; i < 8; ++i)
        qToBigEndian<quint32>(last.state[i], digest.data() + 4 * i);
    return digest;
}
