#pragma once
// The channel between the instance of a settings file and later starts: a
// named pipe that only the same user may open, from any session of that user
// (a service, ssh or remoting session reaches the desktop's instance), and
// not from below medium integrity (a sandboxed process is refused, a build
// step that is not elevated reaches an elevated instance). Remote clients are
// refused. One message a request, one message each answer.
#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/Handle.h"

namespace moravel {

class Job;

// "\\.\pipe\" and the instance key.
std::string pipeName(const std::string& key);

// A request holds at most this many bytes; a longer one is refused unread.
inline constexpr std::size_t kMaxRequestBytes = 64 * 1024;

// The instance's end. A thread of its own accepts clients, reads one request
// from each (a client that says nothing within seconds, or says too much, is
// dropped), hands it to the owner and writes what the owner answers; a
// client may stay connected for a stream of answers. The owner is told by
// `news`, called on that thread: it must only post a message.
class PipeServer {
public:
    struct Request {
        std::uint64_t client = 0;
        std::string bytes;  // empty: a client whose request the owner has went away
    };

    // Raises when the pipe cannot be made.
    PipeServer(const std::string& name, std::function<void()> news);
    // Every client is let go; the thread has ended when this returns.
    ~PipeServer();
    PipeServer(const PipeServer&) = delete;
    PipeServer& operator=(const PipeServer&) = delete;

    std::vector<Request> takeRequests();
    // A message for a client; with `last`, its connection ends once the
    // client has read it. An empty last message ends it without a word.
    void send(std::uint64_t client, std::string message, bool last);
    // From now on every request gets this answer, and so does every one the
    // owner has not answered yet; the connection then ends. The thread
    // answers by itself: the owner need not run any more.
    void refuse(std::string answer);

    struct Shared;  // what the thread shares with the owner

private:
    std::shared_ptr<Shared> shared_;
    std::shared_ptr<Job> job_;
};

// A later start's end.
class PipeClient {
public:
    PipeClient();
    enum class Open {
        Opened,
        Absent,  // no pipe of that name: no instance has made it
        Again,   // every instance of the pipe is busy, or it refused us: try again soon
    };
    // A pipe made by another user is not ours to talk to: Again.
    Open open(const std::string& name);
    // False when the pipe broke or the time is up (a tick count).
    bool write(const std::string& message, ULONGLONG deadline);
    // The next message; nothing when the pipe broke or the time is up.
    std::optional<std::string> read(ULONGLONG deadline);
    // The process at the other end; 0 when unknown.
    DWORD serverProcess() const noexcept;
    void close() noexcept { pipe_.reset(); }

private:
    OVERLAPPED* start();
    bool finish(BOOL started, DWORD& bytes, bool& more, ULONGLONG deadline);

    UniqueFile pipe_;
    UniqueHandle event_;
    OVERLAPPED overlapped_ = {};
};

}  // namespace moravel
