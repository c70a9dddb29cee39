#include "sim/vpcd/virtual_reader.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <stdexcept>

#include "common/hex.h"
#include "sim/vpcd/vpcd_link.h"

namespace qel::sim {

namespace {
constexpr std::chrono::milliseconds kFirstRetry{100};
constexpr std::chrono::milliseconds kMaxRetry{2000};
}  // namespace

VirtualReader::VirtualReader(Config config) : config_(std::move(config)) {
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd_ < 0) throw std::runtime_error("eventfd failed");
    thread_ = std::thread([this] { run(); });
}

VirtualReader::~VirtualReader() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake();
    thread_.join();
    ::close(wakeFd_);
}

void VirtualReader::log(const std::string& line) const {
    if (config_.log) config_.log(config_.label + ": " + line);
}

void VirtualReader::wake() {
    changed_.notify_all();
    ::eventfd_write(wakeFd_, 1);
}

void VirtualReader::insert(std::unique_ptr<CardModel> model, std::string profile) {
    {
        std::lock_guard lock(mutex_);
        model_ = std::move(model);
        model_->powerOn();
        profile_ = std::move(profile);
        apdus_ = 0;
        faults_ = ReaderFaults();
        ++generation_;
    }
    log("card inserted");
    wake();
}

bool VirtualReader::remove() {
    {
        std::lock_guard lock(mutex_);
        if (!model_) return false;
        model_.reset();
        profile_.clear();
        ++generation_;
    }
    log("card removed");
    wake();
    return true;
}

void VirtualReader::setHostile(bool on) {
    std::lock_guard lock(mutex_);
    hostile_ = on;
    faults_ = ReaderFaults();
}

void VirtualReader::setKeypadEntry(KeypadEntry entry) {
    std::lock_guard lock(mutex_);
    keypadEntry_ = std::move(entry);
}

VirtualReader::Status VirtualReader::status() const {
    std::lock_guard lock(mutex_);
    return Status{model_ != nullptr,
                  profile_,
                  connected_,
                  powered_,
                  hostile_,
                  apdus_,
                  config_.keypad ? describeKeypadEntry(keypadEntry_) : std::string()};
}

void VirtualReader::run() {
    std::unique_lock lock(mutex_);
    auto pause = kFirstRetry;
    std::string lastError;
    while (!stopping_) {
        changed_.wait(lock, [this] { return stopping_ || model_; });
        if (stopping_) break;
        std::uint64_t generation = generation_;
        lock.unlock();
        std::string error;
        SocketFd fd = connectTcp(config_.host, config_.port, error);
        lock.lock();
        if (!fd) {
            if (error != lastError)
                log("cannot reach pcscd on port " + std::to_string(config_.port) + ": " + error + ", retrying");
            lastError = error;
            changed_.wait_for(lock, pause, [&] { return stopping_ || generation_ != generation; });
            pause = std::min(pause * 2, kMaxRetry);
            continue;
        }
        if (stopping_ || generation_ != generation) continue;
        pause = kFirstRetry;
        lastError.clear();
        connected_ = true;
        lock.unlock();
        log("connected to port " + std::to_string(config_.port));
        serve(fd.get(), generation);
        fd = SocketFd();
        lock.lock();
        connected_ = false;
        powered_ = false;
        if (!stopping_ && generation_ == generation) {
            // pcscd went away with the card still in: connect again once it is back.
            log("connection closed by pcscd, reconnecting");
            changed_.wait_for(lock, kFirstRetry, [&] { return stopping_ || generation_ != generation; });
        }
    }
}

void VirtualReader::serve(int fd, std::uint64_t generation) {
    Bytes message;
    for (;;) {
        ReadResult r = readMessage(fd, wakeFd_, message);
        if (r == ReadResult::woken) {
            std::lock_guard lock(mutex_);
            if (stopping_ || generation_ != generation) return;
            continue;
        }
        if (r != ReadResult::message) return;
        Bytes answer;
        {
            std::lock_guard lock(mutex_);
            if (stopping_ || generation_ != generation) return;
            if (!handle(message, answer)) continue;
        }
        const bool sent = writeMessage(fd, answer);
        // A keypad answer carries the typed digits, a command's answer may carry a deciphered block.
        wipe(answer);
        wipe(message);
        if (!sent) return;
    }
}

// Called with the lock held. Returns whether `answer` must be sent.
bool VirtualReader::handle(const Bytes& message, Bytes& answer) {
    if (message.empty()) {
        log("empty message from the driver ignored");
        return false;
    }
    if (message.size() == 1) {
        switch (message[0]) {
            case vpcd::kPowerOff:
                powered_ = false;
                return false;
            case vpcd::kPowerOn:
            case vpcd::kReset:
                model_->powerOn();
                faults_ = ReaderFaults();
                powered_ = true;
                log(message[0] == vpcd::kReset ? "reset" : "power on");
                return false;
            case vpcd::kAtrRequest:
                answer = model_->atr();
                return true;
            case kKeypadRequest:
                if (!config_.keypad) break;
                {
                    log("keypad entry: " + describeKeypadEntry(keypadEntry_));
                    SecretBytes text = encodeKeypadAnswer(keypadEntry_);
                    answer.assign(text.begin(), text.end());
                    keypadEntry_ = KeypadEntry();
                }
                return true;
            default:
                break;
        }
        log("unknown control code " + toHex(message) + " ignored");
        return false;
    }
    try {
        answer = model_->processApdu(message);
    } catch (const std::exception& e) {
        log(std::string("card model failed: ") + e.what());
        answer = {0x6F, 0x00};
    }
    if (hostile_) answer = faults_.spoil(answer);
    if (answer.size() > vpcd::kMaxPayload) answer = {0x6F, 0x00};
    ++apdus_;
    log("> " + loggableCommand(message) + "  < " + toHex(answer));
    return true;
}

}  // namespace qel::sim
