#include "Ostrel/Zip/Crc32.h"

#include <zlib.h>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace Ostrel::Zip {

namespace {

// zlib counts in uInt.
uint32_t ZlibCrc32(uint32_t crc, const unsigned char* pb, size_t cb) {
    constexpr size_t kMaxPiece = size_t(1) << 30;
    while (cb > 0) {
        const size_t cbPiece = cb < kMaxPiece ? cb : kMaxPiece;
        crc = static_cast<uint32_t>(crc32(crc, pb, static_cast<uInt>(cbPiece)));
        pb += cbPiece;
        cb -= cbPiece;
    }
    return crc;
}

#if defined(__x86_64__)

// The folds work on the bit-reflected polynomial 0xEDB88320 with the inner, inverted CRC value.
// A 128-bit lane moves D bits forward by multiplying its low half by x^(D+32) and its high half by
// x^(D-32) (mod P, reflected, shifted left by one); these pairs are for D = 2048, 512 and 128.
constexpr uint64_t kFold2048[] = {0x11542778a, 0x1322d1430};
constexpr uint64_t kFold512[] = {0x154442bd4, 0x1c6e41596};
constexpr uint64_t kFold128[] = {0x1751997d0, 0x0ccaa009e};
constexpr uint64_t kFold64 = 0x163cd6124;
constexpr uint64_t kBarrett[] = {0x1db710641, 0x1f7011641};  // P and its Barrett quotient

#define OSTREL_CLMUL __attribute__((target("pclmul,sse4.1")))
#define OSTREL_VCLMUL __attribute__((target("avx512f,avx512vl,vpclmulqdq,pclmul,sse4.1")))

OSTREL_CLMUL inline __m128i Load(const unsigned char* pb) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(pb));
}

OSTREL_CLMUL inline __m128i Fold(__m128i x, __m128i k) {
    return _mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_clmulepi64_si128(x, k, 0x11));
}

// Folds the rest (a multiple of 16 bytes) into x and reduces it to the 32-bit CRC.
OSTREL_CLMUL uint32_t FinishCrc32(__m128i x, const unsigned char* pb, size_t cb) {
    const __m128i k128 = _mm_set_epi64x(kFold128[1], kFold128[0]);
    for (; cb >= 16; pb += 16, cb -= 16)
        x = _mm_xor_si128(Fold(x, k128), Load(pb));

    // 128 bits to 64.
    const __m128i mask = _mm_setr_epi32(~0, 0, ~0, 0);
    x = _mm_xor_si128(_mm_srli_si128(x, 8), _mm_clmulepi64_si128(x, k128, 0x10));
    const __m128i high = _mm_srli_si128(x, 4);
    x = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x, mask), _mm_set_epi64x(0, kFold64), 0x00), high);

    // Barrett reduction to 32 bits.
    const __m128i barrett = _mm_set_epi64x(kBarrett[1], kBarrett[0]);
    __m128i q = _mm_clmulepi64_si128(_mm_and_si128(x, mask), barrett, 0x10);
    q = _mm_clmulepi64_si128(_mm_and_si128(q, mask), barrett, 0x00);
    return static_cast<uint32_t>(_mm_extract_epi32(_mm_xor_si128(x, q), 1));
}

// Four 128-bit lanes, 64 bytes a step. cb is a multiple of 16 and at least 64.
OSTREL_CLMUL uint32_t FoldCrc32(uint32_t crc, const unsigned char* pb, size_t cb) {
    __m128i x1 = _mm_xor_si128(Load(pb), _mm_cvtsi32_si128(static_cast<int>(crc)));
    __m128i x2 = Load(pb + 16), x3 = Load(pb + 32), x4 = Load(pb + 48);
    const __m128i k512 = _mm_set_epi64x(kFold512[1], kFold512[0]);
    for (pb += 64, cb -= 64; cb >= 64; pb += 64, cb -= 64) {
        x1 = _mm_xor_si128(Fold(x1, k512), Load(pb));
        x2 = _mm_xor_si128(Fold(x2, k512), Load(pb + 16));
        x3 = _mm_xor_si128(Fold(x3, k512), Load(pb + 32));
        x4 = _mm_xor_si128(Fold(x4, k512), Load(pb + 48));
    }
    const __m128i k128 = _mm_set_epi64x(kFold128[1], kFold128[0]);
    x2 = _mm_xor_si128(Fold(x1, k128), x2);
    x3 = _mm_xor_si128(Fold(x2, k128), x3);
    x4 = _mm_xor_si128(Fold(x3, k128), x4);
    return FinishCrc32(x4, pb, cb);
}

OSTREL_VCLMUL inline __m512i LoadWide(const unsigned char* pb) {
    return _mm512_loadu_si512(pb);
}

// Each lane of x folded forward, plus next.
OSTREL_VCLMUL inline __m512i FoldWide(__m512i x, __m512i k, __m512i next) {
    return _mm512_ternarylogic_epi64(_mm512_clmulepi64_epi128(x, k, 0x00), _mm512_clmulepi64_epi128(x, k, 0x11), next,
                                     0x96);
}

// Sixteen 128-bit lanes in four 512-bit registers, 256 bytes a step. cb is a multiple of 16 and
// at least 256.
OSTREL_VCLMUL uint32_t FoldCrc32Wide(uint32_t crc, const unsigned char* pb, size_t cb) {
    __m512i x1 = _mm512_xor_si512(LoadWide(pb), _mm512_zextsi128_si512(_mm_cvtsi32_si128(static_cast<int>(crc))));
    __m512i x2 = LoadWide(pb + 64), x3 = LoadWide(pb + 128), x4 = LoadWide(pb + 192);
    const __m512i k2048 = _mm512_set_epi64(kFold2048[1], kFold2048[0], kFold2048[1], kFold2048[0], kFold2048[1],
                                           kFold2048[0], kFold2048[1], kFold2048[0]);
    for (pb += 256, cb -= 256; cb >= 256; pb += 256, cb -= 256) {
        x1 = FoldWide(x1, k2048, LoadWide(pb));
        x2 = FoldWide(x2, k2048, LoadWide(pb + 64));
        x3 = FoldWide(x3, k2048, LoadWide(pb + 128));
        x4 = FoldWide(x4, k2048, LoadWide(pb + 192));
    }
    const __m512i k512 = _mm512_set_epi64(kFold512[1], kFold512[0], kFold512[1], kFold512[0], kFold512[1], kFold512[0],
                                          kFold512[1], kFold512[0]);
    x2 = FoldWide(x1, k512, x2);
    x3 = FoldWide(x2, k512, x3);
    x4 = FoldWide(x3, k512, x4);
    // The register's four lanes into one.
    const __m128i k128 = _mm_set_epi64x(kFold128[1], kFold128[0]);
    alignas(64) __m128i lanes[4];
    _mm512_store_si512(lanes, x4);
    __m128i x = lanes[0];
    for (int i = 1; i < 4; ++i)
        x = _mm_xor_si128(Fold(x, k128), lanes[i]);
    return FinishCrc32(x, pb, cb);
}

bool HasCarryLessMultiply() {
    static const bool bHas = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
    return bHas;
}

bool HasWideCarryLessMultiply() {
    static const bool bHas = HasCarryLessMultiply() && __builtin_cpu_supports("avx512f") &&
                             __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("vpclmulqdq");
    return bHas;
}

#endif

}  // namespace

uint32_t Crc32(uint32_t crc, const unsigned char* pb, size_t cb) {
#if defined(__x86_64__)
    if (cb >= 64 && HasCarryLessMultiply()) {
        const size_t cbFolded = cb & ~size_t(15);
        crc = ~(cb >= 256 && HasWideCarryLessMultiply() ? FoldCrc32Wide(~crc, pb, cbFolded)
                                                        : FoldCrc32(~crc, pb, cbFolded));
        pb += cbFolded;
        cb -= cbFolded;
    }
#endif
    return ZlibCrc32(crc, pb, cb);
}

}  // namespace Ostrel::Zip
