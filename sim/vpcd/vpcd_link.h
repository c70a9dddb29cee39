#pragma once
#include <cstdint>
#include <string>

#include "common/bytes.h"

namespace qel::sim {

/// Messages between pcscd's virtual reader driver and a virtual card: a 2-byte big-endian length,
/// then the payload. From the driver, a 1-byte payload is a control code, anything longer a command
/// APDU; the card answers ATR requests and APDUs with one message each.
namespace vpcd {
inline constexpr std::uint8_t kPowerOff = 0x00;
inline constexpr std::uint8_t kPowerOn = 0x01;
inline constexpr std::uint8_t kReset = 0x02;
inline constexpr std::uint8_t kAtrRequest = 0x04;
inline constexpr std::size_t kMaxPayload = 0xFFFF;
}  // namespace vpcd

/// A connected TCP socket, closed on destruction.
class SocketFd {
public:
    SocketFd() = default;
    explicit SocketFd(int fd) : fd_(fd) {}
    ~SocketFd();
    SocketFd(SocketFd&& other) noexcept : fd_(other.release()) {}
    SocketFd& operator=(SocketFd&& other) noexcept;
    SocketFd(const SocketFd&) = delete;
    SocketFd& operator=(const SocketFd&) = delete;

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_ = -1;
};

/// Connects to host:port (numeric IPv4 or IPv6 address). An invalid SocketFd when refused;
/// `error` then says why.
SocketFd connectTcp(const std::string& host, std::uint16_t port, std::string& error);

enum class ReadResult { message, woken, closed, failed };

/// Waits for the next message on `fd`, or for `wakeFd` (an eventfd, drained here) to be signalled.
/// A message that starts must arrive whole within a few seconds, else the read fails.
ReadResult readMessage(int fd, int wakeFd, Bytes& payload);

/// Sends one message; false when the payload is too long or the connection failed.
bool writeMessage(int fd, const Bytes& payload);

}  // namespace qel::sim
