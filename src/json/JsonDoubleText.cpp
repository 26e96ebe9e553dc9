// Doubles as "%.17g". A double is turned into its 17 digits with exact integer arithmetic on its
// binary value (the value times a power of ten, rounded once): 128-bit for the usual magnitudes,
// a multiplication by a power of five of several limbs for small ones. The rest (magnitudes of
// 1e39 and more, subnormals) go through the standard library's conversion.

#include "json/detail/JsonDoubleText.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace json::detail {

namespace {

__extension__ typedef unsigned __int128 u128;

constexpr uint64_t kLow17 = 10000000000000000ULL;   // 10^16: the smallest 17-digit number
constexpr uint64_t kHigh17 = 100000000000000000ULL; // 10^17

struct PowersOfTen {
    u128 value[39] = {};
    constexpr PowersOfTen() {
        u128 p = 1;
        for (int i = 0; i < 39; ++i) {
            value[i] = p;
            p *= 10;
        }
    }
};
constexpr PowersOfTen kPowers;

// 10^e as repeated multiplication gets it, made larger by 2^-40 of itself, for guessing a decimal
// exponent: more than the rounding of up to 330 steps (each within 2^-53 of the value) can have
// left it below 10^e, so a normal double at least this is at least 10^e. The guess is then never
// one too high, where 17 digits of 10^16 could be a rounding up from below the power of ten, and
// the digits would be those of the power (1e+24 for the double 9.9999999999999998e+23); one too
// low shows in the digits, which then have 18.
struct PowersOfTenAsDoubles {
    static constexpr int kLow = 330;
    static constexpr int kHigh = 308;
    double value[kLow + kHigh + 1] = {};
    constexpr PowersOfTenAsDoubles() {
        constexpr double kAbove = 1.0 + 0x1p-40;
        double p = 1.0;
        for (int e = 0; e <= kHigh; ++e) {
            value[e + kLow] = p * kAbove;
            if (e < kHigh) p *= 10.0;
        }
        p = 1.0;
        for (int e = 0; e >= -kLow; --e) {
            value[e + kLow] = p * kAbove;
            if (e > -kLow) p /= 10.0;
        }
    }
    constexpr double at(int e) const { return e < -kLow ? 0.0 : e > kHigh ? HUGE_VAL : value[e + kLow]; }
};
constexpr PowersOfTenAsDoubles kPowersOfTenAsDoubles;

// n divided by 2^shift (0 < shift < 128), rounded to the nearest, ties to even.
u128 shiftRounded(u128 n, int shift) {
    const u128 quotient = n >> shift;
    const u128 remainder = n & ((u128{1} << shift) - 1);
    const u128 half = u128{1} << (shift - 1);
    if (remainder > half || (remainder == half && (quotient & 1))) return quotient + 1;
    return quotient;
}

// n divided by d, rounded to the nearest, ties to even.
u128 divideRounded(u128 n, u128 d) {
    const u128 quotient = n / d;
    const u128 remainder = n - quotient * d;
    const u128 twice = remainder << 1;  // remainder < d < 2^127: no overflow
    if (twice > d || (twice == d && (quotient & 1))) return quotient + 1;
    return quotient;
}

// The powers of five up to 5^340 (enough to bring the smallest normal double up to 17 digits), as
// little-endian 64-bit limbs.
struct PowersOfFive {
    static constexpr int kLargest = 340;
    static constexpr int kLimbs = 13;  // 5^340 < 2^790
    uint64_t limbs[kLargest + 1][kLimbs] = {};
    int count[kLargest + 1] = {};
    constexpr PowersOfFive() {
        uint64_t current[kLimbs] = {1};
        int used = 1;
        for (int q = 0; q <= kLargest; ++q) {
            for (int i = 0; i < kLimbs; ++i) limbs[q][i] = current[i];
            count[q] = used;
            uint64_t carry = 0;
            for (int i = 0; i < used; ++i) {
                const u128 product = u128{current[i]} * 5 + carry;
                current[i] = static_cast<uint64_t>(product);
                carry = static_cast<uint64_t>(product >> 64);
            }
            if (carry && used < kLimbs) current[used++] = carry;
        }
    }
};
constexpr PowersOfFive kPowersOfFive;

// The leading 128 bits of each of those powers (5^q = top * 2^shift + a rest below 2^shift; the
// top's highest bit set), taken from the exact limbs when compiling.
struct LeadingBitsOfFive {
    u128 top[PowersOfFive::kLargest + 1] = {};
    int shift[PowersOfFive::kLargest + 1] = {};
    constexpr LeadingBitsOfFive() {
        for (int q = 0; q <= PowersOfFive::kLargest; ++q) {
            const uint64_t* limbs = kPowersOfFive.limbs[q];
            const int count = kPowersOfFive.count[q];
            int bits = 64 * (count - 1);
            for (uint64_t high = limbs[count - 1]; high; high >>= 1) ++bits;
            shift[q] = bits - 128;
            // Bits [shift, shift + 128) of the exact value (shifted up when it has fewer).
            u128 value = 0;
            for (int bit = bits - 1; bit >= 0 && bit >= bits - 128; --bit) {
                value = (value << 1) | ((limbs[bit / 64] >> (bit % 64)) & 1);
            }
            if (bits < 128) value <<= (128 - bits);
            top[q] = value;
        }
    }
};
constexpr LeadingBitsOfFive kLeadingBitsOfFive;

// m * 5^q / 2^shift rounded to the nearest from the leading 128 bits of 5^q alone: exact unless
// the bits the approximation leaves out could move the result across a rounding boundary (or an
// exact tie is possible), which the answer false leaves to the exact arithmetic.
bool scaledFromLeadingBits(uint64_t m, int q, int shift, u128* result) {
    const u128 top = kLeadingBitsOfFive.top[q];
    // m * 5^q = m * top * 2^t + m * rest, rest < 2^t: with k = shift - t, the wanted value is
    // (X + d) / 2^k for X = m * top and some 0 <= d < m < 2^53.
    const int k = shift - kLeadingBitsOfFive.shift[q];
    if (k <= 64 || k > 126) return false;
    const u128 low = u128{m} * static_cast<uint64_t>(top);
    const u128 high = u128{m} * static_cast<uint64_t>(top >> 64) + (low >> 64);
    // X = high * 2^64 + (low mod 2^64), of at most 181 bits.
    const u128 quotient = high >> (k - 64);
    const u128 below = ((high << 64) | static_cast<uint64_t>(low)) & ((u128{1} << k) - 1);
    const u128 half = u128{1} << (k - 1);
    const u128 slack = u128{1} << 53;
    if (below + slack < half) {
        *result = quotient;
        return true;
    }
    if (below > half && below + slack < (u128{1} << k)) {
        *result = quotient + 1;
        return true;
    }
    return false;
}

// m * 5^q / 2^shift rounded to the nearest (ties to even), for the large q that small doubles
// need; false when the quotient would not fit 64 bits.
bool scaledLarge(uint64_t m, int q, int shift, u128* result) {
    const uint64_t* five = kPowersOfFive.limbs[q];
    const int count = kPowersOfFive.count[q];
    uint64_t n[PowersOfFive::kLimbs + 1];
    uint64_t carry = 0;
    for (int i = 0; i < count; ++i) {
        const u128 product = u128{five[i]} * m + carry;
        n[i] = static_cast<uint64_t>(product);
        carry = static_cast<uint64_t>(product >> 64);
    }
    n[count] = carry;
    const int limbs = count + 1;
    // The quotient: the bits from shift up, which must lie within two limbs.
    const int low = shift / 64;
    const int offset = shift % 64;
    if (low >= limbs) return false;
    auto limbAt = [&](int i) -> uint64_t { return i < limbs ? n[i] : 0; };
    u128 quotient = (u128{limbAt(low + 1)} << 64 | limbAt(low)) >> offset;
    if (offset) quotient |= u128{limbAt(low + 2)} << (128 - offset);
    for (int i = low + 3; i < limbs; ++i) {
        if (n[i]) return false;
    }
    if (offset == 0 ? limbAt(low + 2) != 0 : (limbAt(low + 2) >> offset) != 0) return false;
    // The remainder against one half: the bit below the quotient, and whether any bit under it is
    // set.
    const int halfBit = shift - 1;
    const bool half = (n[halfBit / 64] >> (halfBit % 64)) & 1;
    bool below = (n[halfBit / 64] & ((uint64_t{1} << (halfBit % 64)) - 1)) != 0;
    for (int i = 0; i < halfBit / 64 && !below; ++i) below = n[i] != 0;
    if (half && (below || (quotient & 1))) ++quotient;
    *result = quotient;
    return true;
}

// The value m * 2^e2 times 10^q, rounded to an integer; false when it does not fit the arithmetic.
bool scaled(uint64_t m, int e2, int q, u128* result) {
    if (q >= 0) {
        if (q > 22) {
            // m * 10^q = m * 5^q * 2^q: the powers of two join e2.
            if (q > PowersOfFive::kLargest || q + e2 >= 0) return false;
            return scaledFromLeadingBits(m, q, -(q + e2), result) || scaledLarge(m, q, -(q + e2), result);
        }
        const u128 n = u128{m} * kPowers.value[q];
        if (e2 >= 0) {
            if (e2 > 127 - 53 - 74) return false;
            *result = n << e2;
            return true;
        }
        if (-e2 >= 128) return false;
        *result = shiftRounded(n, -e2);
        return true;
    }
    if (e2 < 0 || e2 > 127 - 53 || -q > 38) return false;
    *result = divideRounded(u128{m} << e2, kPowers.value[-q]);
    return true;
}

// The 17 digits and the decimal exponent of a positive normal double, or false.
bool digits17(double value, uint64_t* digits, int* exponent) {
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    const int biased = static_cast<int>((bits >> 52) & 0x7FF);
    if (biased == 0) return false;  // subnormal
    const uint64_t m = (bits & ((uint64_t{1} << 52) - 1)) | (uint64_t{1} << 52);
    const int e2 = biased - 1075;
    // value lies in [2^(e2+52), 2^(e2+53)): its decimal exponent is this or one more, which a
    // comparison with that power of ten (a little above it as a double) tells; a guess one too low,
    // for a value just above the power, is put right below.
    int e10 = ((e2 + 52) * 78913) >> 18;  // floor((e2 + 52) * log10(2)) over the exponents of doubles
    if (value >= kPowersOfTenAsDoubles.at(e10 + 1)) ++e10;
    for (int attempt = 0; attempt < 3; ++attempt) {
        u128 d;
        if (!scaled(m, e2, 16 - e10, &d)) return false;
        if (d < kLow17) {
            --e10;
        } else if (d > kHigh17) {
            ++e10;
        } else if (d == kHigh17) {
            // Rounded up to the next power of ten: 1 followed by sixteen zeros, one place up. (A
            // value whose 17 digits at this exponent are 10^17 exactly rounds to 10^16 at the next.)
            *digits = kLow17;
            *exponent = e10 + 1;
            return true;
        } else {
            *digits = static_cast<uint64_t>(d);
            *exponent = e10;
            return true;
        }
    }
    return false;
}

}  // namespace

namespace {

// The eight decimal digits of n (below 10^8) as byte values 0-9, the first digit in the lowest
// byte: the number is split into two halves of four digits, each half into two pairs, each pair
// into two digits, all lanes of a step at once in one 64-bit word (each step divides by a
// multiplication and a shift, exact for the lane values it meets).
inline uint64_t eightDigitValues(uint32_t n) {
    const uint64_t halves = (n / 10000) | (uint64_t{n % 10000} << 32);
    const uint64_t hundreds = ((halves * 5243) >> 19) & 0x0000007F0000007FULL;
    const uint64_t pairs = hundreds | ((halves - hundreds * 100) << 16);
    const uint64_t tens = ((pairs * 103) >> 10) & 0x000F000F000F000FULL;
    return tens | ((pairs - tens * 10) << 8);
}

constexpr uint64_t kZeros = 0x3030303030303030ULL;  // "00000000"

inline void store8(char* out, uint64_t word) { std::memcpy(out, &word, 8); }

// Writes the digits of n (below 10^8, not 0) without leading zeros.
inline char* writeUpTo8(char* out, uint32_t n) {
    const uint64_t values = eightDigitValues(n);
    // The leading zeros are the low bytes that are 0.
    const int skipped = __builtin_ctzll(values) / 8;
    store8(out, (values + kZeros) >> (8 * skipped));
    return out + 8 - skipped;
}

}  // namespace

char* jsonWriteUnsigned(char* out, uint64_t n) {
    if (n < 100000000) {
        if (n == 0) {
            *out = '0';
            return out + 1;
        }
        return writeUpTo8(out, static_cast<uint32_t>(n));
    }
    const auto low = static_cast<uint32_t>(n % 100000000);
    n /= 100000000;
    if (n < 100000000) {
        out = writeUpTo8(out, static_cast<uint32_t>(n));
    } else {
        out = writeUpTo8(out, static_cast<uint32_t>(n / 100000000));
        store8(out, eightDigitValues(static_cast<uint32_t>(n % 100000000)) + kZeros);
        out += 8;
    }
    store8(out, eightDigitValues(low) + kZeros);
    return out + 8;
}

char* jsonWriteDouble17(char* out, double value) {
    uint64_t digits;
    int exponent;
    const double magnitude = std::fabs(value);
    if (magnitude == 0 || !digits17(magnitude, &digits, &exponent)) {
        return std::to_chars(out, out + 32, value, std::chars_format::general, 17).ptr;
    }
    if (std::signbit(value)) *out++ = '-';
    // The 17 digits: one, then two runs of eight; text has room for the fixed-size copies below.
    char text[40];
    const auto high = static_cast<uint32_t>(digits / 100000000);  // nine digits
    const uint64_t middle = eightDigitValues(high % 100000000);
    const uint64_t low = eightDigitValues(static_cast<uint32_t>(digits % 100000000));
    text[0] = static_cast<char>('0' + high / 100000000);
    store8(text + 1, middle + kZeros);
    store8(text + 9, low + kZeros);
    std::memset(text + 17, '0', sizeof text - 17);
    // The last digit kept (trailing zeros go): the highest byte of the runs that is not 0.
    const int last = low != 0      ? 9 + (63 - __builtin_clzll(low)) / 8
                     : middle != 0 ? 1 + (63 - __builtin_clzll(middle)) / 8
                                   : 0;
    // Copies below are of fixed sizes: the caller's room covers what they write past the end.
    if (exponent < -4 || exponent >= 17) {
        out[0] = text[0];
        out[1] = '.';
        std::memcpy(out + 2, text + 1, 16);
        out += last > 0 ? 2 + last : 1;
        *out++ = 'e';
        *out++ = exponent < 0 ? '-' : '+';
        int e = exponent < 0 ? -exponent : exponent;
        if (e >= 100) {
            *out++ = static_cast<char>('0' + e / 100);
            e %= 100;
        }
        *out++ = static_cast<char>('0' + e / 10);
        *out++ = static_cast<char>('0' + e % 10);
        return out;
    }
    if (exponent < 0) {
        // 0. and up to three zeros before the digits.
        std::memcpy(out, "0.000", 5);
        out += 1 - exponent;
        std::memcpy(out, text, 17);
        return out + last + 1;
    }
    std::memcpy(out, text, 17);
    out += exponent + 1;
    if (last > exponent) {
        *out = '.';
        std::memcpy(out + 1, text + exponent + 1, 16);
        out += 1 + last - exponent;
    }
    return out;
}

}  // namespace json::detail
