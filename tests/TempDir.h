#pragma once
#include <string>
#include <vector>

namespace moravel::test {

// A fresh folder under the system's temporary folder (or under base), removed
// with everything in it when the object goes. Paths are absolute Windows paths.
class TempDir {
public:
    explicit TempDir(const std::string& base = {});
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "\\" + name; }

private:
    std::string path_;
};

// The folder of a disk of about 1 MiB that ctest mounts (as root) for the
// tests of a full disk, named by MORAVEL_SMALL_DISK; empty when there is none.
std::string smallDisk();

// The names of the files (not folders) in a folder, sorted.
std::vector<std::string> filesIn(const std::string& folder);

void writeFile(const std::string& path, const std::string& content);
std::string readFile(const std::string& path);  // throws when it cannot
bool exists(const std::string& path);
void setReadOnly(const std::string& path, bool readOnly);

// Changes the working directory for the life of the object.
class CurrentDirectory {
public:
    explicit CurrentDirectory(const std::string& path);
    ~CurrentDirectory();
    CurrentDirectory(const CurrentDirectory&) = delete;
    CurrentDirectory& operator=(const CurrentDirectory&) = delete;

private:
    std::string previous_;
};

}  // namespace moravel::test
