#include "core/AppError.h"

namespace moravel {

std::string errorBoxText(std::string message) {
    if (!message.empty() && static_cast<unsigned char>(message.back()) > '.') message += '.';
    return message;
}

}  // namespace moravel
