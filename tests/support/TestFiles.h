#pragma once
// Files for tests: a fresh temporary folder removed with its contents, and whole-file reads and
// writes.

#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

// A fresh folder under the system's temporary folder, removed with its contents at the end.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    // The path of an entry inside the folder.
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// The whole file's bytes; empty when it cannot be read.
std::vector<uint8_t> readFile(const std::string& path);
// The whole file as text; empty when it cannot be read.
std::string readTextFile(const std::string& path);
// Writes the bytes as the whole file, making the folders above it first.
void writeFile(const std::string& path, const std::vector<uint8_t>& bytes);

}  // namespace testsupport
