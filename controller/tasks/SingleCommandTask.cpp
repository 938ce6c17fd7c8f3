#include "SingleCommandTask.h"

#include <utility>

SingleCommandTask::SingleCommandTask(std::string name, Parameters data)
    : Task(std::move(name), std::move(data)) {
    AddCompletionCondition([this] { return done_; });
}

void SingleCommandTask::OnStart() {
    SendOneCommand();
    done_ = true;
    Finish();
}
