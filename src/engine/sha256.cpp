#include "engine/sha256.h"

#include <algorithm>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <immintrin.h>
#define KORVEL_SHA_EXTENSIONS 1
#endif

namespace {

const uint32_t RoundConstants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

inline uint32_t rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

void compressPortable(uint32_t state[8], const unsigned char *data, qint64 blocks)
{
    for (; blocks > 0; --blocks, data += 64) {
        uint32_t w[64];
        for (int t = 0; t < 16; ++t)
            w[t] = uint32_t(data[4 * t]) << 24 | uint32_t(data[4 * t + 1]) << 16
                   | uint32_t(data[4 * t + 2]) << 8 | data[4 * t + 3];
        for (int t = 16; t < 64; ++t) {
            const uint32_t s0 = rotr(w[t - 15], 7) ^ rotr(w[t - 15], 18) ^ (w[t - 15] >> 3);
            const uint32_t s1 = rotr(w[t - 2], 17) ^ rotr(w[t - 2], 19) ^ (w[t - 2] >> 10);
            w[t] = w[t - 16] + s0 + w[t - 7] + s1;
        }
        uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
        uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
        for (int t = 0; t < 64; ++t) {
            const uint32_t t1 = h + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g))
                                + RoundConstants[t] + w[t];
            const uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
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

#ifdef KORVEL_SHA_EXTENSIONS

// The processor's SHA-256 rounds: the state is kept as the two halves ABEF and CDGH, and each
// four-word group of the message schedule comes from the four before it.
__attribute__((target("sha,sse4.1,ssse3"))) void compressWithExtensions(uint32_t state[8],
                                                                          const unsigned char *data,
                                                                          qint64 blocks)
{
    const __m128i byteSwap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
    __m128i cdab = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i *>(&state[0])), 0xB1);
    __m128i efgh = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i *>(&state[4])), 0x1B);
    __m128i abef = _mm_alignr_epi8(cdab, efgh, 8);
    __m128i cdgh = _mm_blend_epi16(efgh, cdab, 0xF0);

    for (; blocks > 0; --blocks, data += 64) {
        const __m128i abefSaved = abef;
        const __m128i cdghSaved = cdgh;
        __m128i schedule[4];
        for (int group = 0; group < 16; ++group) {
            __m128i &words = schedule[group % 4];
            if (group < 4) {
                words = _mm_shuffle_epi8(
                    _mm_loadu_si128(reinterpret_cast<const __m128i *>(data + 16 * group)), byteSwap);
            } else {
                const __m128i &previous = schedule[(group + 3) % 4];
                const __m128i shifted = _mm_alignr_epi8(previous, schedule[(group + 2) % 4], 4);
                words = _mm_sha256msg2_epu32(
                    _mm_add_epi32(_mm_sha256msg1_epu32(words, schedule[(group + 1) % 4]), shifted),
                    previous);
            }
            __m128i message = _mm_add_epi32(
                words, _mm_loadu_si128(reinterpret_cast<const __m128i *>(&RoundConstants[4 * group])));
            cdgh = _mm_sha256rnds2_epu32(cdgh, abef, message);
            message = _mm_shuffle_epi32(message, 0x0E);
            abef = _mm_sha256rnds2_epu32(abef, cdgh, message);
        }
        abef = _mm_add_epi32(abef, abefSaved);
        cdgh = _mm_add_epi32(cdgh, cdghSaved);
    }

    const __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
    const __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(&state[0]), _mm_blend_epi16(feba, dchg, 0xF0));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(&state[4]), _mm_alignr_epi8(dchg, feba, 8));
}

bool hasExtensions()
{
    unsigned a, b, c, d;
    if (!__get_cpuid(1, &a, &b, &c, &d) || !(c & bit_SSE4_1) || !(c & bit_SSSE3))
        return false;
    if (!__get_cpuid_count(7, 0, &a, &b, &c, &d))
        return false;
    return (b & (1u << 29)) != 0; // SHA
}

#endif

using Compress = void (*)(uint32_t *, const unsigned char *, qint64);

Compress chooseCompress()
{
#ifdef KORVEL_SHA_EXTENSIONS
    if (hasExtensions())
        return &compressWithExtensions;
#endif
    return &compressPortable;
}

void compress(uint32_t state[8], const unsigned char *data, qint64 blocks)
{
    static const Compress chosen = chooseCompress();
    chosen(state, data, blocks);
}

} // namespace

Sha256::Sha256()
    : m_state{0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab,
              0x5be0cd19}
{
}

void Sha256::addData(const char *data, qint64 length)
{
    const auto *bytes = reinterpret_cast<const unsigned char *>(data);
    m_totalBytes += quint64(length);
    if (m_pendingBytes > 0) {
        const qint64 taken = std::min<qint64>(length, 64 - m_pendingBytes);
        std::memcpy(m_pending + m_pendingBytes, bytes, size_t(taken));
        m_pendingBytes += int(taken);
        bytes += taken;
        length -= taken;
        if (m_pendingBytes < 64)
            return;
        compress(m_state, m_pending, 1);
        m_pendingBytes = 0;
    }
    compress(m_state, bytes, length / 64);
    bytes += length / 64 * 64;
    m_pendingBytes = int(length % 64);
    std::memcpy(m_pending, bytes, size_t(m_pendingBytes));
}

QByteArray Sha256::result()
{
    const quint64 bits = m_totalBytes * 8;
    unsigned char tail[128] = {0x80};
    const int padding = (m_pendingBytes < 56 ? 56 : 120) - m_pendingBytes;
    for (int i = 0; i < 8; ++i)
        tail[padding + i] = static_cast<unsigned char>(bits >> (56 - 8 * i));
    addData(reinterpret_cast<const char *>(tail), padding + 8);
    QByteArray digest(32, Qt::Uninitialized);
    for (int i = 0; i < 8; ++i) {
        for (int j = 0; j < 4; ++j)
            digest[4 * i + j] = char(m_state[i] >> (24 - 8 * j));
    }
    return digest;
}
