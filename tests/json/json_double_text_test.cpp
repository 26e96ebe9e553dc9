// Doubles are written as printf's "%.17g" writes them (in the C locale): the writer's own
// conversion against snprintf over values of every magnitude, random bit patterns, decimals as
// people write them, halfway cases and the edges of the fixed and exponent forms. Integers are
// written as their decimal digits, checked against the standard conversion.

#include <gtest/gtest.h>

#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "json/detail/JsonDoubleText.h"

namespace {

std::string ours(double value) {
    char text[json::detail::JsonNumberTextRoom];
    return std::string(text, json::detail::jsonWriteDouble17(text, value));
}

std::string printfs(double value) {
    char text[40];
    std::snprintf(text, sizeof text, "%.17g", value);
    return text;
}

TEST(JsonDoubleText, AsPrintfWritesThem) {
    const double edges[] = {0.0, -0.0, 1.0, -1.0, 0.1, 0.5, 2.5, 1e16, 1e17, 9.9999999999999999e16,
                            99999999999999999.0, 1e21, 1e22, 1e23, 1e-4, 1e-5, 9.99999999999999999e-5,
                            0.00012345678901234567, 123456789012345678.0, 1.5e-7, 5e-324, 2.2250738585072014e-308,
                            DBL_MAX, -DBL_MAX, DBL_MIN, DBL_EPSILON, 4503599627370496.5, 9007199254740993.0,
                            1.2345678901234567e300, 1.2345678901234567e-300, 0.30000000000000004, 123.456e-200};
    for (double value : edges) EXPECT_EQ(ours(value), printfs(value)) << printfs(value);

    std::mt19937_64 random(7);
    int differ = 0;
    for (int i = 0; i < 200000 && differ < 10; ++i) {
        double value;
        switch (i % 4) {
        case 0: {  // any finite bit pattern
            uint64_t bits = random();
            std::memcpy(&value, &bits, sizeof value);
            if (!std::isfinite(value)) continue;
            break;
        }
        case 1:  // decimals of a few digits, as documents hold them
            value = static_cast<double>(random() % 10000000) / std::pow(10.0, static_cast<double>(random() % 12));
            break;
        case 2:  // integers and values near powers of ten
            value = std::ldexp(static_cast<double>(random() >> 11), static_cast<int>(random() % 140) - 70);
            break;
        default: {  // decimals with an exponent of any size, as a reader gets them from text
            const std::string text = std::to_string(random() % 1000) + "." + std::to_string(random() % 1000000) + "e" +
                                     std::to_string(static_cast<int>(random() % 616) - 308);
            value = std::strtod(text.c_str(), nullptr);
            break;
        }
        }
        if (ours(value) != printfs(value)) {
            ++differ;
            ADD_FAILURE() << printfs(value) << " written as " << ours(value);
        }
    }
}

TEST(JsonDoubleText, PowersOfTenAndTheirNeighboursAsPrintfWritesThem) {
    // The double nearest 10^k lies a little above or below it, and its neighbours some units in
    // the last place either side: at a power of ten the digits change length and the exponent by
    // one, and the writer's guess of the exponent (from powers of ten taken a little high) must
    // never come out one too high there.
    int differ = 0;
    for (int k = -323; k <= 308 && differ < 10; ++k) {
        const double power = std::strtod(("1e" + std::to_string(k)).c_str(), nullptr);
        double below = power, above = power;
        for (int step = 0; step <= 64; ++step) {
            for (const double value : {below, above, -below, -above}) {
                if (value == 0.0 || ours(value) == printfs(value)) continue;
                ++differ;
                ADD_FAILURE() << "10^" << k << ": " << printfs(value) << " written as " << ours(value);
            }
            below = std::nextafter(below, 0.0);
            above = std::nextafter(above, HUGE_VAL);
        }
    }
}

TEST(JsonIntegerText, AsTheirDecimalDigits) {
    std::vector<uint64_t> values = {0, 1, 9, 10, 99, 100, 9999, 10000, 99999999, 100000000, 100000001,
                                    9999999999999999ULL, 10000000000000000ULL, 10000000000000001ULL, UINT64_MAX};
    for (uint64_t power = 1; power <= UINT64_MAX / 10; power *= 10) {
        values.push_back(power - 1);
        values.push_back(power);
        values.push_back(power + 1);
    }
    std::mt19937_64 random(11);
    for (int i = 0; i < 100000; ++i) values.push_back(random() >> (random() % 64));
    for (uint64_t value : values) {
        char expected[24];
        const char* end = std::to_chars(expected, expected + sizeof expected, value).ptr;
        char text[json::detail::JsonNumberTextRoom];
        const char* written = json::detail::jsonWriteUnsigned(text, value);
        ASSERT_EQ(std::string(static_cast<const char*>(text), written), std::string(static_cast<const char*>(expected), end)) << value;
    }
}

}  // namespace
