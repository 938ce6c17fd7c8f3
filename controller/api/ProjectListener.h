// The TCP front door: listens on a port the system chooses, publishes it in
// the port file for the UI, and turns each accepted connection into a Project.
#pragma once

#include "Project.h"

#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/system/error_code.hpp>

class ProjectListener {
  public:
    // Opens the acceptor, writes the port file and starts accepting.
    explicit ProjectListener(boost::asio::io_context& io_context);

    // The port the acceptor listens on.
    unsigned short Port() const;

  private:
    // Publishes the port under the per-user data folder; reports failures on
    // standard error and never throws.
    void WritePortFile();
    // Creates the next waiting Project and accepts into its socket.
    void AcceptConnection();
    void OnAccept(const boost::system::error_code& error, boost::shared_ptr<Project> project);
    // Ends the process once any connection has closed.
    void OnProjectClosed(boost::shared_ptr<Project> project);

    boost::asio::ip::tcp::acceptor acceptor_;
    boost::asio::io_context* io_context_;
    // Every Project ever created lives until the process ends, so callbacks
    // holding one stay valid.
    std::vector<boost::shared_ptr<Project>> projects_;
};
