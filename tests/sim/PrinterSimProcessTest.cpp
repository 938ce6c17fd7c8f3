// printer_sim as a process: addresses on standard output and in the file, commands, clean exit.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "zenlib.h"

namespace {

std::string ReadLine(FILE* stream) {
    char line[256];
    return std::fgets(line, sizeof(line), stream) != nullptr ? std::string(line) : std::string();
}

TEST(PrinterSimProcessTest, PrintsItsAddressesServesCommandsExitsCleanlyAndRefusesBadOptions) {
    const std::string address_file =
        ::testing::TempDir() + "printer_sim_addresses_" + std::to_string(getpid()) + ".txt";
    std::remove(address_file.c_str());
    // The shell prints its process id, then becomes printer_sim under that id.
    const std::string command =
        "echo $$; exec '" PRINTER_SIM_PATH "' --speed 20 --address-file '" + address_file + "'";
    FILE* stream = popen(command.c_str(), "r");
    ASSERT_NE(stream, nullptr);
    const pid_t pid = std::stoi(ReadLine(stream));
    const std::string main_line = ReadLine(stream);
    const std::string temperature_line = ReadLine(stream);
    EXPECT_EQ(main_line.rfind("main 127.0.0.1:", 0), 0u) << main_line;
    EXPECT_EQ(temperature_line.rfind("temperature 127.0.0.1:", 0), 0u) << temperature_line;
    std::ifstream written(address_file);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(written), {}),
              main_line + temperature_line);

    const std::string address = main_line.substr(5, main_line.size() - 6) + " -s DR -t 2000";
    ZHandle handle = nullptr;
    char reply[449];
    ZSize count = 0;
    EXPECT_EQ(ZOpen(address.c_str(), &handle), Z_OK) << address;
    EXPECT_EQ(ZCommand(handle, "RP", reply, sizeof(reply), &count), Z_OK);
    EXPECT_EQ(std::string(reply, count), "20000, 20000, 8000, 0, 0\r\n:");
    ZClose(handle);
    kill(pid, SIGTERM);
    const int status = pclose(stream);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    std::remove(address_file.c_str());
    // Unknown options are refused.
    const int refused = std::system("'" PRINTER_SIM_PATH "' --bogus 1 2>/dev/null");
    EXPECT_TRUE(WIFEXITED(refused) && WEXITSTATUS(refused) == 2) << refused;
}

}  // namespace
