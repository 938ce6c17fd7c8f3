// Variables and arrays held on a controller.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <vector>

namespace sim {

// Named numbers and arrays of numbers, as "name=value", "DM name[n]" and
// "name[i]=value" create them.
class ControllerMemory {
  public:
    // Most elements one array may have.
    static constexpr size_t kMaxArrayElements = 16000;
    // Most arrays held at once.
    static constexpr size_t kMaxArrays = 30;

    // True for a usable variable or array name.
    static bool ValidName(const std::string& name);

    // Sets a variable.
    void SetVariable(const std::string& name, double value) { variables_[name] = value; }
    // Reads a variable; false when it does not exist.
    bool GetVariable(const std::string& name, double* value) const;
    // "DM": declares (or re-declares) an array of zeros; false when too big or too many.
    bool Declare(const std::string& name, size_t elements);
    // "DA": releases an array; releasing an unknown one is harmless.
    void Release(const std::string& name) { arrays_.erase(name); }
    // Sets an element; false for an unknown array or index.
    bool SetElement(const std::string& name, size_t index, double value);
    // Reads an element; false for an unknown array or index.
    bool GetElement(const std::string& name, size_t index, double* value) const;
    // The array, or null.
    const std::vector<double>* Array(const std::string& name) const;

  private:
    std::map<std::string, double> variables_;            // "name=value"
    std::map<std::string, std::vector<double>> arrays_;  // "DM name[n]"
};

}  // namespace sim
