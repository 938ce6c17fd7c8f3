// Takes the signals that ask the server to end: SIGINT (Ctrl-C in its
// console), SIGTERM (kill, a service stop) and SIGHUP (its terminal closed).
// They are waited for through Boost.Asio on a thread and an I/O context of
// their own: the handlers run as ordinary code, not in an asynchronous signal
// handler, and a signal is still taken while the I/O thread is blocked
// making the machine safe.
#pragma once

#include <functional>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/system/error_code.hpp>
#include <boost/thread/thread.hpp>

class SignalWatcher {
  public:
    // Called with the signal's number on the watcher's thread.
    using Handler = std::function<void(int)>;

    // Takes the signals from now on: `first` runs for the first of them,
    // `again` for every later one.
    SignalWatcher(Handler first, Handler again);
    // Gives the signals back to their default actions and joins the thread.
    ~SignalWatcher();
    SignalWatcher(const SignalWatcher&) = delete;
    SignalWatcher& operator=(const SignalWatcher&) = delete;

    // "SIGINT", "SIGTERM", "SIGHUP", or the number.
    static std::string Name(int signal);

  private:
    void Wait();
    void OnSignal(const boost::system::error_code& error, int signal);

    Handler first_;
    Handler again_;
    // Watcher thread only.
    bool signalled_ = false;
    boost::asio::io_context context_;
    boost::asio::signal_set signals_;
    boost::thread thread_;
};
