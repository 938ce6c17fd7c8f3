// A failed controller library call or a command the controller rejected.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

class ControllerConnection;

class VrxException : public std::exception {
  public:
    // For rc -10000 with a connection, asks that connection "TC1" once for the
    // controller's own explanation; otherwise uses the library's text for rc.
    VrxException(std::string source, int32_t rc, ControllerConnection* connection);
    ~VrxException() override = default;

    const char* what() const noexcept override;
    const int32_t& GetRc() const { return rc_; }
    const std::string& GetErrorString() const { return error_string_; }
    // The failing call or command: "ZOpen(<address>)", "ZRecordRate", "ZRecord" or the command.
    const std::string& GetSource() const { return source_; }

  private:
    int32_t rc_;
    std::string error_string_;
    std::string source_;
};
