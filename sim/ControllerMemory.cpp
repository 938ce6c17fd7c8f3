#include "ControllerMemory.h"

#include <cctype>

namespace sim {

bool ControllerMemory::ValidName(const std::string& name) {
    if (name.empty() || name.size() > 32 || !std::isalpha(static_cast<unsigned char>(name[0]))) {
        return false;
    }
    for (char c : name) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_') {
            return false;
        }
    }
    return true;
}

bool ControllerMemory::GetVariable(const std::string& name, double* value) const {
    auto found = variables_.find(name);
    if (found == variables_.end()) {
        return false;
    }
    *value = found->second;
    return true;
}

bool ControllerMemory::Declare(const std::string& name, size_t elements) {
    if (elements == 0 || elements > kMaxArrayElements ||
        (arrays_.count(name) == 0 && arrays_.size() >= kMaxArrays)) {
        return false;
    }
    arrays_[name].assign(elements, 0.0);
    return true;
}

bool ControllerMemory::SetElement(const std::string& name, size_t index, double value) {
    auto found = arrays_.find(name);
    if (found == arrays_.end() || index >= found->second.size()) {
        return false;
    }
    found->second[index] = value;
    return true;
}

bool ControllerMemory::GetElement(const std::string& name, size_t index, double* value) const {
    auto found = arrays_.find(name);
    if (found == arrays_.end() || index >= found->second.size()) {
        return false;
    }
    *value = found->second[index];
    return true;
}

const std::vector<double>* ControllerMemory::Array(const std::string& name) const {
    auto found = arrays_.find(name);
    return found == arrays_.end() ? nullptr : &found->second;
}

}  // namespace sim
