#include <boost/asio/io_context.hpp>

int main() {
    boost::asio::io_context io_context;
    io_context.run();
    return 0;
}
