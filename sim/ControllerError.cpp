#include "ControllerError.h"

namespace sim {
namespace {

const char* Message(ControllerError error) {
    switch (error) {
        case ControllerError::kUnknownCommand:
            return "Unrecognized command";
        case ControllerError::kBadArgument:
            return "Invalid argument";
        case ControllerError::kOutOfRange:
            return "Number out of range";
        case ControllerError::kAxisRequired:
            return "Axis letters required";
        case ControllerError::kMotorOff:
            return "Motor off";
        case ControllerError::kInMotion:
            return "Axis already in motion";
        case ControllerError::kBufferFull:
            return "Segment buffer full";
        case ControllerError::kNotInCoordinateSystem:
            return "Axis not in the coordinate system";
        case ControllerError::kNoCoordinateSystem:
            return "No coordinate system defined";
        case ControllerError::kUnknownArray:
            return "Array not declared";
        case ControllerError::kBadIndex:
            return "Array index out of range";
        case ControllerError::kUnknownVariable:
            return "Variable not defined";
        case ControllerError::kLineTooLong:
            return "Command too long";
        case ControllerError::kArrayTooLarge:
            return "Not enough array space";
    }
    return "Error";
}

}  // namespace

std::string ErrorText(ControllerError error) {
    return std::to_string(static_cast<int>(error)) + " " + Message(error);
}

CommandReply Reject(ControllerError error) {
    return CommandReply::Rejected(ErrorText(error));
}

}  // namespace sim
