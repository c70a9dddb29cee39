// The module loaded by path in this process and used through pcscd: several threads on one card,
// a card pulled out while it signs, slot events, a forked child, hosts that call in while their
// process ends or that reach the module twice, and the time one signature takes.
#include <PCSC/winscard.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <future>
#include <iostream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "card/qel_card.h"
#include "card/card_error.h"
#include "platform/pcsc/pcsc_card.h"
#include "tests/support/testbed_client.h"
#include "tests/token/integration_support.h"
#include "tests/token/pin_free_signature.h"

namespace qel::sigillatest {
namespace {

using namespace std::chrono_literals;

// The same, straight through pcscd on the testbed's contact reader.
int signatureWithoutPin() {
    auto context = std::make_shared<pcsc::PcscContext>(pcsc::systemPcscApi());
    pcsc::PcscCard smartCard(context, testbed::kContactReader);
    CardSession session(smartCard);
    return sigillatest::signatureWithoutPin(smartCard);
}

class ModuleThroughPcsc : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(testbed::daemonRuns()) << "the card daemon of the testbed is not running";
        profile_ = freshProfile("qel4-default");
        putCard("contact", profile_);
        label_ = "QEL4 " + cardSerialOf(profile_);
        ASSERT_EQ(module_->C_Initialize(nullptr), CKR_OK);
    }
    void TearDown() override { module_->C_Finalize(nullptr); }

    CK_SLOT_ID slot() { return module_.slotWithLabel(label_); }
    CK_SESSION_HANDLE openSession() {
        CK_SESSION_HANDLE s = CK_INVALID_HANDLE;
        EXPECT_EQ(module_->C_OpenSession(slot(), CKF_SERIAL_SESSION, nullptr, nullptr, &s), CKR_OK);
        return s;
    }
    CK_RV login(CK_SESSION_HANDLE s) { return module_->C_Login(s, CKU_USER, (CK_UTF8CHAR_PTR) "1234", 4); }

    testbed::ReaderState readers_;
    LoadedModule module_;
    std::string profile_;
    std::string label_;
};

TEST_F(ModuleThroughPcsc, EightThreadsSignAtOnceOnOneCard) {
    ASSERT_NE(slot(), kNoSlot);
    CK_SESSION_HANDLE first = openSession();
    ASSERT_EQ(login(first), CKR_OK);
    const CK_OBJECT_HANDLE key = module_.privateKey(first);
    const Bytes certificate = module_.certificateFor(first, key);

    // One signature after another first: the figure for one signature on the virtual card.
    const int rounds = 10;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < rounds; ++i) {
        Bytes signature;
        ASSERT_EQ(module_.signSha256(first, key, Bytes{1, 2, static_cast<std::uint8_t>(i)}, signature), CKR_OK);
    }
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start);
    std::cout << "[ figure ] one signature through pcscd on the virtual card: " << elapsed.count() / rounds / 1000.0
              << " ms\n";

    std::vector<std::future<int>> threads;
    for (int t = 0; t < 8; ++t) {
        threads.push_back(std::async(std::launch::async, [&, t] {
            CK_SESSION_HANDLE s = openSession();
            int good = 0;
            for (int i = 0; i < 3; ++i) {
                const Bytes data{static_cast<std::uint8_t>(t), static_cast<std::uint8_t>(i)};
                Bytes signature;
                if (module_.signSha256(s, key, data, signature) == CKR_OK && verifySha256(certificate, data, signature))
                    ++good;
            }
            module_->C_CloseSession(s);
            return good;
        }));
    }
    for (auto& t : threads) EXPECT_EQ(t.get(), 3);
}

TEST_F(ModuleThroughPcsc, TheSecondTokenOfACardReadsFromTheCache) {
    std::filesystem::remove_all(std::string(std::getenv("XDG_CACHE_HOME")) + "/sigilla");
    const long inserted = testbed::apduCount("contact");
    ASSERT_NE(slot(), kNoSlot);
    const long first = testbed::apduCount("contact") - inserted;
    ASSERT_EQ(module_->C_Finalize(nullptr), CKR_OK);
    ASSERT_EQ(module_->C_Initialize(nullptr), CKR_OK);
    const long before = testbed::apduCount("contact");
    ASSERT_NE(slot(), kNoSlot);
    const long second = testbed::apduCount("contact") - before;
    // Warm: the application, the serial, and the start of each cached certificate compared with the
    // card (2 commands each).
    EXPECT_LE(second, 7) << "first " << first << ", second " << second;
    EXPECT_LT(second, first);
    std::cout << "[ figure ] QEL4 token creation through pcscd: " << first << " APDUs the first time, " << second
              << " the second time\n";
}

TEST_F(ModuleThroughPcsc, ACardPulledOutWhileSigningIsRemovedAndTheNextInsertionWorks) {
    CK_SESSION_HANDLE s = openSession();
    ASSERT_EQ(login(s), CKR_OK);
    const CK_OBJECT_HANDLE key = module_.privateKey(s);
    std::atomic<bool> started{false};
    auto signer = std::async(std::launch::async, [&] {
        for (int i = 0; i < 100000; ++i) {
            Bytes signature;
            const CK_RV rv = module_.signSha256(s, key, Bytes{7}, signature);
            started = true;
            if (rv != CKR_OK) return rv;
        }
        return CKR_OK;
    });
    while (!started) std::this_thread::sleep_for(1ms);
    std::this_thread::sleep_for(50ms);
    testbed::control("remove contact");
    ASSERT_EQ(signer.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(signer.get(), CKR_DEVICE_REMOVED);
    CK_SESSION_INFO info;
    EXPECT_EQ(module_->C_GetSessionInfo(s, &info), CKR_SESSION_HANDLE_INVALID);
    EXPECT_EQ(slot(), kNoSlot);

    putCard("contact", profile_);
    ASSERT_NE(slot(), kNoSlot);
    s = openSession();
    ASSERT_EQ(login(s), CKR_OK);
    const CK_OBJECT_HANDLE fresh = module_.privateKey(s);
    Bytes signature;
    EXPECT_EQ(module_.signSha256(s, fresh, Bytes{8}, signature), CKR_OK);
    EXPECT_TRUE(verifySha256(module_.certificateFor(s, fresh), Bytes{8}, signature));
}

// Waits, on pcscd's own events, until `reader` holds a card; false when pcscd never shows one.
bool cardPresentIn(const std::string& reader) {
    SCARDCONTEXT context = 0;
    if (SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context) != SCARD_S_SUCCESS) return false;
    SCARD_READERSTATE state{};
    state.szReader = reader.c_str();
    state.dwCurrentState = SCARD_STATE_UNAWARE;
    bool present = false;
    for (int changes = 0; changes < 20 && !present; ++changes) {
        if (SCardGetStatusChange(context, 10000, &state, 1) != SCARD_S_SUCCESS) break;
        present = (state.dwEventState & SCARD_STATE_PRESENT) != 0;
        state.dwCurrentState = state.dwEventState & ~SCARD_STATE_CHANGED;
    }
    SCardReleaseContext(context);
    return present;
}

// A host that holds the module for hours sees pcscd restart under it (an upgrade, a crash): the
// session it held ends as a removal, and the next session signs without the host restarting.
TEST_F(ModuleThroughPcsc, PcscdRestartingUnderTheModuleEndsTheSessionAndTheNextSignatureWorks) {
    CK_SESSION_HANDLE s = openSession();
    ASSERT_EQ(login(s), CKR_OK);
    const CK_OBJECT_HANDLE key = module_.privateKey(s);
    Bytes signature;
    ASSERT_EQ(module_.signSha256(s, key, Bytes{1}, signature), CKR_OK);

    const std::string binaries = std::getenv("QEL_BINARY_DIR");
    const Outcome restart =
        run("env -u LD_PRELOAD " + quoted(std::string(std::getenv("QEL_SOURCE_DIR")) + "/scripts/testbed") +
            " restart-pcscd --run-dir " + quoted(testbed::runDir()) + " --ctl " +
            quoted(binaries + "/sim/vpcd/qelcard-ctl"));
    if (restart.status == 3) GTEST_SKIP() << "pcscd belongs to the system here, not to the testbed";
    ASSERT_EQ(restart.status, 0) << restart.output;
    ASSERT_TRUE(cardPresentIn(testbed::kContactReader)) << "the card did not come back after the restart";

    const CK_RV stale = module_.signSha256(s, key, Bytes{2}, signature);
    EXPECT_TRUE(stale == CKR_DEVICE_REMOVED || stale == CKR_SESSION_HANDLE_INVALID) << stale;
    CK_SESSION_INFO info;
    EXPECT_EQ(module_->C_GetSessionInfo(s, &info), CKR_SESSION_HANDLE_INVALID);

    ASSERT_NE(slot(), kNoSlot);
    s = openSession();
    ASSERT_EQ(login(s), CKR_OK);
    const CK_OBJECT_HANDLE fresh = module_.privateKey(s);
    ASSERT_EQ(module_.signSha256(s, fresh, Bytes{3}, signature), CKR_OK);
    EXPECT_TRUE(verifySha256(module_.certificateFor(s, fresh), Bytes{3}, signature));
}

TEST_F(ModuleThroughPcsc, WaitForSlotEventReportsAnInsertion) {
    const CK_SLOT_ID contact = slot();
    ASSERT_NE(contact, kNoSlot);
    testbed::control("remove contact");
    CK_SLOT_ID event = kNoSlot;
    // The removal is an event too; take whatever is pending.
    for (int i = 0; i < 50 && module_->C_WaitForSlotEvent(CKF_DONT_BLOCK, &event, nullptr) != CKR_NO_EVENT; ++i) {
    }
    auto waiter = std::async(std::launch::async, [&] {
        CK_SLOT_ID reported = kNoSlot;
        const CK_RV rv = module_->C_WaitForSlotEvent(0, &reported, nullptr);
        return std::make_pair(rv, reported);
    });
    EXPECT_EQ(waiter.wait_for(300ms), std::future_status::timeout);
    // The module serves other calls while a thread waits.
    CK_ULONG count = 0;
    EXPECT_EQ(module_->C_GetSlotList(CK_FALSE, nullptr, &count), CKR_OK);
    testbed::control("insert contact " + profile_);
    ASSERT_EQ(waiter.wait_for(10s), std::future_status::ready);
    const auto [rv, reported] = waiter.get();
    EXPECT_EQ(rv, CKR_OK);
    EXPECT_EQ(reported, contact);
}

// Every way a login ends resets the card, so that no other program inherits the verified PIN; this
// process, whose login went with it, is asked for the PIN again and signs once more.
TEST_F(ModuleThroughPcsc, AForkedChildInitialisesAgainSignsAndItsEndResetsTheCard) {
    CK_SESSION_HANDLE s = openSession();
    ASSERT_EQ(login(s), CKR_OK);
    EXPECT_EQ(signatureWithoutPin(), 0x9000);
    ASSERT_EQ(module_->C_Logout(s), CKR_OK);
    EXPECT_EQ(signatureWithoutPin(), 0x6982);
    ASSERT_EQ(login(s), CKR_OK);
    ASSERT_EQ(module_->C_CloseSession(s), CKR_OK);
    EXPECT_EQ(signatureWithoutPin(), 0x6982);
    s = openSession();
    ASSERT_EQ(login(s), CKR_OK);
    const CK_OBJECT_HANDLE key = module_.privateKey(s);

    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int code = 0;
        CK_ULONG count = 0;
        if (module_->C_GetSlotList(CK_TRUE, nullptr, &count) != CKR_CRYPTOKI_NOT_INITIALIZED) code |= 1;
        if (module_->C_Initialize(nullptr) != CKR_OK) code |= 2;
        CK_SESSION_HANDLE mine = CK_INVALID_HANDLE;
        if (module_->C_OpenSession(slot(), CKF_SERIAL_SESSION, nullptr, nullptr, &mine) != CKR_OK) code |= 4;
        if (login(mine) != CKR_OK) code |= 8;
        Bytes signature;
        const CK_OBJECT_HANDLE mineKey = module_.privateKey(mine);
        if (module_.signSha256(mine, mineKey, Bytes{9}, signature) != CKR_OK ||
            !verifySha256(module_.certificateFor(mine, mineKey), Bytes{9}, signature))
            code |= 16;
        // Finalised while logged in: the card is reset for everyone, the parent included.
        if (module_->C_Finalize(nullptr) != CKR_OK) code |= 32;
        _exit(code);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(signatureWithoutPin(), 0x6982);
    // The parent's module goes on: its next signature finds the login gone (the session is public
    // again, its private objects hidden), and the PIN brings it back.
    Bytes signature;
    EXPECT_EQ(module_.signSha256(s, key, Bytes{10}, signature), CKR_USER_NOT_LOGGED_IN);
    CK_SESSION_INFO info;
    ASSERT_EQ(module_->C_GetSessionInfo(s, &info), CKR_OK);
    EXPECT_EQ(info.state, static_cast<CK_STATE>(CKS_RO_PUBLIC_SESSION));
    ASSERT_EQ(login(s), CKR_OK);
    EXPECT_EQ(module_.signSha256(s, key, Bytes{10}, signature), CKR_OK);
    EXPECT_TRUE(verifySha256(module_.certificateFor(s, key), Bytes{10}, signature));
    ASSERT_EQ(module_->C_Finalize(nullptr), CKR_OK);
    EXPECT_EQ(signatureWithoutPin(), 0x6982);
    ASSERT_EQ(module_->C_Initialize(nullptr), CKR_OK);
}

// The host program that calls in while its process ends (tests/token/exit_host.cpp). It is one of
// ours, built with the sanitizers' runtime in it, and leaks are looked for.
std::string exitHost(const std::string& mode, const std::string& label) {
    return "env -u LD_PRELOAD ASAN_OPTIONS=detect_leaks=1 " + quoted(std::getenv("SIGILLA_EXIT_HOST")) + " " + mode +
           " " + quoted(modulePath()) + " " + quoted(label) + " 1234";
}

std::string calls(const std::string& place, const std::vector<std::pair<std::string, CK_RV>>& list) {
    std::string text;
    char rv[32];
    for (const auto& [function, value] : list) {
        std::snprintf(rv, sizeof rv, " 0x%lx\n", static_cast<unsigned long>(value));
        text += place + " " + function + rv;
    }
    return text;
}

// NSS shuts down from an exit handler, after the static objects of everything loaded later are gone;
// any host may call in from a static destructor. Each call is answered as in the module's life,
// nothing is reported leaked, and the card is left reset. A host that ends logged in without a
// word leaves the card reset too.
TEST_F(ModuleThroughPcsc, AHostCallingInWhileItsProcessEndsGetsAnswersAndLeavesTheCardReset) {
    const std::string inMain = calls("main", {{"C_Initialize", CKR_OK},
                                              {"C_OpenSession", CKR_OK},
                                              {"C_OpenSession", CKR_OK},
                                              {"C_Login", CKR_OK},
                                              {"C_Sign", CKR_OK}});
    const Outcome host = run(exitHost("exit", label_));
    EXPECT_EQ(host.status, 0) << host.output;
    EXPECT_EQ(host.output, inMain +
                               calls("atexit", {{"C_GetSlotList", CKR_OK},
                                                {"C_GetSessionInfo", CKR_OK},
                                                {"C_CloseAllSessions", CKR_OK},
                                                {"C_Finalize", CKR_OK},
                                                {"C_GetSlotList", CKR_CRYPTOKI_NOT_INITIALIZED},
                                                {"C_CloseAllSessions", CKR_CRYPTOKI_NOT_INITIALIZED}}) +
                               calls("destructor", {{"C_Initialize", CKR_OK},
                                                    {"C_GetSlotList", CKR_OK},
                                                    {"C_OpenSession", CKR_OK},
                                                    {"C_CloseAllSessions", CKR_OK},
                                                    {"C_Finalize", CKR_OK},
                                                    {"C_CloseAllSessions", CKR_CRYPTOKI_NOT_INITIALIZED},
                                                    {"C_GetSlotList", CKR_CRYPTOKI_NOT_INITIALIZED}}));
    EXPECT_EQ(signatureWithoutPin(), 0x6982);

    const Outcome left = run(exitHost("leave", label_));
    EXPECT_EQ(left.status, 0) << left.output;
    EXPECT_EQ(left.output, inMain);
    EXPECT_EQ(signatureWithoutPin(), 0x6982);
}

// A host that loads the module itself and also through p11-kit's proxy reaches the same module: the
// second C_Initialize finds it initialised, and each path works while the one that began it keeps
// it. The path that did not begin it cannot end it; the one that did ends it for both, and the
// other then hears so. p11-kit reads a user's registrations only for an ordinary user. OpenSC, which
// the system registers, is kept out of the proxy: its C_GetSlotInfo fails now and then on a card it
// does not know, and the proxy's C_GetSlotList then fails as a whole.
TEST_F(ModuleThroughPcsc, AModuleReachedDirectlyAndThroughTheProxyServesBothUntilItsBeginnerEndsIt) {
    const std::string asUser =
        quoted(std::string(std::getenv("QEL_SOURCE_DIR")) + "/tests/support/as_ordinary_user.sh");
    const std::string withoutOpensc =
        "sh -c 'mkdir -p \"$HOME/.config/pkcs11/modules\" && printf \"disable-in: p11-kit-proxy\\n\" "
        ">\"$HOME/.config/pkcs11/modules/opensc-pkcs11.module\" && exec \"$@\"' host ";
    const Outcome host = run("sh " + asUser + " " + quoted(modulePath()) + " " + withoutOpensc +
                             exitHost("twice", label_) + " /usr/lib/x86_64-linux-gnu/p11-kit-proxy.so");
    EXPECT_EQ(host.status, 0) << host.output;
    const auto use = [](const std::string& place) {
        return calls(place, {{"C_OpenSession", CKR_OK}, {"C_Login", CKR_OK}, {"C_Sign", CKR_OK}});
    };
    EXPECT_EQ(host.output, calls("direct", {{"C_Initialize", CKR_OK}}) + calls("proxy", {{"C_Initialize", CKR_OK}}) +
                               use("direct") + use("proxy") + calls("proxy", {{"C_Finalize", CKR_OK}}) + use("direct") +
                               calls("direct", {{"C_Finalize", CKR_OK}}) + calls("proxy", {{"C_Initialize", CKR_OK}}) +
                               calls("direct", {{"C_Initialize", CKR_CRYPTOKI_ALREADY_INITIALIZED}}) + use("proxy") +
                               calls("proxy", {{"C_Finalize", CKR_OK}}) +
                               calls("direct", {{"C_GetSlotList", CKR_CRYPTOKI_NOT_INITIALIZED}}));
    EXPECT_EQ(signatureWithoutPin(), 0x6982);
}

}  // namespace
}  // namespace qel::sigillatest
