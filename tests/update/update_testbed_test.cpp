// A full update of a virtual card through pcscd and the stand-in issuer library's pass-through,
// driven by the update session against tmaj-sim; then the service's faults and a card pulled out.
#include <gtest/gtest.h>
#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "common/hex.h"
#include "common/user_dirs.h"
#include "issuerlib/pkcs11_card.h"
#include "issuerlib/pkcs11_library.h"
#include "issuerlib/pkcs11_slot.h"
#include "platform/pcsc/pcsc_api.h"
#include "sim/card/profile.h"
#include "tests/support/testbed_client.h"
#include "tests/token/integration_support.h"
#include "update/tmaj_service.h"

namespace qel {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::string text;
    std::getline(in, text);
    return text;
}

// The card as the session sees it, counting commands and the time the card and the stack took.
struct MeasuredCard : UpdateCard {
    explicit MeasuredCard(Pkcs11Card& c) : inner(c) {}
    std::optional<Bytes> transmit(const Bytes& apdu, bool flag) override {
        if (++count == pullAt) testbed::control("remove contact");
        const auto start = Clock::now();
        std::optional<Bytes> answer = inner.transmit(apdu, flag);
        inCard += Clock::now() - start;
        return answer;
    }
    std::optional<std::string> chipSerial() override {
        const auto start = Clock::now();
        std::optional<std::string> serial = inner.chipSerial();
        inCard += Clock::now() - start;
        count += 3;  // the serial is read with three commands
        return serial;
    }
    std::string tokenSerial() override { return inner.tokenSerial(); }
    Pkcs11UpdateCard inner;
    int count = 0;
    int pullAt = -1;
    Clock::duration inCard{};
};

struct MeasuredService : TmajClient {
    explicit MeasuredService(TmajClient& c) : inner(c) {}
    ApduList getRequest(const std::string& p, const std::vector<std::string>& a) override {
        const auto start = Clock::now();
        ApduList l = inner.getRequest(p, a);
        inService += Clock::now() - start;
        return l;
    }
    ApduList postRequest(const std::string& p, const ApduList& l, const std::string& n) override {
        const auto start = Clock::now();
        ApduList out = inner.postRequest(p, l, n);
        inService += Clock::now() - start;
        return out;
    }
    TmajClient& inner;
    Clock::duration inService{};
};

class UpdateTestbedTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        const std::string port = readFile(testbed::runDir() + "/tmaj-sim.port");
        if (!testbed::daemonRuns() || port.empty()) return;
        readers = std::make_unique<testbed::ReaderState>();
        library = std::make_unique<Pkcs11Library>(configuredPkcs11LibraryPath(), nullptr);
        ASSERT_EQ(library->initialize(), CKR_OK);
        manager = std::make_unique<TmajManager>(
            TmajEndpoint{"https://127.0.0.1:" + port, testbed::runDir() + "/tmaj-ca.pem"});
        admin = std::make_unique<httplib::SSLClient>("127.0.0.1", std::stoi(port));
        admin->set_ca_cert_path((testbed::runDir() + "/tmaj-ca.pem").c_str());
        admin->enable_server_certificate_verification(true);
    }
    static void TearDownTestSuite() {
        admin.reset();
        manager.reset();
        library.reset();
        readers.reset();
    }
    void SetUp() override {
        if (!library) GTEST_SKIP() << "no card daemon or update simulator in the testbed";
        post("/admin/clear", "");
    }
    static void post(const std::string& path, const std::string& body) {
        auto res = admin->Post(path.c_str(), body, "text/plain");
        ASSERT_TRUE(res) << path;
        ASSERT_EQ(res->status, 200) << path << " " << res->body;
    }

    /// A fresh copy of qel3-default in the contact reader, known to the simulator, logged in.
    std::unique_ptr<Pkcs11Card> insertAndLogin() {
        static int counter = 0;
        const std::string dir = std::string(std::getenv("HOME")) + "/profiles/" + std::to_string(++counter);
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
        std::filesystem::copy(testbed::runDir() + "/profiles/qel3-default", dir,
                              std::filesystem::copy_options::recursive);
        std::filesystem::remove(dir + "/state.json");
        profile = sim::loadProfile(dir);
        profileDir = dir;
        post("/admin/card", dir);
        testbed::control("swap contact " + dir);
        std::string seen;
        for (auto deadline = Clock::now() + 10s; Clock::now() < deadline; std::this_thread::sleep_for(100ms)) {
            std::vector<CK_SLOT_ID> slots;
            if (library->getSlotList(slots) != CKR_OK || slots.empty()) {
                library->finalize();
                library->initialize();
                continue;
            }
            for (CK_SLOT_ID id : slots) {
                Pkcs11Slot slot(*library, id);
                std::string name = slot.refreshSlot() == CKR_OK ? slot.name : "";
                while (!name.empty() && static_cast<unsigned char>(name.back()) < 0x20) name.pop_back();
                if (name != testbed::kContactReader || !slot.cardPresent) continue;
                auto card = std::make_unique<Pkcs11Card>(*library, id);
                seen = "serial " + card->serial;
                if (card->serial.rfind(profile.cardNumber, 0) != 0) continue;
                card->ensureSession();
                const CK_RV rv = card->login(profile.pin.code, false);
                seen += " login " + std::to_string(rv);
                if (rv != CKR_OK) continue;
                return card;
            }
        }
        ADD_FAILURE() << "the fresh card did not show up in the contact reader: " << seen;
        return nullptr;
    }

    sim::Profile profile;
    std::string profileDir;
    static std::unique_ptr<testbed::ReaderState> readers;
    static std::unique_ptr<Pkcs11Library> library;
    static std::unique_ptr<TmajManager> manager;
    static std::unique_ptr<httplib::SSLClient> admin;
};
std::unique_ptr<testbed::ReaderState> UpdateTestbedTest::readers;
std::unique_ptr<Pkcs11Library> UpdateTestbedTest::library;
std::unique_ptr<TmajManager> UpdateTestbedTest::manager;
std::unique_ptr<httplib::SSLClient> UpdateTestbedTest::admin;

TEST_F(UpdateTestbedTest, FullUpdateThenUpToDateWithTheCacheGone) {
    std::unique_ptr<Pkcs11Card> card = insertAndLogin();
    ASSERT_TRUE(card);
    const std::string serial = card->serial;
    const std::filesystem::path cache =
        std::filesystem::path(userdirs::cacheHome()) / "sigilla" / "OLMA" / ("8025000001" + profile.cardNumber);
    std::filesystem::create_directories(cache / "3F00");
    EXPECT_EQ(card->getHolderInfos().nomPatronym, profile.holder.lastName);

    ASSERT_EQ(manager->checkTmaj(serial), TmajManager::kUpdateAvailable);
    MeasuredService service(*manager);
    TmajService tmaj(service);
    tmaj.finalPauseMs = 0;
    MeasuredCard measured(*card);
    std::vector<int> progress;
    const auto start = Clock::now();
    ApduResult result = tmaj.performUpdate(measured, [&](int p) { progress.push_back(p); });
    const auto total = Clock::now() - start;
    ASSERT_FALSE(result.isError) << result.resultMessage;
    EXPECT_EQ(progress.back(), 100);
    EXPECT_FALSE(std::filesystem::exists(cache));

    auto ms = [](Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); };
    const double overhead = (ms(total) - ms(measured.inCard) - ms(service.inService)) / measured.count;
    std::printf(
        "update session: %d APDUs in %.0f ms (card %.0f ms, service %.0f ms); client overhead %.3f ms per "
        "APDU\n",
        measured.count, ms(total), ms(measured.inCard), ms(service.inService), overhead);
    RecordProperty("apdus", measured.count);

    EXPECT_EQ(manager->checkTmaj(serial), TmajManager::kUpToDate);
    // The renewed holder record as the library reads it from the card.
    std::string renamed = profile.holder.lastName;
    renamed.back() = renamed.back() == 'D' ? 'T' : 'D';
    EXPECT_EQ(card->getHolderInfos().nomPatronym, renamed);
}

TEST_F(UpdateTestbedTest, ServiceFaultsEndTheSessionWithTheirMessage) {
    const std::pair<const char*, const char*> faults[] = {
        {"EstablishSM:status=500", tmaj_messages::nullResult},
        {"initQelMajBean:no-resp-type", tmaj_messages::nullResult},
        {"QELMAJSequence2:end-inside", tmaj_messages::invalidCommand},
    };
    std::unique_ptr<Pkcs11Card> card = insertAndLogin();
    ASSERT_TRUE(card);
    for (const auto& [fault, message] : faults) {
        post("/admin/clear", "");
        post("/admin/fault", fault);
        ASSERT_EQ(manager->checkTmaj(card->serial), TmajManager::kUpdateAvailable) << fault;
        TmajService tmaj(*manager);
        Pkcs11UpdateCard updateCard(*card);
        ApduResult result = tmaj.performUpdate(updateCard, {});
        EXPECT_TRUE(result.isError) << fault;
        EXPECT_EQ(result.resultMessage, message) << fault;
    }
}

TEST_F(UpdateTestbedTest, CardPulledAtThreePointsOfTheSession) {
    // In the first step, after the secure-messaging step, and in the repeated step while the renewed
    // certificate is being written.
    for (int pullAt : {5, 9, 28}) {
        std::unique_ptr<Pkcs11Card> card = insertAndLogin();
        ASSERT_TRUE(card);
        ASSERT_EQ(manager->checkTmaj(card->serial), TmajManager::kUpdateAvailable);
        TmajService tmaj(*manager);
        MeasuredCard measured(*card);
        measured.pullAt = pullAt;
        ApduResult result = tmaj.performUpdate(measured, {});
        EXPECT_TRUE(result.isError) << pullAt;
        // The failed answers go back to the service, which refuses to go on.
        EXPECT_TRUE(result.resultMessage == tmaj_messages::nullResult ||
                    result.resultMessage == tmaj_messages::sequenceFailed)
            << pullAt << " " << result.resultMessage;
    }
}

}  // namespace
}  // namespace qel

namespace qel {
namespace {

// What another program's signing loop saw while the card was held for an update.
struct SignatureCounts {
    int verified = 0;
    int failedCleanly = 0;
    int wrong = 0;  ///< CKR_OK with a signature that does not verify, or an unexpected code
    std::vector<CK_RV> codes;
    /// When each signature was asked for and when its answer came back.
    std::vector<std::pair<std::chrono::steady_clock::time_point, std::chrono::steady_clock::time_point>> spans;
};

TEST_F(UpdateTestbedTest, HeldCardLetsNoOtherProgramInAndTheUpdateSucceedsBesideASignatureLoop) {
    std::unique_ptr<Pkcs11Card> card = insertAndLogin();
    ASSERT_TRUE(card);
    auto pcsc = pcsc::systemPcscApi();

    // pcscd ties the hold to our connection: another connection, even in this process, waits or is
    // refused, and never reaches the card before the hold ends.
    {
        SCARDCONTEXT other = 0;
        ASSERT_EQ(pcsc->establishContext(&other), SCARD_S_SUCCESS);
        SCARDHANDLE handle = 0;
        DWORD protocol = 0;
        ASSERT_EQ(pcsc->connect(other, testbed::kContactReader, SCARD_SHARE_SHARED,
                                SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &handle, &protocol),
                  SCARD_S_SUCCESS);
        std::unique_ptr<HeldUpdateCard> held = HeldUpdateCard::hold(pcsc, testbed::kContactReader, card->serial);
        ASSERT_TRUE(held);
        std::atomic<bool> answered{false};
        std::atomic<LONG> code{0};
        std::thread intruder([&] {
            Bytes answer;
            code = pcsc->transmit(handle, protocol, *fromHex("00A4000C023F00"), answer);
            answered = true;
        });
        std::this_thread::sleep_for(1s);  // the intruder has had its chance; a wait is measured, not asserted
        const bool answeredWhileHeld = answered.load();
        const LONG codeWhileHeld = code.load();
        ASSERT_TRUE(held->transmit(*fromHex("00A4000C023F00"), false));
        held->release(false);
        intruder.join();
        std::printf("[figures] another connection of this process while the card was held: %s (0x%lX)\n",
                    answeredWhileHeld ? "refused" : "waited", static_cast<unsigned long>(code.load()));
        EXPECT_TRUE(!answeredWhileHeld || codeWhileHeld == static_cast<LONG>(SCARD_E_SHARING_VIOLATION));
        pcsc->disconnect(handle, SCARD_LEAVE_CARD);
        pcsc->releaseContext(other);
    }

    // Another program signs through Sigilla, logged in once, until the update is over.
    std::atomic<bool> stop{false};
    std::atomic<int> signatures{0};
    SignatureCounts counts;
    std::mutex mutex;
    std::string loopError;
    std::thread loop([&] {
        try {
            sigillatest::LoadedModule sigilla;
            CK_C_INITIALIZE_ARGS args{};
            args.flags = CKF_OS_LOCKING_OK;
            if (sigilla->C_Initialize(&args) != CKR_OK) throw std::runtime_error("C_Initialize");
            const CK_SLOT_ID slot = sigilla.slotWithLabel(sigillatest::tokenLabel("QEL3", profileDir));
            CK_SESSION_HANDLE session = 0;
            if (slot == sigillatest::kNoSlot ||
                sigilla->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &session) != CKR_OK)
                throw std::runtime_error("no Sigilla session for the card");
            std::string pin = profile.pin.code;
            if (sigilla->C_Login(session, CKU_USER, reinterpret_cast<CK_UTF8CHAR_PTR>(pin.data()), pin.size()) !=
                CKR_OK)
                throw std::runtime_error("Sigilla login");
            const CK_OBJECT_HANDLE key = sigilla.privateKey(session);
            const Bytes certificate = sigilla.certificateFor(session, key);
            for (int i = 0; i < 2000 && !stop.load(); ++i) {
                const Bytes data{static_cast<std::uint8_t>(i), 0x42};
                Bytes signature;
                const auto asked = Clock::now();
                const CK_RV rv = sigilla.signSha256(session, key, data, signature);
                std::lock_guard lock(mutex);
                if (rv == CKR_OK && sigillatest::verifySha256(certificate, data, signature))
                    ++counts.verified;
                else if (rv == CKR_OK)
                    ++counts.wrong;
                else if (rv == CKR_DEVICE_ERROR || rv == CKR_DEVICE_REMOVED || rv == CKR_TOKEN_NOT_PRESENT ||
                         rv == CKR_USER_NOT_LOGGED_IN || rv == CKR_SESSION_HANDLE_INVALID ||
                         rv == CKR_KEY_HANDLE_INVALID || rv == CKR_FUNCTION_FAILED)
                    ++counts.failedCleanly;
                else
                    ++counts.wrong;
                if (rv != CKR_OK) counts.codes.push_back(rv);
                counts.spans.emplace_back(asked, Clock::now());
                ++signatures;
            }
            sigilla->C_Logout(session);
            sigilla->C_Finalize(nullptr);
        } catch (const std::exception& e) {
            loopError = e.what();
            stop = true;
        }
    });
    auto waitSignatures = [&](int atLeast) {
        for (auto deadline = Clock::now() + 60s; Clock::now() < deadline && !stop.load();
             std::this_thread::sleep_for(5ms))
            if (signatures.load() >= atLeast) return true;
        return false;
    };
    ASSERT_TRUE(waitSignatures(3)) << loopError;

    ASSERT_EQ(manager->checkTmaj(card->serial), TmajManager::kUpdateAvailable);
    TmajService tmaj(*manager);
    tmaj.finalPauseMs = 0;
    std::unique_ptr<HeldUpdateCard> held = HeldUpdateCard::hold(pcsc, testbed::kContactReader, card->serial);
    ASSERT_TRUE(held);
    const auto heldFrom = Clock::now();
    const ApduResult result = tmaj.performUpdate(*held, {});
    const auto heldUntil = Clock::now();
    held->release(false);
    const long long holdWait = held->waitedMs();
    const int atEnd = signatures.load();
    EXPECT_TRUE(waitSignatures(atEnd + 3)) << loopError;
    stop = true;
    loop.join();

    EXPECT_FALSE(result.isError) << result.resultMessage;
    EXPECT_TRUE(loopError.empty()) << loopError;
    std::lock_guard lock(mutex);
    EXPECT_EQ(counts.wrong, 0);
    // Another program's signature may begin while the card is held, but never reaches the card: none
    // is both asked for and answered inside the hold. (One that the hold waited for may come back just
    // after the hold began: its answer crosses threads after the card was let go.)
    const auto insideHold = std::count_if(counts.spans.begin(), counts.spans.end(), [&](const auto& span) {
        return span.first > heldFrom && span.second < heldUntil;
    });
    EXPECT_EQ(insideHold, 0);
    const auto afterHold = std::count_if(counts.spans.begin(), counts.spans.end(),
                                         [&](const auto& span) { return span.second >= heldUntil; });
    std::printf(
        "[figures] update held %.2f s after waiting %lld ms for the hold, beside a Sigilla signing loop: %d "
        "signatures (%d verified, %d failed cleanly, %d wrong); %ld ended before the hold, %ld inside it, %ld "
        "after it\n",
        std::chrono::duration<double>(heldUntil - heldFrom).count(), holdWait,
        counts.verified + counts.failedCleanly + counts.wrong, counts.verified, counts.failedCleanly, counts.wrong,
        static_cast<long>(counts.spans.size() - insideHold - afterHold), static_cast<long>(insideHold),
        static_cast<long>(afterHold));
    for (CK_RV rv : counts.codes) std::printf("  signature failed: 0x%lX\n", rv);
}

}  // namespace
}  // namespace qel
