#pragma once
#include <p11-kit/pkcs11.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/secret_bytes.h"

namespace qel {

class Pkcs11Card;
class Pkcs11Library;
class ServiceReportRecorder;

/// The step texts of the services test, in order, as the window's step label shows them.
namespace servicesteps {
inline constexpr const char* kInitialisation = "Initialisation PKCS11";
inline constexpr const char* kSlotAndCard = "Démarrage slot et carte";
inline constexpr const char* kHolder = "Lecture des données porteur";
inline constexpr const char* kSituations = "Lecture des situations/facturations";
inline constexpr const char* kCertificates = "Lecture des certificats";
inline constexpr const char* kSignature = "Signature";
inline constexpr const char* kRandom = "Génération de nombres aléatoires";
inline constexpr const char* kFinished = "Test des services terminé";
}  // namespace servicesteps

/// "dd/MM/yyyy à HH:mm:ss" in local time.
std::string servicesTestDate(std::chrono::system_clock::time_point when);

/// The proposed file name of a saved report started at `currentDate`. The date's "/" would name
/// folders: they become "-"; "10:00:00" becomes "10h00m00".
std::string servicesReportFileName(const std::string& currentDate);

/// The report's first lines: the program and its version, and the test's start time.
std::string servicesReportHeader(const std::string& version, const std::string& currentDate);

/// The section title that opens a step in the report ("\n\nSignature:\n").
std::string servicesSectionTitle(const char* step);

/// Written at the end of a report when there was no reader to test.
inline constexpr const char* kNoReaderSelectedLine = "\nAucun lecteur sélectionné : test interrompu";

/// How a services test ended.
struct ServicesTestOutcome {
    /// False when no reader was given: the test stopped after listing the slots.
    bool readerTested = false;
    /// `C_Login`'s result with the PIN given; absent when the test did not get that far.
    std::optional<CK_RV> login;
    /// The traced library calls that did not return CKR_OK, in order (the login's included).
    std::vector<std::string> failedCalls;
    /// The card the test opened (the library was restarted: the caller's cards are stale).
    std::shared_ptr<Pkcs11Card> card;
};

/// The services test's steps: restarts the library, then exercises the slots and the card of one
/// slot (holder data, situations after a login with the PIN, certificates, the three signature
/// mechanisms, random numbers). No step stops the test; each call's line is written by the binding
/// into the recorder, which the test turns on and empties first.
///
/// Runs on the calling thread, blocking for the whole test (the window runs it on a worker thread).
/// The library's recorder must be `recorder`.
class ServicesTest {
public:
    /// The signature mechanisms tried, in order: CKM_RSA_PKCS, CKM_SHA1_RSA_PKCS, CKM_SHA256_RSA_PKCS.
    static constexpr unsigned long certSignAlgo[] = {0x1, 0x6, 0x40};

    /// Called at the end of each step with the step's report lines, then the next step's label and
    /// section title (both null after the last step) and its progress (0 to 100).
    using StepHandler = std::function<void(const std::string& lines, int progress, const char* nextStep,
                                           const std::string& nextSectionTitle)>;

    ServicesTest(Pkcs11Library& library, ServiceReportRecorder& recorder) : library_(library), recorder_(recorder) {}

    /// Turns the recorder on and empties it; call before `run`, on the thread that shows the header.
    void prepare();

    /// Runs every step on `slot` (absent: no reader selected). `secret` is wiped as soon as the
    /// login was tried (or at once when there is no reader); it is never logged.
    ServicesTestOutcome run(std::optional<CK_SLOT_ID> slot, SecretBytes& secret, const StepHandler& onStep);

private:
    void endStep(const StepHandler& onStep, int progress, const char* nextStep, ServicesTestOutcome& outcome);

    Pkcs11Library& library_;
    ServiceReportRecorder& recorder_;
};

}  // namespace qel
