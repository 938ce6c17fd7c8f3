#include "ProjectListener.h"

#include <iostream>

#include <boost/asio/io_context.hpp>

int main() {
    boost::asio::io_context io_context;
    try {
        ProjectListener listener(io_context);
        io_context.run();
    } catch (const std::exception& error) {
        // Without an acceptor there is nothing to serve.
        std::cerr << "Cannot listen: " << error.what() << std::endl;
        return 1;
    }
    return 0;
}
