#include "TaskTestSupport.h"

#include "DataRecordWatcher.h"
#include "VrxException.h"

#include <stdexcept>
#include <thread>

#include <boost/make_shared.hpp>

void TaskManagerProbe::Halt() {
    TaskManager& manager = TaskManager::GetInstance();
    manager.Stop();
    if (manager.thread_.joinable()) {
        manager.thread_.join();
    }
    // The worker is gone; drop whatever it left behind.
    manager.ClearAll(true);
    manager.changed_ = true;
    manager.finish_requested_ = false;
    manager.finish_callback_ = nullptr;
}

void TaskManagerProbe::ApplyPending() {
    TaskManager::Hold hold(TaskManager::GetInstance());
    TaskManager::GetInstance().ApplyPending();
}

void TaskManagerProbe::Pass() {
    TaskManager::Hold hold(TaskManager::GetInstance());
    TaskManager::GetInstance().Pass();
}

size_t TaskManagerProbe::TableSize() {
    TaskManager& manager = TaskManager::GetInstance();
    boost::lock_guard<boost::mutex> lock(manager.table_mutex_);
    return manager.tasks_.size();
}

bool TaskManagerProbe::FinishRequested() {
    return TaskManager::GetInstance().finish_requested_;
}

void TaskManagerProbe::Lock() {
    TaskManager& manager = TaskManager::GetInstance();
    manager.mutex_.lock();
    manager.lock_holder_ = std::this_thread::get_id();
}

void TaskManagerProbe::Unlock() {
    TaskManager& manager = TaskManager::GetInstance();
    manager.lock_holder_ = std::thread::id();
    manager.mutex_.unlock();
}

T_Probe::T_Probe(Parameters data) : Task("T_Probe", std::move(data)) {
    AddCompletionCondition([this] { return done_.load(); });
}

boost::shared_ptr<T_Probe> T_Probe::Make(const std::string& description) {
    return With({{"description", description}});
}

boost::shared_ptr<T_Probe> T_Probe::With(const nlohmann::json& parameters) {
    return boost::make_shared<T_Probe>(boost::make_shared<nlohmann::json>(parameters));
}

boost::shared_ptr<T_Probe> T_Probe::Feeding(int count) {
    auto task = Make("feeding");
    task->on_start_ = [self = task.get(), count] {
        for (int i = 0; i < count; ++i) {
            auto child = Make("fed");
            self->AddParallelTask(child);
            child->SetStatus(RUNNING);
            TaskManager::GetInstance().AddTask(child);
        }
    };
    return task;
}

void HookLog::Add(const std::string& entry) {
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.push_back(entry);
}

std::vector<std::string> HookLog::Entries() {
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_;
}

void HookLog::Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.clear();
}

HookLog& T_Probe::Log() {
    static HookLog log;
    return log;
}

void T_Probe::Record(const char* hook) {
    Log().Add(std::to_string(GetId()) + ":" + hook);
}

void T_Probe::Raise(Throw what) {
    if (what == Throw::kVrx) {
        throw VrxException("BGA", -10000, nullptr);
    }
    if (what == Throw::kStd) {
        throw std::runtime_error("boom");
    }
}

void T_Probe::OnStart() {
    Record("OnStart");
    if (on_start_) {
        on_start_();
    }
    if (watch_) {
        // Straight at the watcher: no controller is open in these tests.
        DataRecordWatcher::GetInstance().AddCondition(GetId(), [](ZDataRecord*) { return true; });
    }
    Raise(throw_on_start_);
}

void T_Probe::OnCancel() {
    Record("OnCancel");
    Raise(throw_on_cancel_);
}

void T_Probe::OnUpdate() {
    Record("OnUpdate");
    if (++updates_ == done_after_updates_) {
        done_ = true;
    }
}

void UiCollector::Install() {
    TaskManager::GetInstance().SetSendCallback([this](std::string text) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            texts_.push_back(std::move(text));
        }
        changed_.notify_all();
    });
}

std::vector<std::string> UiCollector::Texts() {
    std::lock_guard<std::mutex> lock(mutex_);
    return texts_;
}

std::vector<nlohmann::json> UiCollector::Messages() {
    std::vector<nlohmann::json> messages;
    for (const auto& text : Texts()) {
        messages.push_back(nlohmann::json::parse(text));
    }
    return messages;
}

std::vector<nlohmann::json> UiCollector::Updates() {
    std::vector<nlohmann::json> updates;
    for (const auto& message : Messages()) {
        if (message.value("command", "") == "updateTasks") {
            updates.push_back(message.at("tasks").at(0));
        }
    }
    return updates;
}

void UiCollector::Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    texts_.clear();
}

bool UiCollector::WaitFor(const std::function<bool(const std::vector<std::string>&)>& condition,
                          std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return condition(texts_); });
}

bool Eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
    return true;
}
