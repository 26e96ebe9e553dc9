#pragma once
// Where the program's resources (firmware manifest and images in "lib", pictures) are found:
// <folder of the executable>/../share/varnel when installed, else the source tree's resources/.

#include <string>

namespace platform {

std::string resourcesFolder();

// Overrides the folder for this process (tests); an empty path restores the default.
void setResourcesFolder(const std::string& path);

}  // namespace platform
