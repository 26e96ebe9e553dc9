// The programs' command-line options: demo mode, and the options that work only in it.

#include "support/TestFiles.h"
#include "utility/UtilityLaunch.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct OptionsCase {
    const char* name;
    std::vector<std::string> arguments;  // after the program's name; "DIR" is an existing folder
    const ProgramConstants* program;
    bool accepted;
    bool demo;
    bool withFolder;
    bool connectWhenFound;
    const char* reason;  // part of the refusal
};

const OptionsCase kCases[] = {
    {"no options: not demo mode", {}, &kUtilityConstants, true, false, false, false, ""},
    {"demo mode alone", {"--demo"}, &kUtilityConstants, true, true, false, false, ""},
    {"demo mode with its options", {"--demo", "--firmware-folder", "DIR", "--connect-when-found"},
     &kUtilityConstants, true, true, true, true, ""},
    {"options before --demo", {"--connect-when-found", "--firmware-folder", "DIR", "--demo"}, &kUtilityConstants,
     true, true, true, true, ""},
    {"the conversion in demo mode", {"--demo", "--connect-when-found"}, &kConversionConstants, true, true, false,
     true, ""},
    {"a firmware folder outside demo mode", {"--firmware-folder", "DIR"}, &kUtilityConstants, false, false, false,
     false, "only in demo mode"},
    {"pressing Connect outside demo mode", {"--connect-when-found"}, &kUtilityConstants, false, false, false, false,
     "only in demo mode"},
    {"a firmware folder without its value", {"--demo", "--firmware-folder"}, &kUtilityConstants, false, false, false,
     false, "needs a folder"},
    {"a firmware folder that is not there", {"--demo", "--firmware-folder", "DIR/missing"}, &kUtilityConstants, false,
     false, false, false, "is not a folder"},
    {"a firmware folder for the conversion", {"--demo", "--firmware-folder", "DIR"}, &kConversionConstants, false,
     false, false, false, "no firmware window"},
    {"an unknown option", {"--demo", "--serial"}, &kUtilityConstants, false, false, false, false,
     "unknown option --serial"},
};

TEST(LaunchOptions, DemoModeAndTheOptionsThatNeedIt) {
    testsupport::TempDir folder;
    for (const OptionsCase& c : kCases) {
        QStringList arguments{"varnel-utility"};
        for (std::string argument : c.arguments) {
            if (argument.rfind("DIR", 0) == 0) argument.replace(0, 3, folder.path());
            arguments << QString::fromStdString(argument);
        }
        std::string error;
        const auto options = parseLaunchOptions(arguments, *c.program, &error);
        ASSERT_EQ(options.has_value(), c.accepted) << c.name << ": " << error;
        if (!options) {
            EXPECT_NE(error.find(c.reason), std::string::npos) << c.name << ": " << error;
            continue;
        }
        EXPECT_EQ(options->demo, c.demo) << c.name;
        EXPECT_EQ(options->firmwareFolder, c.withFolder ? folder.path() : "") << c.name;
        EXPECT_EQ(options->connectWhenFound, c.connectWhenFound) << c.name;
    }
}

}  // namespace
