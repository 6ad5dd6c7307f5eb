#include "ui/Pipe.h"

#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <deque>
#include <mutex>

#include "core/AppError.h"
#include "core/Job.h"

namespace moravel {

namespace {

using UniqueLocal = Unique<NullTraits<void*, LocalFree>>;

constexpr std::size_t kMaxClients = 30;            // two events each, within the 64 handles of one wait
constexpr ULONGLONG kRequestMilliseconds = 5000;   // a client says what it wants within this
constexpr ULONGLONG kGoodbyeMilliseconds = 5000;   // and takes its last answer within this
constexpr DWORD kBufferBytes = 64 * 1024;

// The user this process runs as, elevated or not.
std::vector<BYTE> currentUserSid() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) throw AppError("Cannot read who runs Moravel");
    const UniqueHandle owned(token);
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<BYTE> user(size);
    if (size == 0 || !GetTokenInformation(token, TokenUser, user.data(), size, &size))
        throw AppError("Cannot read who runs Moravel");
    const PSID sid = reinterpret_cast<const TOKEN_USER*>(user.data())->User.Sid;
    std::vector<BYTE> copy(GetLengthSid(sid));
    CopySid(static_cast<DWORD>(copy.size()), copy.data(), sid);
    return copy;
}

// Owned by the user and open to the user alone (no inherited entries), with
// a label that refuses writes (a client must write) from below medium.
UniqueLocal pipeSecurity() {
    std::vector<BYTE> sid = currentUserSid();
    char* text = nullptr;
    if (!ConvertSidToStringSidA(sid.data(), &text)) throw AppError("Cannot read who runs Moravel");
    const UniqueLocal ownedText(text);
    const std::string user = text;
    const std::string sddl = "O:" + user + "D:P(A;;GA;;;" + user + ")S:(ML;;NW;;;ME)";
    void* descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl.c_str(), SDDL_REVISION_1, &descriptor, nullptr))
        throw AppError("Cannot make the channel's security settings");
    return UniqueLocal(descriptor);
}

HANDLE makePipe(const std::string& name, void* security, bool first) {
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, security, FALSE};
    return CreateNamedPipeA(name.c_str(),
                            PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0),
                            PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
                            PIPE_UNLIMITED_INSTANCES, kBufferBytes, kBufferBytes, 0, &attributes);
}

// A pipe that another user made under our name is not our instance.
bool madeByUs(HANDLE pipe) {
    PSID owner = nullptr;
    void* descriptor = nullptr;
    if (GetSecurityInfo(pipe, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                        &descriptor) != ERROR_SUCCESS)
        return false;
    const UniqueLocal owned(descriptor);
    std::vector<BYTE> us = currentUserSid();
    return owner && EqualSid(owner, us.data());
}

// One overlapped operation and its event.
struct Operation {
    OVERLAPPED overlapped = {};
    UniqueHandle event{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    bool busy = false;

    OVERLAPPED* start() {
        overlapped = {};
        overlapped.hEvent = event.get();
        return &overlapped;
    }
    // After ReadFile, WriteFile or ConnectNamedPipe: false when it failed at once.
    bool started(BOOL result) {
        const DWORD error = result ? 0 : GetLastError();
        busy = result || error == ERROR_IO_PENDING || error == ERROR_MORE_DATA;
        return busy;
    }
    bool done() const noexcept { return busy && HasOverlappedIoCompleted(&overlapped); }
};

struct Client {
    enum class State { Request, Answer, Goodbye };
    std::uint64_t id = 0;
    UniqueFile pipe;
    Operation reading, writing;
    std::string in, writingNow;
    std::deque<std::string> out;
    State state = State::Request;
    bool told = false;      // the owner has its request
    bool lastQueued = false;
    bool ended = false;     // to be let go
    ULONGLONG deadline = 0;

    // Waits for what is under way to stop before the buffers and the handle go.
    ~Client() {
        if (!pipe) return;
        if (reading.busy || writing.busy) CancelIo(pipe.get());
        DWORD ignored = 0;
        if (reading.busy) GetOverlappedResult(pipe.get(), &reading.overlapped, &ignored, TRUE);
        if (writing.busy) GetOverlappedResult(pipe.get(), &writing.overlapped, &ignored, TRUE);
    }
};

struct Outgoing {
    std::uint64_t client;
    std::string message;
    bool last;
};

}  // namespace

struct PipeServer::Shared {
    std::string name;
    UniqueLocal security;
    UniqueFile firstPipe;
    UniqueHandle wake{CreateEventA(nullptr, FALSE, FALSE, nullptr)};
    std::function<void()> news;

    std::mutex mutex;  // guards what follows
    std::deque<Request> requests;
    bool newsPosted = false;
    std::deque<Outgoing> outgoing;
    std::optional<std::string> refusal;

    void tell(Request request) {
        {
            const std::lock_guard<std::mutex> lock(mutex);
            requests.push_back(std::move(request));
            if (newsPosted) return;
            newsPosted = true;
        }
        try {
            if (news) news();
        } catch (...) {
            // The owner hears at the next news.
        }
    }
    void serve(const Job& job);
};

namespace {

// The server's side of one client: reads its request, then watches for it
// leaving (any further read ends), and writes what it is sent.
class Clients {
public:
    explicit Clients(PipeServer::Shared& shared) : shared_(shared) {}

    void accepted(UniqueFile pipe, ULONGLONG now) {
        auto client = std::make_unique<Client>();
        client->id = ++lastId_;
        client->pipe = std::move(pipe);
        client->deadline = now + kRequestMilliseconds;
        read(*client, kMaxRequestBytes);
        list_.push_back(std::move(client));
    }

    void post(const Outgoing& outgoing) {
        for (const auto& client : list_)
            if (client->id == outgoing.client && !client->lastQueued) {
                queue(*client, outgoing.message, outgoing.last);
                return;
            }
    }
    void refuseWaiting(const std::string& answer) {
        for (const auto& client : list_)
            if (client->told && !client->lastQueued) queue(*client, answer, true);
    }

    // Takes what has completed and starts what comes next; lets go of the
    // clients that have ended.
    void step(ULONGLONG now, const std::optional<std::string>& refusal) {
        for (const auto& client : list_) {
            Client& c = *client;
            if (c.reading.done()) {
                c.reading.busy = false;
                DWORD bytes = 0;
                const bool whole = GetOverlappedResult(c.pipe.get(), &c.reading.overlapped, &bytes, FALSE);
                if (c.state == Client::State::Request && whole) {
                    request(c, c.in.substr(0, bytes), refusal);
                } else {
                    leave(c);  // gone, or it said more than one request
                }
            }
            if (c.writing.done()) {
                c.writing.busy = false;
                DWORD bytes = 0;
                if (!GetOverlappedResult(c.pipe.get(), &c.writing.overlapped, &bytes, FALSE)) {
                    leave(c);
                } else if (c.out.empty() && c.lastQueued) {
                    c.state = Client::State::Goodbye;
                    c.deadline = now + kGoodbyeMilliseconds;
                }
            }
            if (!c.ended && !c.writing.busy && !c.out.empty()) write(c);
            if (c.deadline != 0 && now >= c.deadline) c.ended = true;
        }
        list_.erase(std::remove_if(list_.begin(), list_.end(), [](const auto& c) { return c->ended; }),
                    list_.end());
    }

    std::size_t count() const noexcept { return list_.size(); }
    void events(std::vector<HANDLE>& handles) const {
        // Only what is under way: a finished operation's event stays set.
        for (const auto& client : list_) {
            if (client->reading.busy) handles.push_back(client->reading.event.get());
            if (client->writing.busy) handles.push_back(client->writing.event.get());
        }
    }
    ULONGLONG nextDeadline() const noexcept {
        ULONGLONG next = 0;
        for (const auto& client : list_)
            if (client->deadline != 0 && (next == 0 || client->deadline < next)) next = client->deadline;
        return next;
    }

private:
    void read(Client& c, std::size_t size) {
        c.in.assign(size, '\0');
        if (!c.reading.started(
                ReadFile(c.pipe.get(), c.in.data(), static_cast<DWORD>(size), nullptr, c.reading.start())))
            leave(c);
    }
    void write(Client& c) {
        c.writingNow = std::move(c.out.front());
        c.out.pop_front();
        if (!c.writing.started(WriteFile(c.pipe.get(), c.writingNow.data(), static_cast<DWORD>(c.writingNow.size()),
                                         nullptr, c.writing.start())))
            leave(c);
    }
    void queue(Client& c, const std::string& message, bool last) {
        c.lastQueued = last;
        if (message.empty() && last) {
            c.ended = true;  // refused: no word, the client asks again
            return;
        }
        c.out.push_back(message);
    }
    void request(Client& c, std::string bytes, const std::optional<std::string>& refusal) {
        c.state = Client::State::Answer;
        c.deadline = 0;
        if (refusal) {
            queue(c, *refusal, true);
        } else if (!bytes.empty()) {
            c.told = true;
            shared_.tell({c.id, std::move(bytes)});
        } else {
            c.ended = true;
            return;
        }
        read(c, 1);  // completes only when the client goes
    }
    void leave(Client& c) {
        if (c.told && !c.lastQueued) shared_.tell({c.id, {}});
        c.ended = true;
    }

    PipeServer::Shared& shared_;
    std::vector<std::unique_ptr<Client>> list_;
    std::uint64_t lastId_ = 0;
};

}  // namespace

void PipeServer::Shared::serve(const Job& job) {
    Clients clients(*this);
    UniqueFile listening = std::move(firstPipe);
    Operation connecting;
    bool listen = true;  // a pipe instance is to be offered
    for (;;) {
        const ULONGLONG now = GetTickCount64();
        if (listen && clients.count() < kMaxClients) {
            if (!listening) listening.reset(makePipe(name, security.get(), false));
            if (listening) {
                listen = false;
                if (!connecting.started(ConnectNamedPipe(listening.get(), connecting.start()))) {
                    // A client that came before we asked (ERROR_PIPE_CONNECTED) is connected already.
                    if (GetLastError() == ERROR_PIPE_CONNECTED) {
                        clients.accepted(std::move(listening), now);
                    } else {
                        listening.reset();
                    }
                    listen = true;
                    continue;
                }
            }
        }
        std::vector<HANDLE> handles = {job.cancelEvent().handle(), wake.get()};
        if (connecting.busy) handles.push_back(connecting.event.get());
        clients.events(handles);
        const ULONGLONG deadline = clients.nextDeadline();
        DWORD timeout = deadline == 0 ? INFINITE : static_cast<DWORD>(deadline > now ? deadline - now : 0);
        if (listen && !listening) timeout = std::min<DWORD>(timeout, 1000);  // no pipe instance to be had: again soon
        if (WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), FALSE, timeout) ==
            WAIT_OBJECT_0)
            break;

        if (connecting.done()) {
            connecting.busy = false;
            DWORD ignored = 0;
            if (GetOverlappedResult(listening.get(), &connecting.overlapped, &ignored, FALSE))
                clients.accepted(std::move(listening), GetTickCount64());
            listening.reset();
            listen = true;
        }
        std::deque<Outgoing> posted;
        std::optional<std::string> refused;
        {
            const std::lock_guard<std::mutex> lock(mutex);
            posted.swap(outgoing);
            refused = refusal;
        }
        for (const Outgoing& message : posted) clients.post(message);
        if (refused) clients.refuseWaiting(*refused);
        clients.step(GetTickCount64(), refused);
    }
    if (connecting.busy) {
        CancelIo(listening.get());
        DWORD ignored = 0;
        GetOverlappedResult(listening.get(), &connecting.overlapped, &ignored, TRUE);
    }
}

std::string pipeName(const std::string& key) { return "\\\\.\\pipe\\" + key; }

PipeServer::PipeServer(const std::string& name, std::function<void()> news) : shared_(std::make_shared<Shared>()) {
    shared_->name = name;
    shared_->news = std::move(news);
    shared_->security = pipeSecurity();
    // Made here, so that a client finds it as soon as we are made.
    shared_->firstPipe.reset(makePipe(name, shared_->security.get(), true));
    if (!shared_->firstPipe || !shared_->wake) throw AppError("Cannot make the channel that takes commands");
    job_ = Job::start([shared = shared_](Job& job) { shared->serve(job); }, nullptr);
}

PipeServer::~PipeServer() {
    job_->cancel();
    job_->waitForEnd(INFINITE);
}

std::vector<PipeServer::Request> PipeServer::takeRequests() {
    const std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->newsPosted = false;
    std::vector<Request> taken(std::make_move_iterator(shared_->requests.begin()),
                               std::make_move_iterator(shared_->requests.end()));
    shared_->requests.clear();
    return taken;
}

void PipeServer::send(std::uint64_t client, std::string message, bool last) {
    {
        const std::lock_guard<std::mutex> lock(shared_->mutex);
        shared_->outgoing.push_back({client, std::move(message), last});
    }
    SetEvent(shared_->wake.get());
}

void PipeServer::refuse(std::string answer) {
    {
        const std::lock_guard<std::mutex> lock(shared_->mutex);
        shared_->refusal = std::move(answer);
    }
    SetEvent(shared_->wake.get());
}

// ---- the client -----------------------------------------------------------------------------

PipeClient::PipeClient() : event_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}

PipeClient::Open PipeClient::open(const std::string& name) {
    pipe_.reset(CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OVERLAPPED, nullptr));
    if (!pipe_) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND) return Open::Absent;
        if (error == ERROR_PIPE_BUSY) WaitNamedPipeA(name.c_str(), 100);
        return Open::Again;
    }
    DWORD mode = PIPE_READMODE_MESSAGE;
    if (!event_ || !madeByUs(pipe_.get()) || !SetNamedPipeHandleState(pipe_.get(), &mode, nullptr, nullptr)) {
        pipe_.reset();
        return Open::Again;
    }
    return Open::Opened;
}

bool PipeClient::finish(BOOL started, DWORD& bytes, bool& more, ULONGLONG deadline) {
    more = false;
    if (!started && GetLastError() != ERROR_IO_PENDING && GetLastError() != ERROR_MORE_DATA) return false;
    const ULONGLONG now = GetTickCount64();
    const DWORD left = deadline == 0 ? INFINITE : static_cast<DWORD>(deadline > now ? deadline - now : 0);
    if (WaitForSingleObject(event_.get(), left) != WAIT_OBJECT_0) {
        CancelIo(pipe_.get());
        GetOverlappedResult(pipe_.get(), &overlapped_, &bytes, TRUE);
        return false;
    }
    if (GetOverlappedResult(pipe_.get(), &overlapped_, &bytes, FALSE)) return true;
    more = GetLastError() == ERROR_MORE_DATA;  // a longer message: the rest comes with the next read
    return more;
}

OVERLAPPED* PipeClient::start() {
    overlapped_ = {};
    overlapped_.hEvent = event_.get();
    return &overlapped_;
}

bool PipeClient::write(const std::string& message, ULONGLONG deadline) {
    DWORD bytes = 0;
    bool more = false;
    return pipe_ &&
           finish(WriteFile(pipe_.get(), message.data(), static_cast<DWORD>(message.size()), nullptr, start()),
                  bytes, more, deadline) &&
           bytes == message.size();
}

std::optional<std::string> PipeClient::read(ULONGLONG deadline) {
    std::string message;
    for (bool more = true; more;) {
        char buffer[4096];
        DWORD bytes = 0;
        if (!pipe_ || !finish(ReadFile(pipe_.get(), buffer, sizeof buffer, nullptr, start()), bytes, more, deadline))
            return std::nullopt;
        message.append(buffer, bytes);
    }
    return message;
}

DWORD PipeClient::serverProcess() const noexcept {
    ULONG process = 0;
    return pipe_ && GetNamedPipeServerProcessId(pipe_.get(), &process) ? process : 0;
}

}  // namespace moravel
