#pragma once
#include <chrono>
#include <cstdint>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "sim/vpcd/control_command.h"
#include "sim/vpcd/virtual_reader.h"

namespace qel::sim {

/// Makes the card of a profile folder as seen in a reader of a kind. Throws std::runtime_error.
using CardModelLoader = std::function<std::unique_ptr<CardModel>(const std::string& profileDir, ReaderKind)>;

struct SimDaemonOptions {
    std::string runDir;  ///< holds control.sock, qelcard-sim.pid, qelcard-sim.log
    std::string host = "127.0.0.1";
    std::uint16_t contactPort = 35963;
    std::uint16_t contactlessPort = 35964;
    /// The keypad reader's driver (not the virtual reader driver) listens here.
    std::uint16_t pinpadPort = 35965;
    /// pcscd's names of the two readers, used to confirm insertions and removals and to reset.
    std::string contactReader = "Virtual PCD 00 00";
    std::string contactlessReader = "Virtual PCD 00 01";
    std::string pinpadReader = "Virtual PinPad 00 00";
    std::string contactProfile;      ///< inserted at start when not empty
    std::string contactlessProfile;  ///< likewise
    /// How long insert/remove/swap wait for pcscd to see the change (0: do not ask pcscd).
    std::chrono::milliseconds confirmTimeout{3000};
    /// Where the lock file that guards the port pair lives; empty: the run folder. The ports are one
    /// network namespace's: a testbed beside the machine's pcscd names a folder every run shares.
    std::string lockDir;
};

/// The card daemon: two virtual readers and the control socket that inserts, removes and swaps
/// their cards. Only one daemon may serve a pair of ports on a machine: a second one refuses to
/// start (a lock file, in the run folder unless named, names the first one's pid).
class SimDaemon {
public:
    /// Takes the port pair's lock, writes the pid file, opens the log and the control socket.
    /// Throws std::runtime_error with a clear message when any of that fails.
    SimDaemon(SimDaemonOptions options, CardModelLoader loader);
    ~SimDaemon();
    SimDaemon(const SimDaemon&) = delete;
    SimDaemon& operator=(const SimDaemon&) = delete;

    /// Inserts the start profiles, then serves control requests until "quit" or requestStop().
    void run();
    /// Makes run() return soon; callable from any thread and from a signal handler.
    void requestStop();

    /// Handles one request line and returns the answer (also used by run()).
    std::string handleRequest(const std::string& line);

    void log(const std::string& line);

private:
    VirtualReader& reader(const std::string& label);
    const std::string& pcscName(const std::string& label) const;
    std::string insert(const std::string& label, const std::string& profile, bool replacing);
    std::string remove(const std::string& label);
    std::string reset(const std::string& label);
    std::string status();
    std::string confirm(const std::string& label, bool present);
    void serveClient(int fd);

    SimDaemonOptions options_;
    CardModelLoader loader_;
    std::mutex logMutex_;
    std::ofstream log_;
    int lockFd_ = -1;
    int listenFd_ = -1;
    int stopFd_ = -1;
    bool quit_ = false;
    std::unique_ptr<VirtualReader> contact_;
    std::unique_ptr<VirtualReader> contactless_;
    std::unique_ptr<VirtualReader> pinpad_;
};

}  // namespace qel::sim
