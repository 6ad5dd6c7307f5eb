#include "core/CommandLine.h"

#include <algorithm>
#include <optional>

#include <windows.h>

namespace moravel {

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }

bool isSwitchText(const Argument& argument) {
    return !argument.quoted && argument.text.size() > 1 && (argument.text[0] == '/' || argument.text[0] == '-');
}

bool isSwitch(const Argument& argument, const char* name) {
    return isSwitchText(argument) && lstrcmpiA(argument.text.c_str() + 1, name) == 0;
}

// "/wait" alone, or "/wait:" and its seconds.
bool isWaitSwitch(const Argument& argument) {
    if (isSwitch(argument, "wait")) return true;
    return isSwitchText(argument) && argument.text.size() > 6 && argument.text[5] == ':' &&
           lstrcmpiA(argument.text.substr(1, 4).c_str(), "wait") == 0;
}

// The seconds of "/wait:N"; nothing when they are not a whole number in range.
std::optional<int> waitSeconds(const std::string& text) {
    if (text.size() <= 6) return kDefaultWaitSeconds;
    int seconds = 0;
    for (const char c : text.substr(6)) {
        if (c < '0' || c > '9') return std::nullopt;
        seconds = seconds * 10 + (c - '0');
        if (seconds > kMaxWaitSeconds) return std::nullopt;
    }
    if (seconds < 1) return std::nullopt;
    return seconds;
}

}  // namespace

std::vector<Argument> splitCommandLine(std::string_view line) {
    std::size_t i = 0;
    // The program name: no escapes, quoted whole or up to the first blank.
    if (i < line.size() && line[i] == '"') {
        const std::size_t close = line.find('"', i + 1);
        i = close == std::string_view::npos ? line.size() : close + 1;
    }
    while (i < line.size() && !isBlank(line[i])) ++i;

    std::vector<Argument> arguments;
    for (;;) {
        while (i < line.size() && isBlank(line[i])) ++i;
        if (i >= line.size()) break;
        Argument argument;
        bool inQuotes = false;
        while (i < line.size() && (inQuotes || !isBlank(line[i]))) {
            const char c = line[i];
            if (c == '\\') {
                std::size_t run = 0;
                while (i < line.size() && line[i] == '\\') ++run, ++i;
                if (i < line.size() && line[i] == '"') {
                    argument.text.append(run / 2, '\\');
                    if (run % 2) {
                        argument.text += '"';
                        ++i;
                    }
                    // an even run: the quote is handled as a quote below
                } else {
                    argument.text.append(run, '\\');
                }
            } else if (c == '"') {
                argument.quoted = true;
                if (inQuotes && i + 1 < line.size() && line[i + 1] == '"') {
                    argument.text += '"';
                    i += 2;
                } else {
                    inQuotes = !inQuotes;
                    ++i;
                }
            } else if (IsDBCSLeadByte(static_cast<BYTE>(c)) && i + 1 < line.size()) {
                argument.text.append(line.substr(i, 2));
                i += 2;
            } else {
                argument.text += c;
                ++i;
            }
        }
        arguments.push_back(std::move(argument));
    }
    return arguments;
}

CommandLine parseCommandLine(std::string_view line) {
    CommandLine result;
    const std::vector<Argument> arguments = splitCommandLine(line);
    const auto malformed = [&](std::string problem) {
        result = CommandLine{};
        result.kind = CommandLine::Kind::Malformed;
        result.problem = std::move(problem);
        return result;
    };
    for (const Argument& argument : arguments)
        if (isSwitch(argument, "?")) {
            result.kind = CommandLine::Kind::Help;
            return result;
        }

    enum { Free, Names, AfterNames } state = Free;
    bool queueSeen = false;
    for (const Argument& argument : arguments) {
        if (isSwitch(argument, "hide")) {
            result.hide = true;
        } else if (isSwitch(argument, kLaunchedSwitch + 1)) {
            result.launched = true;
        } else if (isSwitch(argument, "queue")) {
            if (queueSeen) return malformed("/queue is given twice.");
            queueSeen = true;
            state = Names;
        } else if (isSwitch(argument, "now")) {
            if (state == Free || result.queue.empty() || result.now)
                return malformed("/now comes after the names to queue.");
            result.now = true;
            state = AfterNames;
        } else if (isWaitSwitch(argument)) {
            if (state == Free || result.queue.empty() || result.wait)
                return malformed("/wait comes after the names to queue.");
            const std::optional<int> seconds = waitSeconds(argument.text);
            if (!seconds) return malformed("/wait:SECONDS takes a whole number of seconds from 1 to 86400.");
            result.wait = true;
            result.waitSeconds = *seconds;
            state = AfterNames;
        } else if (isSwitchText(argument)) {
            return malformed("Unknown switch " + argument.text + ".");
        } else if (state != Names) {
            return malformed("\"" + argument.text + "\" is not a switch; names follow /queue.");
        } else if (argument.text.empty()) {
            return malformed("An empty name cannot be queued.");
        } else if (!isQueueableName(argument.text)) {
            return malformed("A name cannot hold control characters (such as line breaks or tabs).");
        } else {
            result.queue.push_back(argument.text);
        }
    }
    if (queueSeen && result.queue.empty()) return malformed("/queue needs at least one project name.");
    return result;
}

bool isQueueableName(std::string_view name) noexcept {
    return std::none_of(name.begin(), name.end(), [](char c) { return static_cast<unsigned char>(c) < 32; });
}

std::string commandLineUsage() {
    // Short lines: a message box wraps long ones wherever it likes.
    return "Usage:\r\n"
           "  Moravel.exe [/hide] [/queue NAME... [/now]]\r\n"
           "  Moravel.com [/hide] [/queue NAME... [/now]\r\n"
           "              [/wait[:SECONDS]]]\r\n"
           "\r\n"
           "/queue NAME...\r\n"
           "    Queue the named projects in the Moravel\r\n"
           "    running from the current directory; when\r\n"
           "    none runs there, one is started.\r\n"
           "/now\r\n"
           "    Also update at once, as \"Update Now\" does.\r\n"
           "/wait[:SECONDS]\r\n"
           "    Moravel.com only: wait until every named\r\n"
           "    project is done, at most SECONDS (600),\r\n"
           "    and print what the log says of it; when\r\n"
           "    none runs there, update in this console.\r\n"
           "/hide\r\n"
           "    Start hidden in the notification area.\r\n"
           "/?\r\n"
           "    Show this text.\r\n"
           "\r\n"
           "Names with blanks go in double quotes.\r\n"
           "Switches may also start with \"-\".\r\n"
           "\r\n"
           "Exit codes:\r\n"
           "  0  queued, or already pending\r\n"
           "  2  a name is no project (the others are queued)\r\n"
           "  3  the command line is wrong\r\n"
           "  4  the running Moravel did not answer\r\n"
           "With /wait:\r\n"
           "  0  every project replaced or up to date\r\n"
           "  5  the time ran out\r\n"
           "  6  something failed\r\n"
           "  7  done at the next restart";
}

}  // namespace moravel
