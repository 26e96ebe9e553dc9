// The public conformance cases: y_ accepted, n_ rejected, i_ either way without a crash, except
// the cases this reader rejects on purpose (listed with their reasons).

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>

#include "JsonTestSupport.h"

namespace {

// Set by the build from VARNEL_JSON_CONFORMANCE_DIR; this file is only built when the folder exists.
const std::filesystem::path kCases = VARNEL_JSON_CONFORMANCE_CASES;

// y_ cases rejected on purpose.
const std::set<std::string> kRejectedOnPurpose = {
    // A document must be an array or an object at the top.
    "y_structure_lonely_false.json",
    "y_structure_lonely_int.json",
    "y_structure_lonely_negative_real.json",
    "y_structure_lonely_null.json",
    "y_structure_lonely_string.json",
    "y_structure_lonely_true.json",
    "y_structure_string_empty.json",
    "y_string_space.json",
    // The escape \u0000 is refused: the code point zero is not a valid string character here.
    "y_string_null_escape.json",
    "y_object_escaped_null_in_key.json",
    // Noncharacters (U+FDD0-U+FDEF and every U+xFFFE/U+xFFFF), raw or escaped, are refused.
    "y_string_escaped_noncharacter.json",
    "y_string_last_surrogates_1_and_2.json",
    "y_string_nonCharacterInUTF-8_U+10FFFF.json",
    "y_string_nonCharacterInUTF-8_U+FFFF.json",
    "y_string_unicode_U+10FFFE_nonchar.json",
    "y_string_unicode_U+1FFFE_nonchar.json",
    "y_string_unicode_U+FDD0_nonchar.json",
    "y_string_unicode_U+FFFE_nonchar.json",
};

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(JsonConformance, VerdictsMatchTheCaseNames) {
    ASSERT_TRUE(std::filesystem::is_directory(kCases)) << kCases;
    int checked = 0;
    std::set<std::string> seenOnPurpose;
    for (const auto& entry : std::filesystem::directory_iterator(kCases)) {
        const std::string name = entry.path().filename().string();
        if (entry.path().extension() != ".json") continue;
        const std::string text = readFile(entry.path());
        platform::Error error;
        const JsonValue value = objectFromJSONStringWithParseOptions(text, 0, &error);
        ++checked;
        if (!value) {
            EXPECT_EQ(error.domain, "JsonErrorDomain") << name;
            EXPECT_EQ(error.code, -1) << name;
            EXPECT_FALSE(error.description.empty()) << name;
        }
        if (name.starts_with("n_")) {
            EXPECT_FALSE(value) << name << " was accepted: " << value.description();
        } else if (name.starts_with("y_")) {
            if (kRejectedOnPurpose.count(name)) {
                seenOnPurpose.insert(name);
                EXPECT_FALSE(value) << name << " is listed as rejected on purpose";
            } else {
                EXPECT_TRUE(value) << name << ": " << error.description;
            }
        }
    }
    EXPECT_GT(checked, 300);
    EXPECT_EQ(seenOnPurpose.size(), kRejectedOnPurpose.size()) << "a listed case is missing from the folder";
}

}  // namespace
