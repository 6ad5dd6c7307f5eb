#pragma once
#include <string>

namespace moravel {

// True when a file (not a directory) exists at the path.
bool fileExists(const std::string& path);
bool isReadOnly(const std::string& path);

// A scratch file beside a target, used to replace the target in one step:
// fill the scratch file, then commit() moves it over the target. Until then
// the target is untouched; a scratch file not committed is deleted.
class SiblingTemp {
public:
    explicit SiblingTemp(std::string target);
    ~SiblingTemp();
    SiblingTemp(const SiblingTemp&) = delete;
    SiblingTemp& operator=(const SiblingTemp&) = delete;

    // Creates the scratch file as a copy of source, or empty. False on failure.
    bool copyFrom(const std::string& source);
    bool createEmpty();

    // Moves the scratch file over the target, written through to the disk.
    bool commit();

    const std::string& path() const noexcept { return path_; }

private:
    template <class Create>
    bool create(Create&& attempt);
    void discard() noexcept;

    std::string target_;
    std::string path_;
};

// Copies source over destination without ever leaving a half-written
// destination: the copy goes to a scratch file beside it first.
bool copyFileSafely(const std::string& source, const std::string& destination);

}  // namespace moravel
