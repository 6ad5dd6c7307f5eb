#pragma once
#include <string>

namespace moravel {

class CopyProgress;
class TFileObject;

// The file version from the file's version resource as four unsigned numbers,
// "1.2.0.15"; "0.0.0.0" when it has none or it cannot be read.
std::string GetFileVersionText(const std::string& path);

// Where the version backup of a destination goes: its directory part (up to
// the last backslash or colon), its name without the last extension, "-",
// the version, then that extension.
std::string versionBackupPath(const std::string& destination, const std::string& version);

// Copies the project's source to the backup path of its destination,
// replacing an older backup. Returns the log line for it, timestamp first.
std::string makeVersionBackup(const TFileObject& project, const std::string& version,
                              CopyProgress* progress = nullptr);

}  // namespace moravel
