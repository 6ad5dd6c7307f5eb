#pragma once
#include <string>
#include <string_view>
#include <vector>

namespace moravel {

// What the program was asked to do on its command line:
//
//   Moravel.exe [/hide] [/queue NAME [NAME...] [/now]]
//   Moravel.com [/hide] [/queue NAME [NAME...] [/now] [/wait[:SECONDS]]]
//   Moravel.exe /?
//
// Switches take "/" or "-", in any letter case. A quoted argument is always a
// name, so a project called "-old" can still be queued.
struct CommandLine {
    enum class Kind { Start, Help, Malformed };
    Kind kind = Kind::Start;
    std::vector<std::string> queue;  // names to queue; empty without /queue
    bool now = false;                // run a pass once they are queued
    bool hide = false;               // start in the notification area
    bool launched = false;           // started by a /queue that found no running instance
    bool wait = false;               // wait for the named rows to end (the console program only)
    int waitSeconds = 0;             // with wait: at most this long
    std::string problem;             // for Malformed: what is wrong, for the usage text
};

// Splits a command line after the program name the way the C runtime builds
// argv: blanks and tabs separate arguments; double quotes group; 2n
// backslashes before a quote give n and the quote groups, 2n+1 give n and a
// literal quote; inside quotes "" is a literal quote; other backslashes are
// themselves. The program name ends at the first blank, or is quoted whole.
// Trail bytes of double-byte characters are never taken for a backslash.
struct Argument {
    std::string text;
    bool quoted = false;  // some part of it was in double quotes
};
std::vector<Argument> splitCommandLine(std::string_view line);

// The whole command line, program name included (GetCommandLineA).
CommandLine parseCommandLine(std::string_view line);

// A name may be queued when it holds no character below 32: such a name is
// no project, and in the log it could start a line of its own.
bool isQueueableName(std::string_view name) noexcept;

// How long /wait waits when no time is given, and the longest it may be given.
inline constexpr int kDefaultWaitSeconds = 600;
inline constexpr int kMaxWaitSeconds = 86400;

// The usage text for "/?" and for a malformed command line.
std::string commandLineUsage();

// The switch the forwarding process gives an instance it starts; not for users.
inline constexpr const char* kLaunchedSwitch = "/launched";

}  // namespace moravel
