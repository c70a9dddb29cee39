#pragma once
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "app/lifetime.h"
#include "app/maintenance_view_controller.h"
#include "management/services_test.h"
#include "app/views/certificate_view.h"
#include "app/views/maintenance_view.h"
#include "common/main_queue.h"

namespace qel {

class Pkcs11Card;
class Pkcs11Library;
class ServiceReportRecorder;

struct ServicesViewServices {
    /// The library the test restarts; its recorder must be `recorder`.
    Pkcs11Library& library;
    ServiceReportRecorder& recorder;
    MainQueue& mainQueue;
    ui::FilePicker& filePicker;
    /// The application's short version text, shown in the report's first line.
    std::string version;
    /// Where the save dialog starts (the user's desktop folder).
    std::string desktopDir;
    /// The current time (tests fix it); the system clock when empty.
    std::function<std::chrono::system_clock::time_point()> clock;
};

/// The services test window: exercises the library and the card step by step on the selected
/// reader and shows one report line per library call. The steps run on a worker thread; each
/// step's lines, the step label and the progress reach the window through the main queue, so the
/// window stays responsive. Main thread only, except where stated.
class ServicesViewController {
public:
    /// The view's outlets must be complete; the buttons are wired here. `request.secret` is moved
    /// into the test.
    ServicesViewController(ui::ServicesView& view, ServicesViewServices services, ServicesTestRequest request);
    /// Waits for a running test to end.
    ~ServicesViewController();

    ServicesViewController(const ServicesViewController&) = delete;
    ServicesViewController& operator=(const ServicesViewController&) = delete;

    /// Prepares the report and starts the test (once per controller).
    void viewDidAppear();
    void onExportResult();
    /// Hands the test's card to the owner and closes the window.
    void onQuit();
    /// Escape or the window's close box: like `onQuit` once the test ended; during the test the
    /// window goes at once and the rest follows when the worker ends, without waiting for it here.
    void onCloseRequest();

    /// Blocks until the worker has ended (its last results are then waiting on the main queue).
    void waitForWorker();

    /// The start time "dd/MM/yyyy à HH:mm:ss".
    const std::string& currentDate() const { return currentDate_; }
    /// The report as shown.
    const std::string& report() const { return report_; }
    bool finished() const { return finished_; }

private:
    void runTest(std::shared_ptr<SecretBytes> secret);
    void append(const std::string& text);

    ui::ServicesView& view_;
    const ui::ServicesOutlets& o_;
    ServicesViewServices s_;
    ServicesTestRequest request_;
    std::string currentDate_;
    std::string report_;
    std::shared_ptr<Pkcs11Card> pCard_;
    bool started_ = false;
    bool finished_ = false;
    bool quitWhenFinished_ = false;
    bool handedBack_ = false;
    std::thread worker_;
    Lifetime lifetime_;
};

}  // namespace qel
