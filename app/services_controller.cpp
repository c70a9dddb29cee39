#include "app/services_controller.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "app/pin_fields.h"
#include "app/pin_pad_controller.h"
#include "management/services_test.h"
#include "common/atomic_file.h"
#include "common/format.h"
#include "common/logger.h"
#include "issuerlib/pkcs11_card.h"

namespace qel {
ServicesController::ServicesController(ui::ServicesView& view, ServicesViewServices services,
                                       ServicesTestRequest request)
    : view_(view), o_(view.widgets()), s_(std::move(services)), request_(std::move(request)) {
    if (!o_.complete()) throw std::invalid_argument("services view: widgets missing");
    o_.resultSaveButton->setClickHandler([this] { onExportResult(); });
    o_.quit->setClickHandler([this] { onQuit(); });
}

ServicesController::~ServicesController() {
    waitForWorker();
    if (request_.secret) request_.secret->clear();
}

void ServicesController::waitForWorker() {
    if (worker_.joinable()) worker_.join();
}

void ServicesController::append(const std::string& text) {
    report_ += text;
    o_.resultText->appendText(text);
}

void ServicesController::onShown() {
    if (started_) return;
    started_ = true;
    o_.stepLabel->setText("");
    o_.resultText->setText("");
    o_.resultSaveButton->setEnabled(false);
    o_.quit->setEnabled(false);
    o_.progressBar->setValue(0);
    // From here the library is the test's: the owner holds its own calls until the card comes back.
    if (request_.owner) request_.owner->servicesTestStarted();
    ServicesTest(s_.library, s_.recorder).prepare();
    currentDate_ = servicesTestDate(s_.clock ? s_.clock() : std::chrono::system_clock::now());
    report_.clear();
    append(servicesReportHeader(s_.version, currentDate_));
    o_.stepLabel->setText(servicesteps::kInitialisation);
    append(servicesSectionTitle(servicesteps::kInitialisation));
    worker_ = std::thread([this, secret = std::exchange(request_.secret, nullptr)] { runTest(secret); });
}

// Worker thread: the test touches the library and the recorder only; everything shown goes
// through the main queue.
void ServicesController::runTest(std::shared_ptr<SecretBytes> secret) {
    SecretBytes pin = secret ? std::move(*secret) : SecretBytes();
    secret.reset();
    ServicesTest test(s_.library, s_.recorder);
    const ServicesTestOutcome outcome =
        test.run(request_.readerSelected, pin,
                 [this](const std::string& lines, int progress, const char* nextStep, const std::string& title) {
                     s_.mainQueue.post(lifetime_.guard([this, lines, progress, nextStep, title] {
                         append(lines);
                         o_.progressBar->setValue(progress);
                         if (nextStep) {
                             // The login of this step waits for the holder at the reader's keypad.
                             const bool keypad = request_.pinOnKeypad && nextStep == servicesteps::kSituations;
                             o_.stepLabel->setText(keypad ? kPinPadLoginText : nextStep);
                             append(title);
                         }
                     }));
                 });
    s_.mainQueue.post(lifetime_.guard([this, outcome] {
        // Nothing to test on: say so and end, with the buttons usable.
        if (!outcome.readerTested) append(kNoReaderSelectedLine);
        o_.stepLabel->setText(servicesteps::kFinished);
        o_.resultSaveButton->setEnabled(true);
        o_.quit->setEnabled(true);
        pCard_ = outcome.card;
        finished_ = true;
        if (quitWhenFinished_) onQuit();
    }));
}

void ServicesController::onExportResult() {
    ui::SaveRequest request{s_.desktopDir, servicesReportFileName(currentDate_), "txt",
                            "Enregistrer le résultat du test des services", "Texte"};
    const std::optional<std::string> path = s_.filePicker.chooseSaveLocation(request);
    if (!path) return;
    logInfo("Résultat enregistré sous: file://" + *path);
    if (const std::error_code error = writeFileAtomically(*path, report_, 0644))
        logError("Erreur lors de l'enregistrement du résultat: " + error.message());
}

void ServicesController::onQuit() {
    if (request_.owner && started_ && !handedBack_) {
        handedBack_ = true;
        request_.owner->servicesTestEnded(pCard_);
    }
    view_.close();
}

void ServicesController::onCloseRequest() {
    if (finished_ || !started_) return onQuit();
    quitWhenFinished_ = true;
    view_.hide();
}

}  // namespace qel
