#pragma once
// The copy that the long work of a row is mostly made of, and the comparison
// that tells whether there is anything to copy.
#include <cstdint>
#include <functional>
#include <string>

namespace moravel {

// Told how far a copy is (bytes copied, bytes in all); answering false
// cancels it.
using CopyReport = std::function<bool(std::uint64_t copied, std::uint64_t total)>;

// Copies the bytes of source into target (made when missing), in large
// chunks, telling report after each one, and flushes them to the disk.
// Carries over the source's attributes and last-write time; not its security
// descriptor, named streams, extended attributes or creation time. Cancelled,
// it stops within one chunk (or right after its flush) and returns false with
// ERROR_REQUEST_ABORTED; the part already written stays, for the caller to
// delete. Runs on the calling thread: whoever must not wait runs it in a Job.
bool copyFileContent(const std::string& source, const std::string& target, const CopyReport& report);

// True when both files exist and have the same bytes.
bool sameContent(const std::string& a, const std::string& b);

}  // namespace moravel
