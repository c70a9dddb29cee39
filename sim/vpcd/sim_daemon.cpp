#include "sim/vpcd/sim_daemon.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <ctime>
#include <sstream>
#include <stdexcept>

#include "platform/pcsc/pcsc_error.h"
#include "platform/pcsc/slot_manager.h"

namespace qel::sim {

namespace {

std::string timestamp() {
    timespec ts{};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    tm local{};
    ::localtime_r(&ts.tv_sec, &local);
    char text[40];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    char withMs[48];
    std::snprintf(withMs, sizeof withMs, "%s.%03ld", text, ts.tv_nsec / 1000000);
    return withMs;
}

void writeFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::trunc);
    out << content;
    if (!out) throw std::runtime_error("cannot write " + path);
}

}  // namespace

SimDaemon::SimDaemon(SimDaemonOptions options, CardModelLoader loader)
    : options_(std::move(options)), loader_(std::move(loader)) {
    if (options_.runDir.empty()) throw std::runtime_error("no run folder given");
    std::error_code ignored;
    std::filesystem::create_directories(options_.runDir, ignored);
    log_.open(options_.runDir + "/qelcard-sim.log", std::ios::app);
    if (!log_) throw std::runtime_error("cannot open the log in " + options_.runDir);

    // One daemon per port pair on the machine: a second one would sit unserved in the driver's
    // queue, and pcscd would never see its cards.
    const std::string& lockDir = options_.lockDir.empty() ? options_.runDir : options_.lockDir;
    std::string lockPath = lockDir + "/qelcard-sim-" + std::to_string(options_.contactPort) + "-" +
                           std::to_string(options_.contactlessPort) + ".lock";
    lockFd_ = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (lockFd_ < 0) throw std::runtime_error("cannot open " + lockPath + ": " + std::strerror(errno));
    if (::flock(lockFd_, LOCK_EX | LOCK_NB) != 0) {
        char owner[32] = {};
        ssize_t n = ::pread(lockFd_, owner, sizeof owner - 1, 0);
        ::close(lockFd_);
        lockFd_ = -1;
        throw std::runtime_error("another qelcard-sim (pid " +
                                 std::string(owner, n > 0 ? static_cast<std::size_t>(n) : 0) +
                                 ") already serves ports " + std::to_string(options_.contactPort) + " and " +
                                 std::to_string(options_.contactlessPort));
    }
    std::string pid = std::to_string(::getpid());
    if (::ftruncate(lockFd_, 0) != 0 || ::pwrite(lockFd_, pid.data(), pid.size(), 0) < 0) {
        // The lock itself holds; only the pid shown to a second daemon is missing.
    }
    writeFile(options_.runDir + "/qelcard-sim.pid", pid + "\n");

    stopFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    std::string path = controlSocketPath(options_.runDir);
    sockaddr_un address{};
    int dirFd = -1;
    std::string error;
    if (!controlSocketAddress(options_.runDir, address, dirFd, error)) throw std::runtime_error(error);
    ::unlink(path.c_str());
    listenFd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    bool listening = listenFd_ >= 0 && ::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                     ::listen(listenFd_, 8) == 0;
    int listenErrno = errno;
    if (dirFd >= 0) ::close(dirFd);
    if (!listening) throw std::runtime_error("cannot listen on " + path + ": " + std::strerror(listenErrno));

    auto sink = [this](const std::string& line) { log(line); };
    contact_ = std::make_unique<VirtualReader>(
        VirtualReader::Config{"contact", ReaderKind::contact, options_.host, options_.contactPort, sink});
    contactless_ = std::make_unique<VirtualReader>(
        VirtualReader::Config{"contactless", ReaderKind::contactless, options_.host, options_.contactlessPort, sink});
    pinpad_ = std::make_unique<VirtualReader>(
        VirtualReader::Config{"pinpad", ReaderKind::contact, options_.host, options_.pinpadPort, sink, true});
    log("qelcard-sim started, pid " + pid + ", ports " + std::to_string(options_.contactPort) + "/" +
        std::to_string(options_.contactlessPort));
}

SimDaemon::~SimDaemon() {
    contact_.reset();
    contactless_.reset();
    pinpad_.reset();
    if (listenFd_ >= 0) {
        ::close(listenFd_);
        ::unlink(controlSocketPath(options_.runDir).c_str());
    }
    if (stopFd_ >= 0) ::close(stopFd_);
    ::unlink((options_.runDir + "/qelcard-sim.pid").c_str());
    if (lockFd_ >= 0) ::close(lockFd_);
    log("qelcard-sim stopped");
}

void SimDaemon::log(const std::string& line) {
    std::lock_guard lock(logMutex_);
    log_ << timestamp() << ' ' << line << '\n';
    log_.flush();
}

void SimDaemon::requestStop() { ::eventfd_write(stopFd_, 1); }

VirtualReader& SimDaemon::reader(const std::string& label) {
    if (label == "pinpad") return *pinpad_;
    return label == "contact" ? *contact_ : *contactless_;
}

const std::string& SimDaemon::pcscName(const std::string& label) const {
    if (label == "pinpad") return options_.pinpadReader;
    return label == "contact" ? options_.contactReader : options_.contactlessReader;
}

void SimDaemon::run() {
    if (!options_.contactProfile.empty()) log(handleRequest("insert contact " + options_.contactProfile));
    if (!options_.contactlessProfile.empty()) log(handleRequest("insert contactless " + options_.contactlessProfile));
    while (!quit_) {
        pollfd p[2] = {{listenFd_, POLLIN, 0}, {stopFd_, POLLIN, 0}};
        int n = ::poll(p, 2, -1);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) break;
        if (p[1].revents & POLLIN) {
            log("stop requested");
            break;
        }
        if (p[0].revents & POLLIN) {
            int client = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (client >= 0) {
                serveClient(client);
                ::close(client);
            }
        }
    }
}

void SimDaemon::serveClient(int fd) {
    std::string line;
    char c;
    // One short line; a client that sends nothing is dropped after a while.
    while (line.size() < 4096) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 5000) <= 0) return;
        ssize_t got = ::recv(fd, &c, 1, 0);
        if (got <= 0 || c == '\n') break;
        line.push_back(c);
    }
    std::string answer = handleRequest(line);
    if (answer.empty() || answer.back() != '\n') answer.push_back('\n');
    ::send(fd, answer.data(), answer.size(), MSG_NOSIGNAL);
}

std::string SimDaemon::handleRequest(const std::string& line) {
    auto parsed = parseControlCommand(line);
    if (auto* error = std::get_if<std::string>(&parsed)) return "error: " + *error;
    const ControlCommand& c = std::get<ControlCommand>(parsed);
    log("request: " + loggableRequest(line));
    switch (c.verb) {
        case ControlCommand::Verb::insert:
            return insert(c.reader, c.profile, false);
        case ControlCommand::Verb::swap:
            return insert(c.reader, c.profile, true);
        case ControlCommand::Verb::remove:
            return remove(c.reader);
        case ControlCommand::Verb::reset:
            return reset(c.reader);
        case ControlCommand::Verb::hostile:
            reader(c.reader).setHostile(c.on);
            return std::string("ok hostile ") + (c.on ? "on" : "off") + " in " + c.reader;
        case ControlCommand::Verb::pinpad: {
            auto entry = parseKeypadEntry(c.entry, c.delayMs);
            if (auto* error = std::get_if<std::string>(&entry)) return "error: " + *error;
            std::string described = describeKeypadEntry(std::get<KeypadEntry>(entry));
            pinpad_->setKeypadEntry(std::move(std::get<KeypadEntry>(entry)));
            return "ok next keypad entry: " + described;
        }
        case ControlCommand::Verb::status:
            return status();
        case ControlCommand::Verb::quit:
            quit_ = true;
            return "ok stopping";
    }
    return "error: unhandled request";
}

std::string SimDaemon::insert(const std::string& label, const std::string& profile, bool replacing) {
    VirtualReader& r = reader(label);
    if (!replacing && r.status().inserted)
        return "error: the " + label + " reader already holds a card (remove it or use swap)";
    std::unique_ptr<CardModel> model;
    try {
        model = loader_(profile, r.config().kind);
        if (!model) throw std::runtime_error("no card model");
    } catch (const std::exception& e) {
        return "error: cannot load the profile " + profile + ": " + e.what();
    }
    std::string note;
    if (replacing && r.remove()) {
        // pcscd must see the reader empty, or it would take the new card for the old one.
        note = confirm(label, false);
    }
    r.insert(std::move(model), profile);
    note += confirm(label, true);
    return "ok " + std::string(replacing ? "swapped " : "inserted ") + profile + " in " + label + note;
}

std::string SimDaemon::remove(const std::string& label) {
    if (!reader(label).remove()) return "error: no card in the " + label + " reader";
    return "ok removed from " + label + confirm(label, false);
}

std::string SimDaemon::confirm(const std::string& label, bool present) {
    if (options_.confirmTimeout.count() == 0) return {};
    const std::string& name = pcscName(label);
    try {
        pcsc::SlotManager slots;
        auto wanted = present ? pcsc::SlotState::cardPresent : pcsc::SlotState::empty;
        auto slot = slots.waitForSlotState(name, wanted, options_.confirmTimeout);
        if (!slot) return " (pcscd has no reader \"" + name + "\")";
        if (slot->state != wanted)
            return std::string(" (pcscd does not show the card ") + (present ? "yet" : "gone yet") + ")";
        return {};
    } catch (const TransportError& e) {
        return std::string(" (pcscd not reachable: ") + e.what() + ")";
    }
}

std::string SimDaemon::reset(const std::string& label) {
    if (!reader(label).status().inserted) return "error: no card in the " + label + " reader";
    // Only pcscd can reset a card so that its other users see it: a connection that leaves the
    // card reset.
    const std::string& name = pcscName(label);
    try {
        auto context = std::make_shared<pcsc::PcscContext>(pcsc::systemPcscApi());
        SCARDHANDLE handle = 0;
        DWORD protocol = 0;
        LONG rv = context->api().connect(context->handle(), name, SCARD_SHARE_SHARED,
                                         SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &handle, &protocol);
        if (rv != SCARD_S_SUCCESS)
            return "error: cannot reach the card in " + name + ": " + std::string(pcsc::pcscErrorName(rv));
        rv = context->api().disconnect(handle, SCARD_RESET_CARD);
        if (rv != SCARD_S_SUCCESS) return "error: pcscd refused the reset: " + std::string(pcsc::pcscErrorName(rv));
    } catch (const TransportError& e) {
        return std::string("error: pcscd not reachable: ") + e.what();
    }
    return "ok reset " + label;
}

std::string SimDaemon::status() {
    std::ostringstream out;
    out << "ok\n";
    for (VirtualReader* r : {contact_.get(), contactless_.get(), pinpad_.get()}) {
        VirtualReader::Status s = r->status();
        const auto& config = r->config();
        out << config.label << ": ";
        if (!s.inserted) {
            out << "empty";
        } else {
            out << "card " << s.profile << " (" << (s.connected ? "connected" : "waiting for pcscd") << ", "
                << (s.powered ? "powered" : "unpowered") << ", hostile " << (s.hostile ? "on" : "off") << ", "
                << s.apdus << " APDUs)";
        }
        if (config.keypad) out << ", next keypad entry " << s.keypad;
        out << " [port " << config.port << ", reader \"" << pcscName(config.label) << "\"]\n";
    }
    return out.str();
}

}  // namespace qel::sim
