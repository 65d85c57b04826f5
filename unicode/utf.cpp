#include <keymon/unicode/utf.h>

#include <cstring>

#if defined(__x86_64__) && !defined(UTF_PORTABLE_ONLY)
#define UTF_AVX2 1
#include <immintrin.h>
#endif

namespace {

// Byte by byte, with whole 8-byte words of ASCII skipped at once. `end` is
// the text's terminating zero, so no byte before it is zero.
int valid_scalar(const std::uint8_t* p, const std::uint8_t* end) {
    while (p < end) {
        if (end - p >= 8) {
            std::uint64_t word;
            std::memcpy(&word, p, 8);
            if ((word & 0x8080808080808080u) == 0) {
                p += 8;
                continue;
            }
        }
        if (*p < 0x80) {
            ++p;
            continue;
        }
        const std::size_t left = static_cast<std::size_t>(end - p);
        CodePoint value = 0;
        const std::int32_t n = utf8_get_char(&value, p, left > 0xFFFFFFFF ? 0xFFFFFFFFu : static_cast<std::uint32_t>(left));
        if (n < 0 || !is_unicode_scalar(static_cast<std::uint32_t>(value))) return 0;
        p += n;
    }
    return 1;
}

#ifdef UTF_AVX2

// The lookup validator: every error in well-formedness shows in a pair of
// neighbouring bytes, each error kind being a product of three conditions,
// on the earlier byte's high nibble, its low nibble and the later byte's high
// nibble. Three 16-entry tables give, per nibble, the error kinds it allows;
// ANDed, they leave the kinds that hold. The one thing pairs cannot see, a
// continuation byte where a third or fourth byte is due (or not due), is
// checked against the lead bytes two and three places back.
namespace lookup {

enum : std::uint8_t {
    too_short = 1 << 0,   // lead byte, then no continuation
    too_long = 1 << 1,    // ASCII, then a continuation
    overlong_3 = 1 << 2,  // E0 80..9F
    too_large = 1 << 3,   // F4 90..BF, F5..FF 90..BF
    surrogate = 1 << 4,   // ED A0..BF
    overlong_2 = 1 << 5,  // C0 or C1, then a continuation
    overlong_4 = 1 << 6,  // F0 80..8F; with F5..FF 80..8F, which share the bit
    two_conts = 1 << 7,   // continuation after continuation: right only for 3rd and 4th bytes
};

constexpr std::uint8_t carry = too_short | too_long | two_conts;  // kinds any low nibble allows

struct Tables {
    std::uint8_t first_high[16];
    std::uint8_t first_low[16];
    std::uint8_t second_high[16];
};

constexpr Tables make_tables() {
    Tables t{};
    for (int n = 0; n < 16; ++n) {
        std::uint8_t high = 0;
        if (n < 8) high |= too_long;
        if (n >= 8 && n < 12) high |= two_conts;
        if (n >= 12) high |= too_short;
        if (n == 12) high |= overlong_2;
        if (n == 14) high |= overlong_3 | surrogate;
        if (n == 15) high |= too_large | overlong_4;
        t.first_high[n] = high;

        std::uint8_t low = carry;
        if (n <= 1) low |= overlong_2;
        if (n == 0) low |= overlong_3 | overlong_4;
        if (n == 13) low |= surrogate;
        if (n >= 4) low |= too_large;
        if (n >= 5) low |= overlong_4;
        t.first_low[n] = low;

        std::uint8_t second = 0;
        if (n < 8 || n >= 12) second |= too_short;
        if (n >= 8 && n < 12) second |= too_long | two_conts | overlong_2;
        if (n == 8 || n == 9) second |= overlong_3;
        if (n == 8) second |= overlong_4;
        if (n >= 9 && n < 12) second |= too_large;
        if (n == 10 || n == 11) second |= surrogate;
        t.second_high[n] = second;
    }
    return t;
}

constexpr Tables tables = make_tables();

// The tables checked against the rules for every pair of bytes, at compile time.
constexpr bool pair_is_flagged(int a, int b) {
    return (tables.first_high[a >> 4] & tables.first_low[a & 15] & tables.second_high[b >> 4]) != 0;
}

constexpr bool pair_is_wrong(int a, int b) {
    const bool lead = a >= 0xC0, cont_a = a >= 0x80 && a < 0xC0, cont_b = b >= 0x80 && b < 0xC0;
    if (lead && !cont_b) return true;
    if (a < 0x80) return cont_b;
    if (cont_a) return cont_b;  // two_conts: settled by the lead bytes further back
    return a <= 0xC1 || (a == 0xE0 && b < 0xA0) || (a == 0xED && b >= 0xA0) || (a == 0xF0 && b < 0x90) ||
           (a == 0xF4 && b >= 0x90) || a >= 0xF5;
}

constexpr bool tables_match_rules() {
    for (int a = 0; a < 256; ++a) {
        for (int b = 0; b < 256; ++b) {
            if (pair_is_flagged(a, b) != pair_is_wrong(a, b)) return false;
        }
    }
    return true;
}
static_assert(tables_match_rules());

struct State {
    __m256i error;
    __m256i prev;        // the previous block, for the pairs across the border
    __m256i incomplete;  // the previous block ends inside a sequence
};

[[gnu::target("avx2")]] inline __m256i table(const std::uint8_t (&t)[16]) {
    return _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(t)));
}

[[gnu::target("avx2")]] inline void check_block(State& s, __m256i in, __m256i first_high, __m256i first_low,
                                                __m256i second_high) {
    const __m256i nibble = _mm256_set1_epi8(0x0F);
    if (_mm256_movemask_epi8(in) == 0) {
        s.error = _mm256_or_si256(s.error, s.incomplete);
        s.prev = _mm256_setzero_si256();
        s.incomplete = _mm256_setzero_si256();
        return;
    }
    const __m256i border = _mm256_permute2x128_si256(s.prev, in, 0x21);
    const __m256i prev1 = _mm256_alignr_epi8(in, border, 15);
    const __m256i kinds = _mm256_and_si256(
        _mm256_and_si256(_mm256_shuffle_epi8(first_high, _mm256_and_si256(_mm256_srli_epi16(prev1, 4), nibble)),
                         _mm256_shuffle_epi8(first_low, _mm256_and_si256(prev1, nibble))),
        _mm256_shuffle_epi8(second_high, _mm256_and_si256(_mm256_srli_epi16(in, 4), nibble)));
    const __m256i prev2 = _mm256_alignr_epi8(in, border, 14);
    const __m256i prev3 = _mm256_alignr_epi8(in, border, 13);
    // Bit 7 set where a lead byte two places back (E0..FF) or three places
    // back (F0..FF) wants this byte to be a continuation.
    const __m256i due = _mm256_and_si256(_mm256_or_si256(_mm256_subs_epu8(prev2, _mm256_set1_epi8(0x60)),
                                                         _mm256_subs_epu8(prev3, _mm256_set1_epi8(0x70))),
                                         _mm256_set1_epi8(static_cast<char>(0x80)));
    s.error = _mm256_or_si256(s.error, _mm256_xor_si256(kinds, due));
    // Any of the last three bytes starting a sequence longer than what is left.
    const __m256i limits = _mm256_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
                                            -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, static_cast<char>(0xEF),
                                            static_cast<char>(0xDF), static_cast<char>(0xBF));
    s.incomplete = _mm256_subs_epu8(in, limits);
    s.prev = in;
}

[[gnu::target("avx2")]] int valid_avx2(const std::uint8_t* p, const std::uint8_t* end) {
    const __m256i first_high = table(tables.first_high), first_low = table(tables.first_low),
                  second_high = table(tables.second_high);
    State s{_mm256_setzero_si256(), _mm256_setzero_si256(), _mm256_setzero_si256()};
    // ASCII is the common case: whole 64-byte lines of it cost one test.
    while (end - p >= 64) {
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
        const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32));
        if (_mm256_movemask_epi8(_mm256_or_si256(a, b)) == 0) {
            s.error = _mm256_or_si256(s.error, s.incomplete);
            s.prev = _mm256_setzero_si256();
            s.incomplete = _mm256_setzero_si256();
        } else {
            check_block(s, a, first_high, first_low, second_high);
            check_block(s, b, first_high, first_low, second_high);
        }
        p += 64;
    }
    // The rest, zero-padded: the zero after a cut-off sequence exposes it,
    // and a full block of zeros after an exact multiple of 32 does the same.
    while (true) {
        alignas(32) std::uint8_t last[32] = {};
        const std::size_t n = static_cast<std::size_t>(end - p) < 32 ? static_cast<std::size_t>(end - p) : 32;
        std::memcpy(last, p, n);
        check_block(s, _mm256_load_si256(reinterpret_cast<const __m256i*>(last)), first_high, first_low,
                    second_high);
        p += n;
        if (n < 32) break;
    }
    s.error = _mm256_or_si256(s.error, s.incomplete);
    return _mm256_testz_si256(s.error, s.error);
}

}  // namespace lookup

using Validator = int (*)(const std::uint8_t*, const std::uint8_t*);

Validator pick_validator() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") ? lookup::valid_avx2 : valid_scalar;
}

#else

using Validator = int (*)(const std::uint8_t*, const std::uint8_t*);

Validator pick_validator() { return valid_scalar; }

#endif

}  // namespace

int utf8_is_valid(const char* text) {
    if (text == nullptr) return 0;
    static const Validator validate = pick_validator();
    const auto* p = reinterpret_cast<const std::uint8_t*>(text);
    return validate(p, p + std::strlen(text));
}
