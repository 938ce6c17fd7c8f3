// Garbage on either channel and random command text: "?" or a closed connection, never a crash.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <boost/asio.hpp>

#include <random>
#include <string>

#include "MainCommandSet.h"
#include "PrinterClient.h"
#include "PrinterModel.h"
#include "TemperatureCommandSet.h"
#include "VirtualPrinter.h"

namespace {

using sim::Controller;

using boost::asio::ip::tcp;

// A plain TCP connection to the printer, for bytes the library would never send.
class RawConnection {
  public:
    explicit RawConnection(uint16_t port) {
        socket_.connect({boost::asio::ip::address_v4::loopback(), port});
        const timeval limit{5, 0};  // a read gives up after 5 s
        setsockopt(socket_.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
    }
    // Sends everything (false once the printer has closed the connection).
    bool Write(const std::string& bytes) {
        boost::system::error_code error;
        boost::asio::write(socket_, boost::asio::buffer(bytes), error);
        return !error;
    }
    // Reads until the text holds `ending`, the peer closes (`closed`), or 5 s pass.
    std::string ReadUntil(const std::string& ending) {
        std::string text;
        boost::system::error_code error;
        boost::asio::read_until(socket_, boost::asio::dynamic_buffer(text), ending, error);
        closed = error == boost::asio::error::eof || error == boost::asio::error::connection_reset;
        return text;
    }
    bool closed = false;

  private:
    boost::asio::io_context io_;
    tcp::socket socket_{io_};
};

std::string RandomBytes(std::mt19937& random, size_t count) {
    std::string bytes(count, '\0');
    for (char& c : bytes)
        c = static_cast<char>(random() & 0xFF);
    return bytes;
}

TEST(GarbageTest, RandomBytesAreRefusedOnACommandChannelAndCloseARecordChannel) {
    sim::VirtualPrinter printer;
    std::mt19937 random(7);
    for (Controller controller : {Controller::kMain, Controller::kTemperature}) {
        RawConnection raw(printer.Port(controller));
        // Not starting with "#STREAM": a command channel from the first line on.
        ASSERT_TRUE(raw.Write("\r" + RandomBytes(random, 20000) + "\rMG 1\r"));
        const std::string replies =
            raw.ReadUntil(controller == Controller::kMain ? "1.0000\r\n:" : "?");
        EXPECT_FALSE(raw.closed);
        EXPECT_NE(replies.find('?'), std::string::npos);
    }
    RawConnection raw(printer.Port(Controller::kMain));
    ASSERT_TRUE(raw.Write("MG 1\r" + std::string(1 << 20, 'A') + "\rTC1\r"));
    EXPECT_EQ(raw.ReadUntil("13 Command too long\r\n:"), "1.0000\r\n:?13 Command too long\r\n:")
        << "a very long line is refused as one";

    RawConnection stream(printer.Port(Controller::kMain));
    ASSERT_TRUE(stream.Write("#STREAM\r#RATE 2\r"));
    ASSERT_TRUE(printer.WaitForRecordStreams(Controller::kMain, std::chrono::seconds(5)));
    stream.Write(RandomBytes(random, 5000) + "\r");
    stream.ReadUntil("never");
    EXPECT_TRUE(stream.closed);
    PrinterClient client(printer, Controller::kMain);
    EXPECT_EQ(client.Ok("MG 2"), "2.0000");
}

// Command-like text: the characters and words the command language is made of.
std::string RandomCommand(std::mt19937& random) {
    static const std::vector<std::string> kPieces = {
        "SH", "MO", "BG",       "ST",    "JG",   "DP",  "LD",     "SP",    "PA",    "PT",    "FL",
        "ZA", "CS", "LM",       "LI",    "LE",   "RP",  "TP",     "MG",    "DM",    "DA",    "XQ",
        "AB", "TC", "A",        "B",     "C",    "D",   "E",      "S",     " ",     ",",     "<",
        "=",  "[",  "]",        "-",     ".",    "0",   "1",      "5",     "99999", "1e308", "nan",
        "\"", "?",  "zoffsets", "xdist", "TIME", "_XQ", "setext", "speed", "PM"};
    std::string text;
    for (size_t pieces = random() % 8; pieces > 0; --pieces)
        text += kPieces[random() % kPieces.size()];
    return text;
}

TEST(GarbageTest, RandomCommandTextNeverBreaksTheModel) {
    sim::PrinterModel model;
    sim::MainCommandSet main;
    sim::TemperatureCommandSet temperature;
    std::mt19937 random(3);
    int accepted = 0;
    for (int i = 0; i < 200000; ++i) {
        std::string line = RandomCommand(random);
        sim::CommandReply reply =
            (i % 4 == 0) ? temperature.Execute(line, model) : main.Execute(line, model);
        accepted += reply.accepted ? 1 : 0;
        ASSERT_TRUE(reply.accepted || !reply.error.empty()) << line;
        if (i % 16 == 0)
            model.Step();
    }
    EXPECT_GT(accepted, 1000);
    sim::RecordBytes record;
    model.BuildMainRecord(&record);
    model.BuildTemperatureRecord(&record);
}

}  // namespace
