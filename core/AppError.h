#pragma once
#include <stdexcept>
#include <string>

namespace moravel {

// An error whose text is meant for the user. Raised below an event handler,
// it unwinds to the window's dispatch, which shows it and goes on.
class AppError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The text of the error box: a period is added when the message ends in a
// character that sorts after the period, so "...failed" gets one but
// "...(5)" and "...exists!" do not.
std::string errorBoxText(std::string message);

}  // namespace moravel
