// The TCP front door: listens on a port the system chooses, publishes it in
// the port file for the UI, and turns each accepted connection into a Project.
// It also ends the server on a signal, as the UI's close does.
#pragma once

#include "Project.h"
#include "SignalWatcher.h"

#include <atomic>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/system/error_code.hpp>

class ProjectListener {
  public:
    // Opens the acceptor, takes the signals, writes the port file and starts
    // accepting.
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
    // Whether a close may begin: only the first of the server's closes runs.
    // Any thread.
    bool BeginClose();
    // On the I/O thread, for the first signal: closes the connection that
    // owns the tasks; with none ever accepted there is nothing to make safe.
    void CloseOnSignal();
    // For a signal during the close: ends the process without waiting for it.
    [[noreturn]] static void EndAtOnce(int signal);

    boost::asio::ip::tcp::acceptor acceptor_;
    boost::asio::io_context* io_context_;
    // Every Project ever created lives until the process ends, so callbacks
    // holding one stay valid.
    std::vector<boost::shared_ptr<Project>> projects_;
    // The newest accepted connection, whose tasks the task manager holds.
    // I/O thread only.
    boost::shared_ptr<Project> owner_;
    std::atomic<bool> closing_{false};
    // Last: its handlers use the fields above from its thread.
    SignalWatcher signals_;
};
