// printer_sim: serves the virtual printer's two controllers until SIGINT or SIGTERM.
//   printer_sim [--main-port N] [--temperature-port N] [--speed X] [--address-file PATH]
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>

#include "VirtualPrinter.h"

namespace {

const char kUsage[] =
    "usage: printer_sim [--main-port N] [--temperature-port N] [--speed X] "
    "[--address-file PATH]\n";

bool ParsePort(const char* text, uint16_t* port) {
    char* end = nullptr;
    long value = std::strtol(text, &end, 10);
    if (*end != '\0' || value < 0 || value > 65535) {
        return false;
    }
    *port = static_cast<uint16_t>(value);
    return true;
}

bool ParseArguments(int argc, char** argv, sim::VirtualPrinterOptions* options,
                    std::string* address_file) {
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i];
        if (i + 1 >= argc) {
            return false;
        }
        const char* value = argv[++i];
        if (name == "--main-port") {
            if (!ParsePort(value, &options->main_port)) {
                return false;
            }
        } else if (name == "--temperature-port") {
            if (!ParsePort(value, &options->temperature_port)) {
                return false;
            }
        } else if (name == "--speed") {
            char* end = nullptr;
            options->speed = std::strtod(value, &end);
            if (*end != '\0' || !(options->speed > 0.0) || options->speed > 1.0e6) {
                return false;
            }
        } else if (name == "--address-file") {
            *address_file = value;
        } else {
            return false;
        }
    }
    return true;
}

// Writes the file under a temporary name first, so a reader never sees half of it.
bool WriteAddressFile(const std::string& path, const std::string& text) {
    std::string temporary = path + ".tmp";
    {
        std::ofstream out(temporary, std::ios::trunc);
        out << text;
        if (!out.flush()) {
            return false;
        }
    }
    return std::rename(temporary.c_str(), path.c_str()) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    sim::VirtualPrinterOptions options;
    std::string address_file;
    if (!ParseArguments(argc, argv, &options, &address_file)) {
        std::cerr << kUsage;
        return 2;
    }
    // Blocked before any thread starts, so only sigwait below receives them.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    try {
        sim::VirtualPrinter printer(options);
        std::string addresses = "main " + printer.Address(sim::Controller::kMain) + "\n" +
                                "temperature " + printer.Address(sim::Controller::kTemperature) +
                                "\n";
        // The file first: whoever saw the lines on standard output finds it complete.
        if (!address_file.empty() && !WriteAddressFile(address_file, addresses)) {
            std::cerr << "printer_sim: cannot write " << address_file << "\n";
            return 1;
        }
        std::cout << addresses << std::flush;
        int received = 0;
        sigwait(&signals, &received);
    } catch (const std::exception& error) {
        std::cerr << "printer_sim: " << error.what() << "\n";
        return 1;
    }
    return 0;
}
