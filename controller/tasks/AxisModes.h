// Whether a G-code axis takes target positions or distances. The G-code front
// end owns that setting; it installs its lookup here at start-up so the move
// maths can ask without depending on the front end.
#pragma once

#include <functional>
#include <string>

#include <boost/thread/mutex.hpp>

class AxisModes {
  public:
    // Answers true for an axis whose move values are targets.
    using AbsoluteAxisSource = std::function<bool(const std::string&)>;

    static AxisModes& GetInstance();

    // Installed by the G-code manager; an empty source restores the defaults
    // (X, Y, Z absolute, E incremental). Uninstall in the installer's destructor.
    void SetAbsoluteAxisSource(AbsoluteAxisSource source);
    // True when the move value of `axis` ("X" ... "E") is a target position.
    bool IsAbsoluteAxis(const std::string& axis);

  private:
    AxisModes() = default;

    // Held while the source is called, so an uninstall waits for that call.
    boost::mutex mutex_;
    AbsoluteAxisSource source_;
};
