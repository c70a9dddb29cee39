// The testbed's keypad reader: a reader driver pcscd loads (reader.conf.d entry) that listens for the
// card daemon like the virtual reader driver does, and answers the keypad features. The "typed"
// digits come from the card daemon, which `qelcard-ctl pinpad ENTRY` tells what the next entry is.
// The driver interface is C without a guard for C++.
extern "C" {
#include <ifdhandler.h>
#include <reader.h>
}
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "card/pin_pad.h"
#include "common/secret_bytes.h"
#include "sim/pinpad/keypad_entry.h"

namespace {

using qel::Bytes;
using qel::SecretBytes;

constexpr std::uint8_t kPowerOff = 0x00, kPowerOn = 0x01, kReset = 0x02, kAtrRequest = 0x04;
constexpr int kAnswerTimeoutMs = 10000;
constexpr DWORD kVerifyCode = SCARD_CTL_CODE(3500 + FEATURE_VERIFY_PIN_DIRECT);
constexpr DWORD kModifyCode = SCARD_CTL_CODE(3500 + FEATURE_MODIFY_PIN_DIRECT);
constexpr DWORD kPropertiesCode = SCARD_CTL_CODE(3500 + FEATURE_IFD_PIN_PROPERTIES);

static_assert(sizeof(PIN_VERIFY_STRUCTURE) == qel::pinpad::kVerifyHeaderSize);
static_assert(sizeof(PIN_MODIFY_STRUCTURE) == qel::pinpad::kModifyHeaderSize);

struct Reader {
    int listenFd = -1;
    int cardFd = -1;
    Bytes atr;
};

std::mutex g_mutex;
std::map<DWORD, Reader> g_readers;

void closeCard(Reader& r) {
    if (r.cardFd >= 0) ::close(r.cardFd);
    r.cardFd = -1;
    r.atr.clear();
}

bool readAll(int fd, std::uint8_t* buffer, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        pollfd p{fd, POLLIN, 0};
        int n = ::poll(&p, 1, kAnswerTimeoutMs);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        ssize_t got = ::recv(fd, buffer + done, size - done, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        done += static_cast<std::size_t>(got);
    }
    return true;
}

bool sendMessage(Reader& r, const std::uint8_t* data, std::size_t size) {
    if (r.cardFd < 0 || size > 0xFFFF) return false;
    std::vector<std::uint8_t> message(size + 2);
    message[0] = static_cast<std::uint8_t>(size >> 8);
    message[1] = static_cast<std::uint8_t>(size & 0xFF);
    if (size > 0) std::memcpy(message.data() + 2, data, size);
    std::size_t done = 0;
    while (done < message.size()) {
        ssize_t sent = ::send(r.cardFd, message.data() + done, message.size() - done, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        if (sent <= 0) {
            qel::wipe(message);
            closeCard(r);
            return false;
        }
        done += static_cast<std::size_t>(sent);
    }
    // The message may hold a PIN block.
    qel::wipe(message);
    return true;
}

bool exchange(Reader& r, const std::uint8_t* data, std::size_t size, Bytes& answer) {
    if (!sendMessage(r, data, size)) return false;
    std::uint8_t header[2];
    if (!readAll(r.cardFd, header, 2)) {
        closeCard(r);
        return false;
    }
    answer.assign(static_cast<std::size_t>(header[0]) << 8 | header[1], 0);
    if (!answer.empty() && !readAll(r.cardFd, answer.data(), answer.size())) {
        closeCard(r);
        return false;
    }
    return true;
}

bool control(Reader& r, std::uint8_t code) { return sendMessage(r, &code, 1); }

// Accepts the card daemon when it is waiting, and notices when it left.
bool cardPresent(Reader& r) {
    if (r.cardFd >= 0) {
        pollfd p{r.cardFd, POLLIN, 0};
        if (::poll(&p, 1, 0) > 0) {
            char c;
            ssize_t got = ::recv(r.cardFd, &c, 1, MSG_PEEK | MSG_DONTWAIT);
            if (got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) closeCard(r);
        }
    }
    if (r.cardFd < 0 && r.listenFd >= 0) {
        int fd = ::accept4(r.listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd >= 0) {
            // Blocking from here on: every exchange waits for its answer under a poll timeout.
            int one = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            int flags = ::fcntl(fd, F_GETFL);
            ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
            r.cardFd = fd;
        }
    }
    return r.cardFd >= 0;
}

RESPONSECODE openChannel(DWORD lun, int port) {
    if (port <= 0 || port > 0xFFFF) return IFD_COMMUNICATION_ERROR;
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return IFD_COMMUNICATION_ERROR;
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 1) != 0) {
        ::close(fd);
        return IFD_COMMUNICATION_ERROR;
    }
    std::lock_guard lock(g_mutex);
    Reader& r = g_readers[lun];
    closeCard(r);
    if (r.listenFd >= 0) ::close(r.listenFd);
    r.listenFd = fd;
    return IFD_SUCCESS;
}

RESPONSECODE answer(const Bytes& data, PUCHAR out, DWORD outLength, LPDWORD returned) {
    *returned = 0;
    if (data.size() > outLength) return IFD_ERROR_INSUFFICIENT_BUFFER;
    if (!data.empty()) std::memcpy(out, data.data(), data.size());
    *returned = static_cast<DWORD>(data.size());
    return IFD_SUCCESS;
}

Bytes statusWord(std::uint16_t sw) { return {static_cast<std::uint8_t>(sw >> 8), static_cast<std::uint8_t>(sw)}; }

// One keypad entry: asks the card daemon what the holder types, waits as long as the typing takes,
// and sends the command built from it. The answer is the card's, or the keypad's own 64xx.
RESPONSECODE keypadEntry(Reader& r, const Bytes& structure, bool modify, PUCHAR out, DWORD outLength,
                         LPDWORD returned) {
    auto parsed = modify ? qel::parseModifyStructure(structure) : qel::parseVerifyStructure(structure);
    if (!std::holds_alternative<qel::PinEntryRequest>(parsed)) return IFD_NOT_SUPPORTED;
    const auto& request = std::get<qel::PinEntryRequest>(parsed);
    if (!cardPresent(r)) return IFD_ICC_NOT_PRESENT;

    const std::uint8_t ask = qel::sim::kKeypadRequest;
    Bytes text;
    if (!exchange(r, &ask, 1, text)) return IFD_COMMUNICATION_ERROR;
    qel::sim::KeypadEntry entry = qel::sim::parseKeypadAnswer(text);
    qel::wipe(text);
    if (entry.delay.count() > 0) std::this_thread::sleep_for(entry.delay);
    switch (entry.kind) {
        case qel::sim::KeypadEntry::Kind::cancel:
            return answer(statusWord(qel::sw::pinPadCancelled), out, outLength, returned);
        case qel::sim::KeypadEntry::Kind::none:
        case qel::sim::KeypadEntry::Kind::timeout:
            return answer(statusWord(qel::sw::pinPadTimeout), out, outLength, returned);
        case qel::sim::KeypadEntry::Kind::digits:
            break;
    }
    static const SecretBytes kNothing;
    const bool askCurrent = !modify || (request.confirm & 0x02);
    std::size_t next = 0;
    auto take = [&]() -> const SecretBytes& { return next < entry.groups.size() ? entry.groups[next++] : kNothing; };
    const SecretBytes& oldDigits = askCurrent ? take() : kNothing;
    const SecretBytes& newDigits = modify ? take() : kNothing;
    if (modify && (request.confirm & 0x01)) {
        const SecretBytes& again = next < entry.groups.size() ? entry.groups[next] : newDigits;
        if (again.view() != newDigits.view())
            return answer(statusWord(qel::sw::pinPadEntriesDiffer), out, outLength, returned);
    }
    auto command = qel::fillPinCommand(request, oldDigits, newDigits);
    if (auto* sw = std::get_if<std::uint16_t>(&command)) return answer(statusWord(*sw), out, outLength, returned);
    const SecretBytes& apdu = std::get<SecretBytes>(command);
    Bytes card;
    if (!exchange(r, apdu.data(), apdu.size(), card)) return IFD_COMMUNICATION_ERROR;
    if (card.size() < 2) return IFD_COMMUNICATION_ERROR;
    return answer(card, out, outLength, returned);
}

}  // namespace

extern "C" {

RESPONSECODE IFDHCreateChannelByName(DWORD Lun, LPSTR DeviceName) {
    // DEVICENAME is "anything:PORT"; the port is the one the card daemon connects to.
    const char* colon = DeviceName ? std::strrchr(DeviceName, ':') : nullptr;
    if (!colon) return IFD_COMMUNICATION_ERROR;
    return openChannel(Lun, static_cast<int>(std::strtol(colon + 1, nullptr, 0)));
}

RESPONSECODE IFDHCreateChannel(DWORD Lun, DWORD Channel) { return openChannel(Lun, static_cast<int>(Channel)); }

RESPONSECODE IFDHCloseChannel(DWORD Lun) {
    std::lock_guard lock(g_mutex);
    auto it = g_readers.find(Lun);
    if (it == g_readers.end()) return IFD_SUCCESS;
    closeCard(it->second);
    if (it->second.listenFd >= 0) ::close(it->second.listenFd);
    g_readers.erase(it);
    return IFD_SUCCESS;
}

RESPONSECODE IFDHGetCapabilities(DWORD Lun, DWORD Tag, PDWORD Length, PUCHAR Value) {
    std::lock_guard lock(g_mutex);
    auto it = g_readers.find(Lun);
    if (it == g_readers.end() || !Length || !Value) return IFD_COMMUNICATION_ERROR;
    switch (Tag) {
        case TAG_IFD_ATR:
            if (*Length < it->second.atr.size()) return IFD_ERROR_INSUFFICIENT_BUFFER;
            if (!it->second.atr.empty()) std::memcpy(Value, it->second.atr.data(), it->second.atr.size());
            *Length = static_cast<DWORD>(it->second.atr.size());
            return IFD_SUCCESS;
        case TAG_IFD_SLOTS_NUMBER:
        case TAG_IFD_SIMULTANEOUS_ACCESS:
            if (*Length < 1) return IFD_ERROR_INSUFFICIENT_BUFFER;
            *Value = 1;
            *Length = 1;
            return IFD_SUCCESS;
        case TAG_IFD_THREAD_SAFE:
        case TAG_IFD_SLOT_THREAD_SAFE:
            if (*Length < 1) return IFD_ERROR_INSUFFICIENT_BUFFER;
            *Value = 0;
            *Length = 1;
            return IFD_SUCCESS;
        default:
            return IFD_ERROR_TAG;
    }
}

RESPONSECODE IFDHSetCapabilities(DWORD, DWORD, DWORD, PUCHAR) { return IFD_NOT_SUPPORTED; }

RESPONSECODE IFDHSetProtocolParameters(DWORD, DWORD Protocol, UCHAR, UCHAR, UCHAR, UCHAR) {
    return Protocol == SCARD_PROTOCOL_T0 || Protocol == SCARD_PROTOCOL_T1 ? IFD_SUCCESS : IFD_PROTOCOL_NOT_SUPPORTED;
}

RESPONSECODE IFDHPowerICC(DWORD Lun, DWORD Action, PUCHAR Atr, PDWORD AtrLength) {
    std::lock_guard lock(g_mutex);
    auto it = g_readers.find(Lun);
    if (it == g_readers.end()) return IFD_COMMUNICATION_ERROR;
    Reader& r = it->second;
    if (AtrLength) *AtrLength = 0;
    if (!cardPresent(r)) return IFD_ERROR_POWER_ACTION;
    if (Action == IFD_POWER_DOWN) {
        r.atr.clear();
        return control(r, kPowerOff) ? IFD_SUCCESS : IFD_ERROR_POWER_ACTION;
    }
    if (Action != IFD_POWER_UP && Action != IFD_RESET) return IFD_NOT_SUPPORTED;
    if (!control(r, Action == IFD_RESET ? kReset : kPowerOn)) return IFD_ERROR_POWER_ACTION;
    const std::uint8_t ask = kAtrRequest;
    Bytes atr;
    if (!exchange(r, &ask, 1, atr) || atr.empty() || atr.size() > MAX_ATR_SIZE) return IFD_ERROR_POWER_ACTION;
    r.atr = atr;
    if (Atr && AtrLength) {
        std::memcpy(Atr, atr.data(), atr.size());
        *AtrLength = static_cast<DWORD>(atr.size());
    }
    return IFD_SUCCESS;
}

RESPONSECODE IFDHTransmitToICC(DWORD Lun, SCARD_IO_HEADER, PUCHAR TxBuffer, DWORD TxLength, PUCHAR RxBuffer,
                               PDWORD RxLength, PSCARD_IO_HEADER) {
    std::lock_guard lock(g_mutex);
    auto it = g_readers.find(Lun);
    if (it == g_readers.end() || !RxLength) return IFD_COMMUNICATION_ERROR;
    Bytes card;
    const DWORD room = *RxLength;
    *RxLength = 0;
    if (!TxBuffer || TxLength == 0 || !exchange(it->second, TxBuffer, TxLength, card)) return IFD_COMMUNICATION_ERROR;
    if (card.size() > room) return IFD_ERROR_INSUFFICIENT_BUFFER;
    std::memcpy(RxBuffer, card.data(), card.size());
    *RxLength = static_cast<DWORD>(card.size());
    qel::wipe(card);
    return IFD_SUCCESS;
}

RESPONSECODE IFDHControl(DWORD Lun, DWORD dwControlCode, PUCHAR TxBuffer, DWORD TxLength, PUCHAR RxBuffer,
                         DWORD RxLength, LPDWORD pdwBytesReturned) {
    if (!pdwBytesReturned) return IFD_COMMUNICATION_ERROR;
    *pdwBytesReturned = 0;
    std::lock_guard lock(g_mutex);
    auto it = g_readers.find(Lun);
    if (it == g_readers.end()) return IFD_COMMUNICATION_ERROR;
    try {
        if (dwControlCode == CM_IOCTL_GET_FEATURE_REQUEST) {
            qel::PinPadFeatures features;
            features.verifyPinDirect = kVerifyCode;
            features.modifyPinDirect = kModifyCode;
            features.pinProperties = kPropertiesCode;
            return answer(qel::encodeFeatureList(features), RxBuffer, RxLength, pdwBytesReturned);
        }
        if (dwControlCode == kPropertiesCode) {
            // No display; the entry ends with the OK key; 30 s after the first key.
            return answer(Bytes{0x00, 0x00, 0x02, 0x1E}, RxBuffer, RxLength, pdwBytesReturned);
        }
        if (dwControlCode == kVerifyCode || dwControlCode == kModifyCode) {
            Bytes structure(TxBuffer, TxBuffer + (TxBuffer ? TxLength : 0));
            return keypadEntry(it->second, structure, dwControlCode == kModifyCode, RxBuffer, RxLength,
                               pdwBytesReturned);
        }
    } catch (...) {
        // Nothing may leave a driver as an exception: pcscd is C.
        return IFD_COMMUNICATION_ERROR;
    }
    return IFD_ERROR_NOT_SUPPORTED;
}

RESPONSECODE IFDHICCPresence(DWORD Lun) {
    std::lock_guard lock(g_mutex);
    auto it = g_readers.find(Lun);
    if (it == g_readers.end()) return IFD_COMMUNICATION_ERROR;
    return cardPresent(it->second) ? IFD_ICC_PRESENT : IFD_ICC_NOT_PRESENT;
}

}  // extern "C"
