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
};

}  // namespace moravel
