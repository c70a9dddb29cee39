#include "app/services_view_controller.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "app/pin_fields.h"
#include "common/format.h"
#include "common/logger.h"
#include "pkcs11/pkcs11_card.h"
#include "pkcs11/pkcs11_library.h"
#include "pkcs11/pkcs11_slot.h"
#include "pkcs11/service_report.h"

namespace qel {
namespace {

const char* const kFinishedStep = "Test des services terminé";

/// Writes the whole text beside `path` and renames it over it; the error's description on failure.
std::optional<std::string> writeAtomically(const std::string& path, const std::string& text) {
    const std::string temporary = path + ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        if (!out) return std::string(std::strerror(errno));
        out << text;
        out.flush();
        if (!out) {
            const std::string error = std::strerror(errno);
            ::unlink(temporary.c_str());
            return error;
        }
    }
    std::error_code ec;
    std::filesystem::rename(temporary, path, ec);
    if (ec) {
        ::unlink(temporary.c_str());
        return ec.message();
    }
    return std::nullopt;
}

}  // namespace

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
    for (char& c : date)
        if (c == '/') c = '-';
    return "Kartello - Résultat du test des services du " + date + ".txt";
}

ServicesViewController::ServicesViewController(ui::ServicesView& view, ServicesViewServices services,
                                               ServicesTestRequest request)
    : view_(view), o_(view.outlets()), s_(std::move(services)), request_(std::move(request)) {
    if (!o_.complete()) throw std::invalid_argument("services view: outlets missing");
    o_.resultSaveButton->setClickHandler([this] { onExportResult(); });
    o_.quit->setClickHandler([this] { onQuit(); });
}

ServicesViewController::~ServicesViewController() {
    waitForWorker();
    wipe(request_.secret);
}

void ServicesViewController::waitForWorker() {
    if (worker_.joinable()) worker_.join();
}

void ServicesViewController::append(const std::string& text) {
    report_ += text;
    o_.resultText->appendText(text);
}

void ServicesViewController::viewDidAppear() {
    if (started_) return;
    started_ = true;
    o_.stepLabel->setText("");
    o_.resultText->setText("");
    o_.resultSaveButton->setEnabled(false);
    o_.quit->setEnabled(false);
    o_.progressBar->setValue(0);
    s_.recorder.setEnabled(true);
    s_.recorder.takeBuffer();
    currentDate_ = servicesTestDate(s_.clock ? s_.clock() : std::chrono::system_clock::now());
    report_.clear();
    append("Kartello " + s_.version + "\nTest des services du " + currentDate_ + "\n");
    o_.stepLabel->setText("Initialisation PKCS11");
    append("\n\nInitialisation:\n");
    worker_ =
        std::thread([this, secret = std::exchange(request_.secret, {})]() mutable { runTest(std::move(secret)); });
}

void ServicesViewController::nextStep(int progress, const char* label, const char* sectionTitle) {
    s_.mainQueue.post(lifetime_.guard([this, lines = s_.recorder.takeBuffer(), progress, label, sectionTitle] {
        append(lines);
        o_.progressBar->setValue(progress);
        o_.stepLabel->setText(label);
        if (sectionTitle) append(sectionTitle);
    }));
}

// Worker thread: touches the library and the recorder only; everything shown goes through the
// main queue. No step stops the test.
void ServicesViewController::runTest(std::string secret) {
    Pkcs11Library& library = s_.library;
    CK_RV rv = library.finalize();
    if (rv != CKR_OK) logError(format("Erreur dans C_Finalize: %lu", static_cast<unsigned long>(rv)));
    rv = library.initialize();
    s_.recorder.recordServiceResult("C_Initialize", rv);

    nextStep(10, "Démarrage slot et carte", "\n\nDémarrage slot et carte:\n");
    std::vector<CK_SLOT_ID> slots;
    rv = library.getSlotList(slots);
    s_.recorder.recordServiceResult("C_GetSlotList", rv);
    if (rv == CKR_OK) {
        // Each slot's information goes into the report.
        for (CK_SLOT_ID id : slots) Pkcs11Slot(library, id).refreshSlot();
    }
    if (!request_.readerSelected) {
        // Nothing to test on: say so and end, with the buttons usable.
        wipe(secret);
        s_.mainQueue.post(lifetime_.guard([this, lines = s_.recorder.takeBuffer()] {
            append(lines);
            append("\nAucun lecteur sélectionné : test interrompu");
            o_.progressBar->setValue(100);
            o_.stepLabel->setText(kFinishedStep);
            o_.resultSaveButton->setEnabled(true);
            o_.quit->setEnabled(true);
            finished_ = true;
        }));
        return;
    }
    auto card = std::make_shared<Pkcs11Card>(library, *request_.readerSelected, false);

    nextStep(20, "Lecture des données porteur", "\n\nLecture des données porteur:\n");
    card->getHolderInfos();

    nextStep(40, "Lecture des situations/facturations", "\n\nLecture des situations/facturations:\n");
    if (card->session == 0) {
        card->openSession(false);
    } else {
        try {
            card->getSessionInfo();
        } catch (const std::exception&) {
            // Recorded by the binding; the login below says the rest.
        }
    }
    rv = card->login(secret, false);
    wipe(secret);
    if (rv == CKR_OK) card->getSituations();

    nextStep(60, "Lecture des certificats", "\n\nLecture des certificats:\n");
    if (!card->x509Certs) {
        card->x509Certs.emplace();
        card->loadCertificates();
    }

    nextStep(80, "Signature", "\n\nSignature:\n");
    // A SHA-256 DigestInfo: what the raw mechanism expects, and plain data for the hashing ones.
    Bytes sample{0x30, 0x31, 0x30, 0x0D, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                 0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
    for (std::uint8_t i = 0; i < 32; ++i) sample.push_back(i);
    for (unsigned long mechanism : certSignAlgo) card->signatureSelfTest(sample, mechanism);

    nextStep(90, "Génération de nombres aléatoires", "\n\nGénération de nombres aléatoires:\n");
    Bytes random;
    library.generateRandom(card->session, 64, random);

    s_.mainQueue.post(lifetime_.guard([this, lines = s_.recorder.takeBuffer(), card] {
        append(lines);
        o_.progressBar->setValue(100);
        o_.stepLabel->setText(kFinishedStep);
        o_.resultSaveButton->setEnabled(true);
        o_.quit->setEnabled(true);
        pCard_ = card;
        finished_ = true;
    }));
}

void ServicesViewController::onExportResult() {
    ui::SaveRequest request{s_.desktopDir, servicesReportFileName(currentDate_), "txt"};
    const std::optional<std::string> path = s_.filePicker.chooseSaveLocation(request);
    if (!path) return;
    logInfo("Résultat enregistré sous: file://" + *path);
    if (auto error = writeAtomically(*path, report_))
        logError("Erreur lors de l'enregistrement du résultat: " + *error);
}

void ServicesViewController::onQuit() {
    if (request_.owner && pCard_) request_.owner->servicesTestEnded(pCard_);
    view_.close();
}

}  // namespace qel
