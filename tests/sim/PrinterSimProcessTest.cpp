// printer_sim as a process: addresses on standard output and in the file, commands, clean exit.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "zenlib.h"

extern char** environ;

namespace {

// Reads one line from a pipe (the process prints its addresses at start).
std::string ReadLine(FILE* stream) {
    char line[256];
    return std::fgets(line, sizeof(line), stream) != nullptr ? std::string(line) : std::string();
}

TEST(PrinterSimProcessTest, PrintsItsAddressesServesCommandsAndExitsCleanly) {
    std::string address_file =
        ::testing::TempDir() + "printer_sim_addresses_" + std::to_string(getpid()) + ".txt";
    std::remove(address_file.c_str());
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    std::string path = PRINTER_SIM_PATH;
    std::vector<std::string> args = {path, "--speed", "20", "--address-file", address_file};
    std::vector<char*> argv;
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    FILE* stream = fdopen(out[0], "r");

    std::string main_line = ReadLine(stream);
    std::string temperature_line = ReadLine(stream);
    ASSERT_EQ(main_line.rfind("main 127.0.0.1:", 0), 0u) << main_line;
    ASSERT_EQ(temperature_line.rfind("temperature 127.0.0.1:", 0), 0u) << temperature_line;
    std::ifstream file(address_file);
    std::stringstream written;
    written << file.rdbuf();
    EXPECT_EQ(written.str(), main_line + temperature_line);

    std::string address = main_line.substr(5, main_line.size() - 6) + " -s DR -t 2000";
    ZHandle handle = nullptr;
    ASSERT_EQ(ZOpen(address.c_str(), &handle), Z_OK);
    char reply[449];
    ZSize count = 0;
    EXPECT_EQ(ZCommand(handle, "RP", reply, sizeof(reply), &count), Z_OK);
    EXPECT_EQ(std::string(reply, count), "20000, 20000, 8000, 0, 0\r\n:");
    ZClose(handle);

    kill(pid, SIGTERM);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    std::fclose(stream);
    std::remove(address_file.c_str());
}

TEST(PrinterSimProcessTest, RefusesUnknownOptions) {
    std::string path = PRINTER_SIM_PATH;
    std::string command = path + " --bogus 1 2>/dev/null";
    int status = std::system(command.c_str());
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 2);
}

}  // namespace
