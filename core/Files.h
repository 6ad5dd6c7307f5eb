#pragma once
#include <string>

namespace moravel {

// True when a file (not a directory) exists at the path.
bool fileExists(const std::string& path);
bool isReadOnly(const std::string& path);

// The system's text for an error code, without its closing period and line
// break ("Access denied"), or "error N" when the system has none.
std::string systemErrorText(unsigned long error);

// A scratch file beside a target, where new content is finished before it
// takes the target's place. Its name is fresh, in the target's folder, and no
// longer than the target's own name, so every path the target can have, the
// scratch file can have too. It is always a file this object created (never
// one that was already there), and it is deleted again unless commit() puts it
// in the target's place: whatever fails, nothing of ours is left behind.
class ScratchFile {
public:
    explicit ScratchFile(std::string target);
    ~ScratchFile();
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;

    // Makes the scratch file, empty or as a copy of source. False on failure,
    // with nothing left.
    bool createEmpty();
    bool copyFrom(const std::string& source);

    // Puts the finished scratch file in the target's place. False when that is
    // refused: the target is then as it was.
    bool commit();

    const std::string& path() const noexcept { return path_; }

private:
    bool replaceTarget();
    bool writeOverTarget();
    void discard() noexcept;

    std::string target_;
    std::string path_;
};

// Copies source over target, creating it when missing. The target ends up
// with either all of the new bytes or all of its old ones, never a part, and
// no scratch file is left in its folder.
bool replaceFile(const std::string& source, const std::string& target);

}  // namespace moravel
