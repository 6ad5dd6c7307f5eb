#pragma once
#include <string>

namespace moravel {

// A project: copy Source over Destination, and optionally keep a copy named
// after the source's version beside the destination. Paths are kept exactly
// as the user typed or picked them; relative ones resolve against the
// working directory at the moment they are used.
class TFileObject {
public:
    TFileObject(std::string source, std::string destination)
        : Source(std::move(source)), Destination(std::move(destination)) {}

    std::string Source;
    std::string Destination;
    bool VersionBackup = false;
    // Options added after the first release. A settings file without their
    // keys reads them as off, and they are written only while on, so files
    // of projects that never use them stay as they were.
    bool ReplaceInUse = false;   // rename a busy destination aside and put the new file in its place
    bool QueueOnChange = false;  // queue the project when its source file changes
    bool RestartHolder = false;  // stop what holds a busy destination, replace it, start it again
    bool ForceClose = false;     // with RestartHolder: end a program that does not close when asked
    bool TryWhenFree = false;    // try a busy row as soon as its holders have ended, not at the next tick
    bool AtRestart = false;      // a destination nothing else frees is replaced at the next restart
    // The set it is deployed with, all or nothing (empty: none). Projects
    // whose set names are equal, letter case ignored, are one release.
    std::string Set;
};

}  // namespace moravel
