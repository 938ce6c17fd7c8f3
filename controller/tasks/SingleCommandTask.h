// A task that sends one controller command for its axis when it starts and
// is done at once: the base of the define-position, motor-off and servo-here
// tasks.
#pragma once

#include "Task.h"

#include <string>

class SingleCommandTask : public Task {
  public:
    // Sends the command, marks the task done and finishes it.
    void OnStart() override;

  protected:
    // Complete once the command has gone out.
    SingleCommandTask(std::string name, Parameters data);
    // Sends this class's command; a rejection throws VrxException.
    virtual void SendOneCommand() = 0;

  private:
    // Set once the command has gone out; read only on the worker.
    bool done_ = false;
};
