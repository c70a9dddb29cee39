// A full update of a virtual card through pcscd and the stand-in issuer library's pass-through,
// driven by the update session against tmaj-sim; then the service's faults and a card pulled out.
#include <gtest/gtest.h>
#include <httplib.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

#include "common/user_dirs.h"
#include "pkcs11/pkcs11_card.h"
#include "pkcs11/pkcs11_library.h"
#include "pkcs11/pkcs11_slot.h"
#include "sim/card/profile.h"
#include "tests/support/testbed_client.h"
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
