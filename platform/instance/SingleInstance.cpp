#include "platform/instance/SingleInstance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QLocalServer>
#include <QLocalSocket>
#include <cctype>
#include <cstdlib>
#include <optional>
#include <thread>

namespace platform::instance {
namespace {

constexpr char request[] = "show\n";
constexpr char reply[] = "ok\n";

// The user's runtime folder, which the session makes; where none is set, a
// folder of our own under the temporary one, which only counts when it is
// ours and closed to others.
std::optional<std::filesystem::path> runtimeFolder(const std::string& program) {
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime) return std::filesystem::path(runtime);
    const std::filesystem::path own =
        std::filesystem::temp_directory_path() / (program + "-" + std::to_string(::getuid()));
    ::mkdir(own.c_str(), 0700);
    struct stat status {};
    if (::lstat(own.c_str(), &status) != 0 || !S_ISDIR(status.st_mode) || status.st_uid != ::getuid() ||
        (status.st_mode & 077) != 0) {
        return std::nullopt;
    }
    return own;
}

// $DISPLAY without its screen, as a file name: ":0" and ":0.1" are one display.
std::string displayName() {
    const char* variable = std::getenv("DISPLAY");
    std::string display = variable ? variable : "";
    if (const auto colon = display.rfind(':'); colon != std::string::npos) {
        if (const auto dot = display.find('.', colon); dot != std::string::npos) display.erase(dot);
    }
    for (char& character : display) {
        if (!std::isalnum(static_cast<unsigned char>(character)) && character != '-') character = '_';
    }
    return display;
}

}  // namespace

SingleInstance::SingleInstance(const std::string& program) {
    if (const auto folder = runtimeFolder(program)) {
        const std::string name = program + "-display" + displayName();
        lock_ = *folder / (name + ".lock");
        socket_ = *folder / (name + ".socket");
    }
}

SingleInstance::~SingleInstance() {
    stopAnswering();
    if (lockFd_ >= 0) ::close(lockFd_);
}

SingleInstance::Start SingleInstance::start(std::chrono::milliseconds quitting) {
    if (lock_.empty()) return Start::first;
    lockFd_ = ::open(lock_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lockFd_ < 0) return Start::first;
    const auto deadline = std::chrono::steady_clock::now() + quitting;
    for (;;) {
        // The lock goes with its holder, however that ends.
        if (::flock(lockFd_, LOCK_EX | LOCK_NB) == 0) return Start::first;
        const bool forwarded = askRunningCopy();
        if (forwarded || std::chrono::steady_clock::now() >= deadline) {
            ::close(lockFd_);
            lockFd_ = -1;
            return forwarded ? Start::forwarded : Start::unreachable;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

bool SingleInstance::askRunningCopy() const {
    QLocalSocket socket;
    socket.connectToServer(QString::fromStdString(socket_.string()));
    if (!socket.waitForConnected(1000)) return false;
    socket.write(request);
    if (!socket.waitForBytesWritten(1000)) return false;
    while (!socket.canReadLine()) {
        if (!socket.waitForReadyRead(2000)) return false;
    }
    return socket.readLine() == reply;
}

void SingleInstance::answer(std::function<void()> onAsked) {
    if (lockFd_ < 0) return;
    const QString path = QString::fromStdString(socket_.string());
    auto server = std::make_unique<QLocalServer>();
    server->setSocketOptions(QLocalServer::UserAccessOption);
    // The socket of a copy that crashed is still there.
    QLocalServer::removeServer(path);
    if (!server->listen(path)) return;
    QLocalServer* listening = server.get();
    QObject::connect(listening, &QLocalServer::newConnection, listening, [listening, onAsked = std::move(onAsked)] {
        while (QLocalSocket* caller = listening->nextPendingConnection()) {
            QObject::connect(caller, &QLocalSocket::disconnected, caller, &QObject::deleteLater);
            QObject::connect(caller, &QLocalSocket::readyRead, caller, [caller, onAsked] {
                if (!caller->canReadLine()) return;
                const bool asked = caller->readLine() == request;
                if (asked) caller->write(reply);
                caller->disconnectFromServer();
                if (asked) onAsked();
            });
        }
    });
    server_ = std::move(server);
}

void SingleInstance::stopAnswering() {
    // Closing the server takes its socket away: a later start finds no one
    // to ask and waits for the lock.
    server_.reset();
}

}  // namespace platform::instance
