#include "sim/vpcd/vpcd_link.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace qel::sim {

namespace {

// How long the rest of a message may take once its first byte arrived.
constexpr int kMessageTimeoutMs = 5000;

// pcscd's reader driver writes a message's length and its payload in two sends, so Nagle's rule on
// its side holds the payload until our ACK of the length arrives, and a delayed ACK costs up to
// 40 ms per message. Linux clears quick-ACK mode on its own, so it is asked for again after every
// receive.
void ackPromptly(int fd) {
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
}

bool readExactly(int fd, std::uint8_t* buffer, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        pollfd p{fd, POLLIN, 0};
        int n = ::poll(&p, 1, kMessageTimeoutMs);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        ssize_t got = ::recv(fd, buffer + done, size - done, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        ackPromptly(fd);
        done += static_cast<std::size_t>(got);
    }
    return true;
}

}  // namespace

SocketFd::~SocketFd() {
    if (fd_ >= 0) ::close(fd_);
}

SocketFd& SocketFd::operator=(SocketFd&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = other.release();
    }
    return *this;
}

SocketFd connectTcp(const std::string& host, std::uint16_t port, std::string& error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    std::string service = std::to_string(port);
    int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
    if (rc != 0) {
        error = std::string("bad address ") + host + ": " + gai_strerror(rc);
        return SocketFd();
    }
    SocketFd result;
    error = "no address";
    for (addrinfo* a = found; a; a = a->ai_next) {
        SocketFd fd(::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol));
        if (!fd) {
            error = std::strerror(errno);
            continue;
        }
        if (::connect(fd.get(), a->ai_addr, a->ai_addrlen) == 0) {
            int one = 1;
            ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            ackPromptly(fd.get());
            result = std::move(fd);
            break;
        }
        error = std::strerror(errno);
    }
    ::freeaddrinfo(found);
    return result;
}

ReadResult readMessage(int fd, int wakeFd, Bytes& payload) {
    for (;;) {
        pollfd p[2] = {{fd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
        int n = ::poll(p, 2, -1);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return ReadResult::failed;
        if (p[1].revents & POLLIN) {
            eventfd_t ignored;
            ::eventfd_read(wakeFd, &ignored);
            return ReadResult::woken;
        }
        if (p[0].revents & (POLLIN | POLLHUP | POLLERR)) break;
    }
    std::uint8_t header[2];
    ssize_t got;
    do {
        got = ::recv(fd, header, 1, 0);
    } while (got < 0 && errno == EINTR);
    if (got == 0) return ReadResult::closed;
    if (got < 0) return ReadResult::failed;
    ackPromptly(fd);
    if (!readExactly(fd, header + 1, 1)) return ReadResult::failed;
    std::size_t size = static_cast<std::size_t>(header[0]) << 8 | header[1];
    payload.assign(size, 0);
    if (size > 0 && !readExactly(fd, payload.data(), size)) return ReadResult::failed;
    return ReadResult::message;
}

bool writeMessage(int fd, const Bytes& payload) {
    if (payload.size() > vpcd::kMaxPayload) return false;
    Bytes message;
    message.reserve(payload.size() + 2);
    message.push_back(static_cast<std::uint8_t>(payload.size() >> 8));
    message.push_back(static_cast<std::uint8_t>(payload.size() & 0xFF));
    message.insert(message.end(), payload.begin(), payload.end());
    std::size_t done = 0;
    while (done < message.size()) {
        ssize_t sent = ::send(fd, message.data() + done, message.size() - done, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        if (sent <= 0) return false;
        done += static_cast<std::size_t>(sent);
    }
    return true;
}

}  // namespace qel::sim
