#include "ProjectListener.h"

#include "DataRecordWatcher.h"
#include "LocalDataFolder.h"
#include "TaskManager.h"

#include <cstdlib>
#include <fstream>
#include <iostream>

#include <boost/asio/post.hpp>
#include <boost/filesystem.hpp>
#include <boost/make_shared.hpp>
#include <boost/weak_ptr.hpp>

namespace {

boost::asio::ip::tcp::acceptor OpenAcceptor(boost::asio::io_context& io_context) {
    boost::asio::ip::tcp::acceptor acceptor(io_context);
    const boost::asio::ip::tcp::endpoint endpoint(boost::asio::ip::tcp::v4(), 0);
    acceptor.open(endpoint.protocol());
    acceptor.set_option(boost::asio::ip::tcp::acceptor::reuse_address(true));
    acceptor.bind(endpoint);
    acceptor.listen(boost::asio::socket_base::max_listen_connections);
    return acceptor;
}

bool EnsureFolder(const std::string& folder) {
    boost::system::error_code error;
    if (boost::filesystem::is_directory(folder, error)) {
        return true;
    }
    boost::filesystem::create_directories(folder, error);
    return !error && boost::filesystem::is_directory(folder, error);
}

}  // namespace

ProjectListener::ProjectListener(boost::asio::io_context& io_context)
    : acceptor_(OpenAcceptor(io_context)),
      io_context_(&io_context),
      signals_(
          [this](int signal) {
              std::cerr << SignalWatcher::Name(signal)
                        << ": closing; a second signal ends the server at once" << std::endl;
              // The close blocks the thread it runs on, as the UI's close
              // does; the watcher's own thread stays free for a second signal.
              boost::asio::post(*io_context_, [this] { CloseOnSignal(); });
          },
          [](int signal) { EndAtOnce(signal); }) {
    WritePortFile();
    AcceptConnection();
}

unsigned short ProjectListener::Port() const {
    return acceptor_.local_endpoint().port();
}

void ProjectListener::WritePortFile() {
    const auto data_folder = LocalDataFolder();
    if (!data_folder) {
        std::cerr << "Failed to get Local AppData path." << std::endl;
        return;
    }
    const std::string folder = *data_folder + "/Tavik/gcode_api_server";
    bool written = false;
    if (EnsureFolder(folder)) {
        std::ofstream file(folder + "/port.txt",
                           std::ios::out | std::ios::trunc | std::ios::binary);
        if (file) {
            file << Port();
            file.close();
            written = !file.fail();
        }
    }
    if (!written) {
        std::cerr << "Unable to open the file for writing.\n" << std::flush;
    }
}

void ProjectListener::AcceptConnection() {
    auto project = boost::make_shared<Project>(
        *io_context_, [this](boost::shared_ptr<Project> closed) { OnProjectClosed(closed); },
        [this] { return BeginClose(); });
    projects_.push_back(project);
    acceptor_.async_accept(
        project->GetSocket(),
        [this, project](const boost::system::error_code& error) { OnAccept(error, project); });
}

void ProjectListener::OnAccept(const boost::system::error_code& error,
                               boost::shared_ptr<Project> project) {
    if (error) {
        std::cerr << "Error accepting connection: " << error.message() << std::endl;
        return;
    }
    AcceptConnection();
    owner_ = project;
    // A new connection drops every task of the previous one (stopping what
    // they set moving); task updates go to the newest connection.
    TaskManager& tasks = TaskManager::GetInstance();
    tasks.Start();
    tasks.SetSendCallback([project](std::string text) { project->SendDatagram(text); });
    // Replies and updates are small messages; do not hold them back waiting
    // for acknowledgements of earlier ones.
    boost::system::error_code ignored;
    project->GetSocket().set_option(boost::asio::ip::tcp::no_delay(true), ignored);
    // Record-stream errors go to the newest connection.
    DataRecordWatcher::GetInstance().SetErrorCallback(
        [weak = boost::weak_ptr<Project>(project)](std::string text) {
            if (auto self = weak.lock()) {
                self->Send(text);
            }
        });
    project->StartRead();
}

void ProjectListener::OnProjectClosed(boost::shared_ptr<Project> project) {
    // Not 0 when the close could not make the machine safe.
    const int status = project->ExitStatus();
    // The process ends on the I/O thread: a close that runs on the task worker
    // hands the exit over, so the exit-time destructors (which join the worker)
    // never run on the thread they join.
    if (io_context_->get_executor().running_in_this_thread()) {
        std::exit(status);
    }
    boost::asio::post(*io_context_, [status] { std::exit(status); });
}

bool ProjectListener::BeginClose() {
    return !closing_.exchange(true);
}

void ProjectListener::CloseOnSignal() {
    if (!owner_) {
        // No UI has connected: no controller was opened, no task ran.
        std::exit(0);
    }
    // While another close runs (the UI's, or the end of a finish), this does
    // nothing: that close ends the process.
    owner_->Close();
}

void ProjectListener::EndAtOnce(int signal) {
    std::cerr << "Machine not safe at exit: " << SignalWatcher::Name(signal)
              << " ended the server before its close was done" << std::endl;
    // Neither the close nor the exit-time destructors, which join its
    // threads, are waited for.
    std::_Exit(Project::kUnsafeExitStatus);
}
