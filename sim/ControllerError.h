// Error numbers and texts the controllers report through "TC1".
#pragma once

#include <string>

#include "CommandReply.h"

namespace sim {

// Why a controller rejected a command.
enum class ControllerError {
    kUnknownCommand = 1,
    kBadArgument = 2,
    kOutOfRange = 3,
    kAxisRequired = 4,
    kMotorOff = 5,
    kInMotion = 6,
    kBufferFull = 7,
    kNotInCoordinateSystem = 8,
    kNoCoordinateSystem = 9,
    kUnknownArray = 10,
    kBadIndex = 11,
    kUnknownVariable = 12,
    kLineTooLong = 13,
    kArrayTooLarge = 14,
};

// The "TC1" text: number, blank, message.
std::string ErrorText(ControllerError error);
// A rejection carrying that text.
CommandReply Reject(ControllerError error);

}  // namespace sim
