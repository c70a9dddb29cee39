#include "management/services_test.h"

#include <cstdint>
#include <ctime>
#include <exception>

#include "common/bytes.h"
#include "common/format.h"
#include "common/logger.h"
#include "common/secret_bytes.h"
#include "issuerlib/pkcs11_card.h"
#include "issuerlib/pkcs11_library.h"
#include "issuerlib/pkcs11_slot.h"
#include "issuerlib/service_report.h"

namespace qel {

std::string servicesTestDate(std::chrono::system_clock::time_point when) {
    const std::time_t t = std::chrono::system_clock::to_time_t(when);
    std::tm local{};
    localtime_r(&t, &local);
    char text[64];
    std::strftime(text, sizeof text, "%d/%m/%Y à %H:%M:%S", &local);
    return text;
}

std::string servicesReportFileName(const std::string& currentDate) {
    std::string date = currentDate;
    // "/" would name folders, and ":" is refused by other systems' file names (a copy to a USB
    // stick or a mail attachment for support).
    int colons = 0;
    for (char& c : date)
        if (c == '/')
            c = '-';
        else if (c == ':')
            c = colons++ == 0 ? 'h' : 'm';
    return "Kartello - Résultat du test des services du " + date + ".txt";
}

std::string servicesReportHeader(const std::string& version, const std::string& currentDate) {
    return "Kartello " + version + "\nTest des services du " + currentDate + "\n";
}

std::string servicesSectionTitle(const char* step) {
    // The first step's title is not its label.
    const std::string title = std::string(step) == servicesteps::kInitialisation ? "Initialisation" : step;
    return "\n\n" + title + ":\n";
}

void ServicesTest::prepare() {
    recorder_.setEnabled(true);
    recorder_.takeBuffer();
    recorder_.takeFailedCalls();
}

void ServicesTest::endStep(const StepHandler& onStep, int progress, const char* nextStep,
                           ServicesTestOutcome& outcome) {
    for (std::string& name : recorder_.takeFailedCalls()) outcome.failedCalls.push_back(std::move(name));
    const std::string lines = recorder_.takeBuffer();
    if (onStep) onStep(lines, progress, nextStep, nextStep ? servicesSectionTitle(nextStep) : std::string());
}

ServicesTestOutcome ServicesTest::run(std::optional<CK_SLOT_ID> slot, SecretBytes& secret, const StepHandler& onStep) {
    ServicesTestOutcome outcome;
    CK_RV rv = library_.finalize();
    if (rv != CKR_OK) logError(format("Erreur dans C_Finalize: %lu", static_cast<unsigned long>(rv)));
    rv = library_.initialize();
    recorder_.recordServiceResult("C_Initialize", rv);

    endStep(onStep, 10, servicesteps::kSlotAndCard, outcome);
    std::vector<CK_SLOT_ID> slots;
    rv = library_.getSlotList(slots);
    recorder_.recordServiceResult("C_GetSlotList", rv);
    if (rv == CKR_OK) {
        // Each slot's information goes into the report.
        for (CK_SLOT_ID id : slots) Pkcs11Slot(library_, id).refreshSlot();
    }
    if (!slot) {
        secret.clear();
        endStep(onStep, 100, nullptr, outcome);
        return outcome;
    }
    outcome.readerTested = true;
    auto card = std::make_shared<Pkcs11Card>(library_, *slot, false);

    endStep(onStep, 20, servicesteps::kHolder, outcome);
    card->getHolderInfos();

    endStep(onStep, 40, servicesteps::kSituations, outcome);
    if (card->session == 0) {
        card->openSession(false);
    } else {
        // A session that does not answer is logged by the binding; the login below says the rest.
        (void)card->getSessionInfo();
    }
    rv = card->login(secret.view(), false);
    secret.clear();
    outcome.login = rv;
    if (rv == CKR_OK) card->getSituations();

    endStep(onStep, 60, servicesteps::kCertificates, outcome);
    if (!card->x509Certs) {
        card->x509Certs.emplace();
        card->loadCertificates();
    }

    endStep(onStep, 80, servicesteps::kSignature, outcome);
    // A SHA-256 DigestInfo: what the raw mechanism expects, and plain data for the hashing ones.
    Bytes sample{0x30, 0x31, 0x30, 0x0D, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                 0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
    for (std::uint8_t i = 0; i < 32; ++i) sample.push_back(i);
    for (unsigned long mechanism : certSignAlgo) card->signatureSelfTest(sample, mechanism);

    endStep(onStep, 90, servicesteps::kRandom, outcome);
    Bytes random;
    library_.generateRandom(card->session, 64, random);
    // The PIN was given for the test alone: the card forgets it before anyone else can use it.
    if (card->ownsLogin()) card->logout();

    outcome.card = card;
    endStep(onStep, 100, nullptr, outcome);
    return outcome;
}

}  // namespace qel
