// Several programs on one card while it is pulled out and put back: two processes that sign through
// Sigilla, one that signs through the issuer's library, and one that runs `qel info`, each for a
// bounded number of rounds. Every round ends in a success or a clear error: no crash, no bad
// signature, no empty summary, and no "no token" for a card that stayed in the reader. (A hang is
// the test's time-out.) The counts per program and outcome are printed for the record.
#include <PCSC/winscard.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "sim/card/profile.h"
#include "tests/support/testbed_client.h"
#include "tests/token/integration_support.h"

namespace qel {
namespace {

using sigillatest::LoadedModule;

const std::string kReader = testbed::kContactReader;
// The number of times the card is pulled while the programs run, and the most rounds each program
// may take: they go on until the driver is done, so a fast program never ends before the last pull.
constexpr int kPulls = 10;
constexpr int kSignatureRounds = 1000;
constexpr int kInfoRounds = 200;

/// An outcome is a success ("ok ..."), a clear error ("clean ...") or a fault ("fault ...").
bool isFault(const std::string& outcome) { return outcome.rfind("fault", 0) == 0; }

/// The card in the reader as pcscd counts its insertions: a card that is present at two moments
/// with the same count stayed in the reader between them (a reset does not count as an insertion).
struct Insertion {
    bool present = false;
    DWORD count = 0;
    DWORD state = SCARD_STATE_UNAWARE;  ///< as pcscd gave it
    bool sameAs(const Insertion& other) const { return present && other.present && count == other.count; }
};

class ReaderWatch {
public:
    ReaderWatch() { SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context_); }
    ~ReaderWatch() { SCardReleaseContext(context_); }
    ReaderWatch(const ReaderWatch&) = delete;
    ReaderWatch& operator=(const ReaderWatch&) = delete;
    Insertion now() const {
        SCARD_READERSTATE state{};
        state.szReader = kReader.c_str();
        state.dwCurrentState = SCARD_STATE_UNAWARE;
        if (SCardGetStatusChange(context_, 0, &state, 1) != SCARD_S_SUCCESS) return {};
        return {(state.dwEventState & SCARD_STATE_PRESENT) != 0, state.dwEventState >> 16, state.dwEventState};
    }
    /// Waits for the reader to change from `seen` (a round that found no card waits for the next one,
    /// rather than spend its rounds on an empty reader).
    void waitForChange(const Insertion& seen) const {
        SCARD_READERSTATE state{};
        state.szReader = kReader.c_str();
        state.dwCurrentState = seen.state & ~SCARD_STATE_CHANGED;
        SCardGetStatusChange(context_, INFINITE, &state, 1);
    }

private:
    SCARDCONTEXT context_ = 0;
};

std::string codeName(CK_RV rv) {
    static const std::map<CK_RV, const char*> names{
        {CKR_DEVICE_ERROR, "CKR_DEVICE_ERROR"},
        {CKR_DEVICE_REMOVED, "CKR_DEVICE_REMOVED"},
        {CKR_TOKEN_NOT_PRESENT, "CKR_TOKEN_NOT_PRESENT"},
        {CKR_TOKEN_NOT_RECOGNIZED, "CKR_TOKEN_NOT_RECOGNIZED"},
        {CKR_SESSION_HANDLE_INVALID, "CKR_SESSION_HANDLE_INVALID"},
        {CKR_SESSION_CLOSED, "CKR_SESSION_CLOSED"},
        {CKR_USER_NOT_LOGGED_IN, "CKR_USER_NOT_LOGGED_IN"},
        {CKR_KEY_HANDLE_INVALID, "CKR_KEY_HANDLE_INVALID"},
        {CKR_OBJECT_HANDLE_INVALID, "CKR_OBJECT_HANDLE_INVALID"},
        {CKR_FUNCTION_FAILED, "CKR_FUNCTION_FAILED"},
        {CKR_DEVICE_MEMORY, "CKR_DEVICE_MEMORY"},
    };
    auto it = names.find(rv);
    if (it != names.end()) return it->second;
    char text[32];
    std::snprintf(text, sizeof text, "0x%lX", static_cast<unsigned long>(rv));
    return text;
}

/// A failed call: a clear error when PKCS#11 names the state of a card pulled, reset or forgotten,
/// a fault for any other code (a correct PIN refused, a bad argument, a general error).
std::string failed(const char* step, CK_RV rv) {
    switch (rv) {
        case CKR_DEVICE_ERROR:
        case CKR_DEVICE_REMOVED:
        case CKR_TOKEN_NOT_PRESENT:
        case CKR_TOKEN_NOT_RECOGNIZED:
        case CKR_SESSION_HANDLE_INVALID:
        case CKR_SESSION_CLOSED:
        case CKR_USER_NOT_LOGGED_IN:
        case CKR_KEY_HANDLE_INVALID:
        case CKR_OBJECT_HANDLE_INVALID:
        case CKR_FUNCTION_FAILED:
        case CKR_DEVICE_MEMORY:
            return std::string("clean ") + step + " " + codeName(rv);
        default:
            return std::string("fault ") + step + " " + codeName(rv);
    }
}

/// One round of a program that signs: initialise, log in with the PIN, sign with the authentication
/// key, verify against its certificate, log out, finalise.
std::string signingSteps(LoadedModule& module, const ReaderWatch& watch, const Insertion& before,
                         const std::string& pin, int round) {
    CK_C_INITIALIZE_ARGS args{};
    args.flags = CKF_OS_LOCKING_OK;
    if (CK_RV rv = module->C_Initialize(&args); rv != CKR_OK) return "fault C_Initialize " + codeName(rv);
    struct Finalize {
        LoadedModule& module;
        ~Finalize() { module->C_Finalize(nullptr); }
    } finalize{module};
    const CK_SLOT_ID slot = module.slotOfReader(kReader);
    if (slot == sigillatest::kNoSlot)
        return watch.now().sameAs(before) ? "fault no token for a card present throughout" : "clean no token";
    CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
    if (CK_RV rv = module->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &session); rv != CKR_OK)
        return failed("C_OpenSession", rv);
    std::string code = pin;
    if (CK_RV rv = module->C_Login(session, CKU_USER, reinterpret_cast<CK_UTF8CHAR_PTR>(code.data()), code.size());
        rv != CKR_OK)
        return failed("C_Login", rv);
    std::string outcome;
    const CK_OBJECT_HANDLE key = module.authenticationKey(session);
    const Bytes certificate = key == CK_INVALID_HANDLE ? Bytes{} : module.certificateFor(session, key);
    if (certificate.empty()) {
        // A login that another program's reset undid leaves the session public: its keys are hidden.
        outcome = "clean no authentication key listed";
    } else {
        const Bytes data{static_cast<std::uint8_t>(round), 0x51, 0x45, 0x4C};
        Bytes signature;
        const CK_RV rv = module.signSha256(session, key, data, signature);
        if (rv != CKR_OK)
            outcome = failed("C_Sign", rv);
        else
            outcome = sigillatest::verifySha256(certificate, data, signature) ? "ok signed" : "fault bad signature";
    }
    module->C_Logout(session);
    module->C_CloseSession(session);
    return outcome;
}

std::string signingRound(LoadedModule& module, const ReaderWatch& watch, const std::string& pin, int round) {
    const Insertion before = watch.now();
    const std::string outcome = signingSteps(module, watch, before, pin, round);
    if (outcome.rfind("clean", 0) != 0 || outcome == "clean no token") return outcome;
    // Which errors came with the card left in the reader all along (another program reset it).
    return outcome + (watch.now().sameAs(before) ? " (card in)" : " (card pulled)");
}

/// One `qel info`: a summary with the holder and the card number, or a clean failure (no card, or
/// a card that could not be read).
std::string infoRound() {
    const std::string command = std::string("'") + std::getenv("QEL_CLI") + "' info '--reader=" + kReader + "' 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return "fault popen";
    std::string out;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe)) out += buffer;
    const int status = pclose(pipe);
    if (WIFSIGNALED(status)) return "fault qel info killed by signal " + std::to_string(WTERMSIG(status));
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    auto filled = [&](const std::string& head) {
        const auto at = out.find(head);
        return at != std::string::npos && out.size() > at + head.size() && out[at + head.size()] != '\n';
    };
    if (code == 0)
        return filled("Holder:      ") && filled("Card number: ") ? "ok summary" : "fault empty summary: " + out;
    if (code == 4) return "clean exit 4 (no card)";
    if (code == 1) return "clean exit 1 (could not read)";
    return "fault exit " + std::to_string(code) + ": " + out;
}

enum class Kind { sigilla, issuer, info };

/// A program of its own: waits for the go, then writes one line per round to `out`.
struct LoopProcess {
    LoopProcess(std::string n, Kind k, int r) : name(std::move(n)), kind(k), rounds(r) {}
    std::string name;
    Kind kind;
    int rounds;
    pid_t pid = -1;
    int out = -1;
    int go = -1;
    std::string partial;
    int done = 0;
    bool ended = false;
    std::map<std::string, int> outcomes;
    std::vector<std::string> faults;
};

[[noreturn]] void runLoop(const LoopProcess& loop, int goFd, int outFd, const std::string& pin) {
    auto say = [&](std::string line) {
        for (char& c : line)
            if (c == '\n') c = '|';
        line += '\n';
        // One write per line, shorter than a pipe's atomic size: lines never mix.
        if (line.size() > 500) line = line.substr(0, 499) + "\n";
        (void)!write(outFd, line.data(), line.size());
    };
    char go = 0;
    if (read(goFd, &go, 1) != 1) _exit(0);
    try {
        ReaderWatch watch;
        std::unique_ptr<LoadedModule> module;
        if (loop.kind == Kind::sigilla) module = std::make_unique<LoadedModule>();
        if (loop.kind == Kind::issuer) module = std::make_unique<LoadedModule>(std::getenv("QEL_PKCS11_LIBRARY"));
        bool told = false;
        for (int round = 0; round < loop.rounds && !told; ++round) {
            say(module ? signingRound(*module, watch, pin, round) : infoRound());
            if (const Insertion now = watch.now(); !now.present) watch.waitForChange(now);
            // The driver closes the pipe once its last pull is done.
            pollfd stop{goFd, POLLIN, 0};
            told = poll(&stop, 1, 0) > 0;
        }
        if (!told) say("fault rounds ran out before the driver was done");
    } catch (const std::exception& e) {
        say(std::string("fault exception ") + e.what());
    }
    // No exit handlers: they belong to the test program this process was copied from.
    _exit(0);
}

class SideBySideTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!testbed::daemonRuns()) GTEST_SKIP() << "no card daemon in the testbed";
        readers = std::make_unique<testbed::ReaderState>();
    }
    std::unique_ptr<testbed::ReaderState> readers;
};

TEST_F(SideBySideTest, TwoSigillaLoopsTheIssuerLibraryAndQelInfoWhileTheCardIsPulled) {
    std::vector<LoopProcess> loops{{"sigilla-1", Kind::sigilla, kSignatureRounds},
                                   {"sigilla-2", Kind::sigilla, kSignatureRounds},
                                   {"issuer library", Kind::issuer, kSignatureRounds},
                                   {"qel info", Kind::info, kInfoRounds}};
    const std::string dir = sigillatest::freshProfile("qel3-default");
    const std::string pin = sim::loadProfile(dir).pin.code;
    // The programs are copies of this one, made before it opens anything of the card stack.
    for (LoopProcess& loop : loops) {
        int go[2], out[2];
        ASSERT_EQ(pipe(go), 0);
        ASSERT_EQ(pipe(out), 0);
        std::fflush(nullptr);
        loop.pid = fork();
        ASSERT_GE(loop.pid, 0);
        if (loop.pid == 0) {
            close(go[1]);
            close(out[0]);
            for (const LoopProcess& other : loops)
                if (&other != &loop && other.pid > 0) close(other.out), close(other.go);
            runLoop(loop, go[0], out[1], pin);
        }
        close(go[0]);
        close(out[1]);
        loop.go = go[1];
        loop.out = out[0];
    }
    sigillatest::putCard("contact", dir);
    for (LoopProcess& loop : loops) ASSERT_EQ(write(loop.go, "g", 1), 1);

    // Reads the programs' lines until `enough` holds for every program still running.
    auto readUntil = [&](auto enough) {
        for (;;) {
            std::vector<pollfd> fds;
            std::vector<LoopProcess*> owners;
            bool waiting = false;
            for (LoopProcess& loop : loops) {
                if (loop.ended) continue;
                waiting = waiting || !enough(loop);
                fds.push_back({loop.out, POLLIN, 0});
                owners.push_back(&loop);
            }
            if (!waiting) return;
            if (poll(fds.data(), fds.size(), -1) < 0) continue;
            for (std::size_t i = 0; i < fds.size(); ++i) {
                if (!(fds[i].revents & (POLLIN | POLLHUP))) continue;
                LoopProcess& loop = *owners[i];
                char buffer[1024];
                const ssize_t n = read(loop.out, buffer, sizeof buffer);
                if (n <= 0) {
                    loop.ended = true;
                    continue;
                }
                loop.partial.append(buffer, static_cast<std::size_t>(n));
                for (auto end = loop.partial.find('\n'); end != std::string::npos; end = loop.partial.find('\n')) {
                    const std::string line = loop.partial.substr(0, end);
                    loop.partial.erase(0, end + 1);
                    ++loop.done;
                    if (isFault(line)) {
                        loop.faults.push_back(line);
                        ++loop.outcomes["fault"];
                    } else {
                        ++loop.outcomes[line];
                    }
                }
            }
        }
    };
    auto counts = [&] {
        std::vector<int> done;
        for (const LoopProcess& loop : loops) done.push_back(loop.done);
        return done;
    };

    // The driver: each pull waits until every program has finished rounds with the card in, and the
    // card goes back once each has finished rounds without it.
    int pulls = 0;
    for (; pulls < kPulls; ++pulls) {
        std::vector<int> base = counts();
        readUntil([&](const LoopProcess& loop) { return loop.done >= base[&loop - loops.data()] + 2; });
        if (std::all_of(loops.begin(), loops.end(), [](const LoopProcess& l) { return l.ended; })) break;
        testbed::control("remove contact");
        base = counts();
        // A program that finds the reader empty waits for the card: one round each.
        readUntil([&](const LoopProcess& loop) { return loop.done >= base[&loop - loops.data()] + 1; });
        testbed::control("insert contact " + dir);
    }
    for (LoopProcess& loop : loops) close(loop.go);
    readUntil([](const LoopProcess&) { return false; });

    std::printf("[figures] side by side on one card, pulled %d times:\n", pulls);
    for (LoopProcess& loop : loops) {
        int status = 0;
        ASSERT_EQ(waitpid(loop.pid, &status, 0), loop.pid);
        close(loop.out);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
            << loop.name << " crashed: " << (WIFSIGNALED(status) ? WTERMSIG(status) : WEXITSTATUS(status));
        std::printf("  %s, %d rounds:", loop.name.c_str(), loop.done);
        for (const auto& [outcome, count] : loop.outcomes) std::printf(" %d %s;", count, outcome.c_str());
        std::printf("\n");
        for (const std::string& fault : loop.faults) ADD_FAILURE() << loop.name << ": " << fault;
    }
    EXPECT_EQ(pulls, kPulls) << "the programs ended before every pull";

    // What Sigilla logged about tokens it could not make (for a pulled card too).
    int noToken = 0;
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state && std::filesystem::exists(state))
        for (const auto& entry : std::filesystem::recursive_directory_iterator(state)) {
            if (!entry.is_regular_file()) continue;
            std::ifstream in(entry.path());
            for (std::string line; std::getline(in, line);)
                noToken += line.find("no token for the card in reader") != std::string::npos;
        }
    std::printf("  Sigilla's log: %d \"no token for the card in reader\"\n", noToken);
}

}  // namespace
}  // namespace qel
