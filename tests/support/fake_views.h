#pragma once
// Recording widgets and views for the controller tests.
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "management/views/alert_presenter.h"
#include "app/views/certificate_view.h"
#include "management/views/desktop_services.h"
#include "app/views/identification_view.h"
#include "app/views/main_window_view.h"
#include "app/views/maintenance_view.h"
#include "app/maintenance_controller.h"
#include "app/views/navigator.h"
#include "app/views/pin_dialog_views.h"
#include "app/views/situation_view.h"
#include "app/views/tmaj_view.h"
#include "app/views/widgets.h"

namespace qel::ui {
inline void PrintTo(const Colour& c, std::ostream* os) {
    if (c.isNamed())
        *os << "named " << c.name;
    else
        *os << "rgb " << int(c.rgb.red) << "," << int(c.rgb.green) << "," << int(c.rgb.blue);
}
}  // namespace qel::ui

namespace qel::test {

template <typename Base>
class FakeWidget : public Base {
public:
    void setEnabled(bool e) override { enabled = e; }
    bool isEnabled() const override { return enabled; }
    void setHidden(bool h) override { hidden = h; }
    bool isHidden() const override { return hidden; }
    void setTooltip(const std::string& t) override { tooltip = t; }
    bool enabled = true;
    bool hidden = false;
    std::string tooltip;
};

class FakeLabel : public FakeWidget<ui::Label> {
public:
    void setText(const std::string& t) override { value = t; }
    std::string text() const override { return value; }
    void setTextColour(const ui::Colour& c) override { colour = c; }
    bool textWiderThanLabel(const std::string& t) const override { return t.size() > width; }
    std::string value;
    ui::Colour colour;
    std::size_t width = 20;
};

class FakeButton : public FakeWidget<ui::Button> {
public:
    void setTitle(const std::string& t) override { titleText = t; }
    std::string title() const override { return titleText; }
    void setTitleColour(const ui::Colour& c) override { titleColour = c; }
    void setImage(const std::string& p) override { picture = p; }
    void setClickHandler(std::function<void()> h) override { handler = std::move(h); }
    void click() {
        if (enabled && handler) handler();
    }
    std::string titleText;
    ui::Colour titleColour;
    std::string picture;
    std::function<void()> handler;
};

class FakeImage : public FakeWidget<ui::ImageView> {
public:
    void setImage(const std::string& p) override { picture = p; }
    std::string picture;
};

class FakeField : public FakeWidget<ui::SecureField> {
public:
    SecretBytes secret() const override { return SecretBytes(value); }
    void setSecret(const SecretBytes& s) override { value = std::string(s.view()); }
    void setEditHandler(std::function<void()> h) override { handler = std::move(h); }
    /// The user types `t` at the end of the text.
    void type(const std::string& t) {
        for (char c : t) {
            value.push_back(c);
            if (handler) handler();
        }
    }
    std::string value;
    std::function<void()> handler;
};

class FakePopUp : public FakeWidget<ui::PopUpList> {
public:
    void removeAllItems() override {
        items.clear();
        keys.clear();
        added.clear();
        selected = -1;
    }
    void addItem(const std::string& t, const std::string& key) override {
        items.push_back(t);
        keys.push_back(key);
        added.push_back(t);
    }
    int itemCount() const override { return static_cast<int>(items.size()); }
    std::string itemTitle(int i) const override { return valid(i) ? items[static_cast<std::size_t>(i)] : ""; }
    std::string itemKey(int i) const override { return valid(i) ? keys[static_cast<std::size_t>(i)] : ""; }
    void setItemTitle(int i, const std::string& t) override {
        if (valid(i)) items[static_cast<std::size_t>(i)] = t;
    }
    void selectItem(int i) override { selected = valid(i) ? i : -1; }
    int selectedIndex() const override { return selected; }
    std::string selectedKey() const override { return itemKey(selected); }
    void setSelectionHandler(std::function<void()> h) override { handler = std::move(h); }
    /// The user picks entry `i`.
    void pick(int i) {
        selectItem(i);
        if (handler) handler();
    }
    bool valid(int i) const { return i >= 0 && i < itemCount(); }
    std::vector<std::string> items;
    std::vector<std::string> keys;
    /// The entries as they were added, before any retitling.
    std::vector<std::string> added;
    int selected = -1;
    std::function<void()> handler;
};

class FakeProgress : public FakeWidget<ui::ProgressIndicator> {
public:
    void startAnimation() override { spinning = true; }
    void stopAnimation() override { spinning = false; }
    bool spinning = false;
};

class FakeArea : public FakeWidget<ui::Area> {};

class FakeProgressBar : public FakeWidget<ui::ProgressBar> {
public:
    void setValue(int p) override {
        percent = p;
        values.push_back(p);
    }
    int value() const override { return percent; }
    int percent = 0;
    std::vector<int> values;  ///< every value shown, in order
};

class FakeMenuItem : public FakeWidget<ui::MenuItem> {
public:
    void setTriggerHandler(std::function<void()> h) override { handler = std::move(h); }
    void trigger() {
        if (handler) handler();
    }
    std::function<void()> handler;
};

class FakeIdentificationView : public ui::IdentificationView {
public:
    FakeIdentificationView();
    const ui::IdentificationWidgets& widgets() override { return o; }
    void setViewHidden(bool h) override { hidden = h; }
    FakeLabel name, firstName, identifier, job, num, emission, expiration, serialNum, serialNumTitle;
    FakeButton copy;
    bool hidden = false;
    ui::IdentificationWidgets o;
};

class FakeSituationView : public ui::SituationView {
public:
    FakeSituationView();
    const ui::SituationWidgets& widgets() override { return o; }
    void setViewHidden(bool h) override { hidden = h; }
    FakeArea situView, factuView;
    FakeLabel mode, raison, ident, secteur, tabPharma, noSitu, fIdent, fSpec, fConv, fZone, fIndem, fAgr, fFse, fLot,
        pageCounter;
    FakeButton previous, next, copySitu, copyFactu;
    bool hidden = false;
    ui::SituationWidgets o;
};

class FakeMainWindow : public ui::MainWindowView {
public:
    FakeMainWindow();
    const ui::MainWindowWidgets& widgets() override { return o; }
    ui::IdentificationView& identificationView() override { return identificationPane; }
    ui::SituationView& situationView() override { return situationPane; }
    void showSubView(ui::SubView v) override { subView = v; }
    void letEventLoopRun() override { ++eventLoopRuns; }
    void closeWindow() override { closed = true; }
    void showAboutPanel() override { aboutShown = true; }
    void announce(const std::string& text) override { announced.push_back(text); }
    void setCloseRequestHandler(std::function<bool()> h) override { closeHandler = std::move(h); }
    void setHoverHandler(std::function<void(const std::string&, bool)> h) override { hoverHandler = std::move(h); }

    FakeButton identification, situation, certificate, tmaj, pinCode, pinCodeModif, unlockCard, maintenance,
        diagQELButton, testsSsl, portalEQEL, contactSupport, cardUnlock, cardPinPadlock, refreshButton,
        VekAuthentication, VekDisconnect;
    FakeImage situationLock, tmajNotif, topCard;
    FakeLabel cardNameLabel, cardJobLabel, cardIdentifierTitle, cardIdentifierLabel, cardNumTitle, cardNumLabel,
        cardStatusTitle, cardStatusLabel, cardNoInsertedLabel, cardBlockedLabel, testLabel, demoModeTitle, cardStatus;
    FakeArea card, cardEmpty;
    FakePopUp cardComboBox;
    FakeProgress progress;
    FakeMenuItem activateDemo, desactivateDemo, quitItem, aboutItem;
    FakeIdentificationView identificationPane;
    FakeSituationView situationPane;

    ui::SubView subView = ui::SubView::certificate;
    int eventLoopRuns = 0;
    bool closed = false;
    bool aboutShown = false;
    std::vector<std::string> announced;
    std::function<bool()> closeHandler;
    std::function<void(const std::string&, bool)> hoverHandler;
    ui::MainWindowWidgets o;
};

/// The dialogs a navigator opens.
enum class Dialog {
    pinEntry,
    pinChange,
    unlock,
    updateWizard,
    servicesTest,
    signInWait,
    signIn,
    signInCodes,
    signInDone,
    signOut,
    signInAlert,
    quitWhileSignedIn
};

inline std::ostream& operator<<(std::ostream& os, Dialog d) {
    static const char* const names[] = {"pinEntry",     "pinChange",  "unlock",      "updateWizard",
                                        "servicesTest", "signInWait", "signIn",      "signInCodes",
                                        "signInDone",   "signOut",    "signInAlert", "quitWhileSignedIn"};
    return os << names[static_cast<int>(d)];
}

/// Records every dialog asked for, with what it was given, and opens none.
struct FakeNavigator : ui::Navigator {
    struct Opened {
        Dialog dialog;
        /// The PIN entry's request.
        ui::PinEntryRequest pinEntry;
        /// The card handed to the PIN dialogs and the update wizard.
        std::shared_ptr<Pkcs11Card> card;
        /// The window told the PIN dialogs' outcome.
        MainWindowListener* window = nullptr;
        TmajListener* updateOwner = nullptr;
        std::optional<ServicesTestRequest> servicesTest;
        /// The sign-in dialogs' request, listener and alert type.
        vek::VekRequestRef request;
        VekListener* listener = nullptr;
        vek::RespType alert{};
    };

    void openPinEntry(const ui::PinEntryRequest& request) override {
        Opened& o = record(Dialog::pinEntry);
        o.pinEntry = request;
        o.card = request.card;
        o.window = request.window;
    }
    void openPinChange(std::shared_ptr<Pkcs11Card> card, MainWindowListener* window) override {
        Opened& o = record(Dialog::pinChange);
        o.card = std::move(card);
        o.window = window;
    }
    void openUnlock(std::shared_ptr<Pkcs11Card> card, MainWindowListener* window) override {
        Opened& o = record(Dialog::unlock);
        o.card = std::move(card);
        o.window = window;
    }
    void openUpdateWizard(std::shared_ptr<Pkcs11Card> card, TmajListener* owner) override {
        Opened& o = record(Dialog::updateWizard);
        o.card = std::move(card);
        o.updateOwner = owner;
    }
    void openServicesTest(const ServicesTestRequest& request) override {
        record(Dialog::servicesTest).servicesTest = request;
    }
    void openSignInWait(vek::VekRequestRef request, VekListener* listener) override {
        recordSignIn(Dialog::signInWait, std::move(request), listener);
    }
    void openSignIn(vek::VekRequestRef request, VekListener* listener) override {
        recordSignIn(Dialog::signIn, std::move(request), listener);
    }
    void openSignInCodes(vek::VekRequestRef request, VekListener* listener) override {
        recordSignIn(Dialog::signInCodes, std::move(request), listener);
    }
    void openSignInDone(vek::VekRequestRef request, VekListener* listener) override {
        recordSignIn(Dialog::signInDone, std::move(request), listener);
    }
    void openSignOut(vek::VekRequestRef request, VekListener* listener) override {
        recordSignIn(Dialog::signOut, std::move(request), listener);
    }
    void openSignInAlert(vek::RespType type) override { record(Dialog::signInAlert).alert = type; }
    void openQuitWhileSignedIn(VekListener* listener) override {
        recordSignIn(Dialog::quitWhileSignedIn, {}, listener);
    }

    /// The dialogs asked for so far, in order.
    std::vector<Dialog> dialogs() const {
        std::vector<Dialog> all;
        for (const auto& o : opened) all.push_back(o.dialog);
        return all;
    }

    std::vector<Opened> opened;

private:
    Opened& record(Dialog dialog) {
        opened.push_back(Opened{dialog, {}, {}, nullptr, nullptr, {}, {}, nullptr, {}});
        return opened.back();
    }
    void recordSignIn(Dialog dialog, vek::VekRequestRef request, VekListener* listener) {
        Opened& o = record(dialog);
        o.request = std::move(request);
        o.listener = listener;
    }
};

struct FakeClipboard : ui::Clipboard {
    void setText(const std::string& t) override { text = t; }
    std::string text;
};

struct FakeUrlOpener : ui::UrlOpener {
    bool openUrl(const std::string& url) override {
        urls.push_back(url);
        return true;
    }
    std::vector<std::string> urls;
};

class FakePinEntryView : public ui::PinEntryView {
public:
    FakePinEntryView() { o = {&errorPinLabel, &pinTextField, &validate, &cancel}; }
    const ui::PinEntryWidgets& widgets() override { return o; }
    void close() override { closed = true; }
    FakeLabel errorPinLabel;
    FakeField pinTextField;
    FakeButton validate, cancel;
    bool closed = false;
    ui::PinEntryWidgets o;
};

class FakePinPadView : public ui::PinPadView {
public:
    FakePinPadView() {
        o = {&instruction, &message, &retry, &cancel};
        message.hidden = true;
    }
    const ui::PinPadWidgets& widgets() override { return o; }
    void setWaiting(bool w) override { waiting = w; }
    void close() override { closed = true; }
    FakeLabel instruction, message;
    FakeButton retry, cancel;
    bool waiting = false;
    bool closed = false;
    ui::PinPadWidgets o;
};

/// The PIN change and card unlock dialogs: the fields below the first code, and the widgets.
template <typename View, typename Widgets>
class FakeNewPinView : public View {
public:
    FakeNewPinView() {
        static_cast<ui::NewPinWidgets&>(o) = {&newPin, &renewPin, &newTip, &renewTip, &errorLabel, &validate, &cancel};
        errorLabel.hidden = newTip.hidden = renewTip.hidden = true;
    }
    const Widgets& widgets() override { return o; }
    void close() override { closed = true; }
    FakeField newPin, renewPin;
    FakeImage newTip, renewTip;
    FakeLabel errorLabel;
    FakeButton validate, cancel;
    bool closed = false;
    Widgets o;
};

class FakePinChangeView : public FakeNewPinView<ui::PinChangeView, ui::PinChangeWidgets> {
public:
    FakePinChangeView() {
        o.oldPinTextField = &oldPin;
        o.oldPinTooltip = &oldTip;
        oldTip.hidden = true;
    }
    FakeField oldPin;
    FakeImage oldTip;
};

class FakeUnlockCardView : public FakeNewPinView<ui::UnlockCardView, ui::UnlockCardWidgets> {
public:
    FakeUnlockCardView() {
        o.pukTextField = &puk;
        o.pukTooltip = &pukTip;
        pukTip.hidden = true;
    }
    FakeField puk;
    FakeImage pukTip;
};

class FakeCertificateView : public ui::CertificateView {
public:
    FakeCertificateView() {
        o = {&authentName,   &authentView,   &authentSave, &signatureName,
             &signatureView, &signatureSave, &count,       &message};
    }
    const ui::CertificateWidgets& widgets() override { return o; }
    void setViewHidden(bool h) override { hidden = h; }
    FakeLabel authentName, signatureName, count, message;
    FakeButton authentView, authentSave, signatureView, signatureSave;
    bool hidden = false;
    ui::CertificateWidgets o;
};

struct FakeCertificateViewer : ui::CertificateViewer {
    void show(const ui::CertificateDetails& d) override { shown.push_back(d); }
    std::vector<ui::CertificateDetails> shown;
};

/// Answers every save dialog with `answer` (nothing = the user cancels) and keeps the requests.
struct FakeFilePicker : ui::FilePicker {
    std::optional<std::string> chooseSaveLocation(const ui::SaveRequest& r) override {
        requests.push_back(r);
        return answer;
    }
    std::optional<std::string> answer;
    std::vector<ui::SaveRequest> requests;
};

/// The update wizard, in the state its layout opens with (the opening text in `message`).
class FakeTmajView : public ui::TmajView {
public:
    FakeTmajView() {
        o = {&stepper, &consigne, &message, &pinCode, &progressBar, &errorTextField, &next, &cancel};
        pinCode.hidden = progressBar.hidden = consigne.hidden = errorTextField.hidden = true;
        next.titleText = "Suivant";
    }
    const ui::TmajWidgets& widgets() override { return o; }
    void focusPinField() override { pinFocused = true; }
    void close() override { ++closes; }
    FakeImage stepper;
    FakeLabel consigne, message, errorTextField;
    FakeField pinCode;
    FakeProgressBar progressBar;
    FakeButton next, cancel;
    bool pinFocused = false;
    int closes = 0;
    ui::TmajWidgets o;
};

/// Answers every alert with `answer` (the button's position) and keeps the alerts.
struct FakeAlertPresenter : ui::AlertPresenter {
    int runModal(const ui::Alert& alert) override {
        alerts.push_back(alert);
        return answer;
    }
    int answer = 0;
    std::vector<ui::Alert> alerts;
};

class FakeCheckBox : public FakeWidget<ui::CheckBox> {
public:
    void setChecked(bool c) override { checked = c; }
    bool isChecked() const override { return checked; }
    void setToggleHandler(std::function<void()> h) override { handler = std::move(h); }
    /// The user clicks the box.
    void click() {
        checked = !checked;
        if (handler) handler();
    }
    bool checked = false;
    std::function<void()> handler;
};

class FakeTextArea : public FakeWidget<ui::TextArea> {
public:
    void setText(const std::string& t) override { value = t; }
    void appendText(const std::string& t) override { value += t; }
    std::string text() const override { return value; }
    std::string value;
};

class FakeMaintenanceView : public ui::MaintenanceView {
public:
    FakeMaintenanceView() {
        o = {&servicesTest, &activeTraces, &traceLabel, &exportButton, &deleteDESfire, &contactSupport};
    }
    const ui::MaintenanceWidgets& widgets() override { return o; }
    FakeButton servicesTest, traceLabel, exportButton, deleteDESfire, contactSupport;
    FakeCheckBox activeTraces;
    ui::MaintenanceWidgets o;
};

class FakeServicesView : public ui::ServicesView {
public:
    FakeServicesView() { o = {&stepLabel, &progressBar, &resultText, &save, &quit}; }
    const ui::ServicesWidgets& widgets() override { return o; }
    void close() override { closed = true; }
    void hide() override { hidden = true; }
    FakeLabel stepLabel;
    FakeProgressBar progressBar;
    bool hidden = false;
    FakeTextArea resultText;
    FakeButton save, quit;
    bool closed = false;
    ui::ServicesWidgets o;
};

}  // namespace qel::test
