#include "CommandText.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "ControllerMemory.h"

namespace sim {

std::string CommandText::Trim(const std::string& text) {
    size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) {
        return "";
    }
    size_t last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

bool CommandText::ParseNumber(const std::string& text, double* value) {
    std::string trimmed = Trim(text);
    if (trimmed.empty() || trimmed.size() > 64) {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    double parsed = std::strtod(trimmed.c_str(), &end);
    if (*end != '\0' || errno == ERANGE || !std::isfinite(parsed)) {
        return false;
    }
    *value = parsed;
    return true;
}

int CommandText::AxisIndex(char letter) {
    return letter >= 'A' && letter <= 'E' ? letter - 'A' : -1;
}

bool CommandText::ParseAxisLetters(const std::string& text, bool allow_s, std::string* letters) {
    letters->clear();
    for (char c : text) {
        if (c == ' ') {
            continue;
        }
        bool known = AxisIndex(c) >= 0 || (allow_s && c == 'S');
        if (!known || letters->find(c) != std::string::npos) {
            return false;
        }
        letters->push_back(c);
    }
    return true;
}

bool CommandText::ParseAxisValues(const std::string& text, AxisValues* values) {
    values->fill(std::nullopt);
    size_t start = 0;
    for (size_t axis = 0;; ++axis) {
        size_t comma = text.find(',', start);
        std::string field = Trim(
            text.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        if (axis >= values->size()) {
            return false;
        }
        if (!field.empty()) {
            double value = 0.0;
            if (!ParseNumber(field, &value)) {
                return false;
            }
            (*values)[axis] = value;
        }
        if (comma == std::string::npos) {
            return true;
        }
        start = comma + 1;
    }
}

bool CommandText::ParseName(const std::string& text, std::string* name, long* index) {
    std::string trimmed = Trim(text);
    size_t open = trimmed.find('[');
    *index = -1;
    if (open == std::string::npos) {
        *name = trimmed;
        return ControllerMemory::ValidName(*name);
    }
    if (trimmed.back() != ']') {
        return false;
    }
    *name = trimmed.substr(0, open);
    double value = 0.0;
    std::string inside = trimmed.substr(open + 1, trimmed.size() - open - 2);
    if (!ControllerMemory::ValidName(*name) || !ParseNumber(inside, &value) || value < 0.0 ||
        value > 1e9 || value != std::floor(value)) {
        return false;
    }
    *index = static_cast<long>(value);
    return true;
}

std::string CommandText::FormatNumber(double value) {
    char text[64];
    std::snprintf(text, sizeof(text), "%.4f", value);
    return text;
}

}  // namespace sim
