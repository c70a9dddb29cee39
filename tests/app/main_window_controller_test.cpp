#include "app/maintenance_controller.h"
#include "authservice/tls/client_tls.h"
#include "tests/app/main_window_fixture.h"
#include "tests/support/log_capture.h"

namespace qel::test {
namespace {

using MainWindowTest = MainWindowFixture;

// Which buttons can be used, in a fixed order, for comparing whole states at once.
std::string usable(FakeMainWindow& w) {
    std::string s;
    const std::pair<const char*, FakeButton*> buttons[] = {
        {"identification", &w.identification},
        {"situation", &w.situation},
        {"certificate", &w.certificate},
        {"tmaj", &w.tmaj},
        {"pinCode", &w.pinCode},
        {"pinCodeModif", &w.pinCodeModif},
        {"unlockCard", &w.unlockCard},
        {"diag", &w.diagQELButton},
        {"vekAuth", &w.VekAuthentication},
        {"vekDisconnect", &w.VekDisconnect},
    };
    for (const auto& [name, button] : buttons)
        if (button->enabled) s += std::string(s.empty() ? "" : " ") + name;
    return s;
}

TEST_F(MainWindowTest, StartsOnTheReaderThatHoldsACard) {
    module.addSlot("Reader A");
    contactCard("Reader B");
    start();
    EXPECT_TRUE(kartelloSession.p11Loaded);
    EXPECT_EQ(window.cardComboBox.items, (std::vector<std::string>{"Reader A", "DUPONT JEAN — Reader B"}));
    EXPECT_EQ(window.cardComboBox.selected, 1);
    EXPECT_EQ(vc->readerSelected(), 1);
    EXPECT_EQ(window.cardNameLabel.value, "DUPONT JEAN");
    EXPECT_EQ(window.cardIdentifierLabel.value, "810001234567");
    EXPECT_EQ(window.cardNumLabel.value, "1234567890");
    EXPECT_EQ(window.cardStatusLabel.value, "Expire le 31/12/2029");
    EXPECT_EQ(window.cardStatusLabel.colour, ui::colours::darkGrey);
    EXPECT_EQ(window.topCard.picture, "top-card-medecin");
    EXPECT_EQ(window.cardJobLabel.colour, ui::Colour::named("medecin"));
    EXPECT_FALSE(window.card.hidden);
    EXPECT_TRUE(window.cardEmpty.hidden);
    EXPECT_TRUE(window.testLabel.hidden);
    EXPECT_EQ(window.cardStatus.value, "");
    EXPECT_EQ(window.announced, std::vector<std::string>{"Carte lue : DUPONT JEAN, Médecin"});
    EXPECT_TRUE(window.refreshButton.enabled);
    EXPECT_FALSE(window.progress.spinning);
    EXPECT_EQ(usable(window), "identification situation certificate tmaj pinCode pinCodeModif diag vekAuth");
    EXPECT_FALSE(window.cardPinPadlock.hidden);
    EXPECT_EQ(window.cardPinPadlock.picture, "lock");
    EXPECT_TRUE(window.cardBlockedLabel.hidden);
    EXPECT_EQ(window.identificationPane.name.value, "DUPONT");
    EXPECT_EQ(kartelloSession.currentCard, vc->selectedCard());
    EXPECT_EQ(launcher.launched, std::vector<std::string>{kAgentIdentifier});
    EXPECT_FALSE(window.desactivateDemo.enabled);
}

TEST_F(MainWindowTest, OnlyTheProgramsSelectionReadsTheSameReaderAgain) {
    contactCard("Reader A");
    start();
    const int afterStart = opened();
    window.cardComboBox.pick(0);
    EXPECT_EQ(opened(), afterStart);
    vc->readerSelection(MainWindowController::algoSender);
    EXPECT_EQ(opened(), afterStart + 1);
}

TEST_F(MainWindowTest, ReadersWithoutCardsAreListedAndNothingIsRead) {
    module.addSlot("Reader A");
    module.addSlot("Reader B");
    start();
    EXPECT_EQ(window.cardComboBox.items, (std::vector<std::string>{"Reader A", "Reader B"}));
    EXPECT_EQ(window.cardComboBox.selected, -1);
    EXPECT_EQ(opened(), 0);
    EXPECT_EQ(window.cardNoInsertedLabel.value, "Carte non insérée");
    EXPECT_EQ(usable(window), "");
    EXPECT_TRUE(window.cardPinPadlock.hidden);

    // The card arrives in B; the user picks B.
    contactCard("unused");
    module.slotList[1].present = true;
    module.slotList[1].token = module.slotList[2].token;
    window.cardComboBox.pick(1);
    EXPECT_EQ(window.cardNameLabel.value, "DUPONT JEAN");
}

TEST_F(MainWindowTest, NoReaderIsOneEntry) {
    LogCapture log;
    start();
    EXPECT_EQ(window.cardComboBox.items, std::vector<std::string>{"Pas de lecteur détecté !"});
    EXPECT_TRUE(window.refreshButton.enabled);
    EXPECT_TRUE(log.contains("Pas de lecteur vu par la librairie PKCS11")) << log.text();
}

TEST_F(MainWindowTest, MissingLibraryBehavesAsAFailedInitialize) {
    LogCapture log;
    Pkcs11Library missing("/nonexistent/libqel3_pkcs11.so");
    start(&missing);
    EXPECT_FALSE(kartelloSession.p11Loaded);
    EXPECT_TRUE(window.cardComboBox.items.empty());
    EXPECT_EQ(window.cardStatus.value, "");
    EXPECT_TRUE(log.contains("/nonexistent/libqel3_pkcs11.so")) << log.text();
    EXPECT_TRUE(log.contains("C_Initialize: 5")) << log.text();
    kartelloSession.aboutToQuit();
    EXPECT_EQ(module.count("C_Finalize"), 0);

    // Demo mode works without a library.
    window.activateDemo.trigger();
    window.cardComboBox.pick(1);
    EXPECT_EQ(window.cardNameLabel.value, "DUPONT Philippe");
}

TEST_F(MainWindowTest, PinBlockedCardOffersOnlyUnlock) {
    contactCard("Reader A").token.pinTries = 0;
    start();
    EXPECT_TRUE(vc->isCardBlocked());
    EXPECT_EQ(usable(window), "identification certificate unlockCard");
    EXPECT_EQ(window.announced.back(), "Carte lue : DUPONT JEAN, Médecin. Carte bloquée");
    EXPECT_FALSE(window.cardBlockedLabel.hidden);
    EXPECT_FALSE(window.cardUnlock.hidden);
    EXPECT_TRUE(window.cardPinPadlock.hidden);
    EXPECT_FALSE(window.card.hidden);
}

TEST_F(MainWindowTest, PukBlockedCardIsDefinitivelyBlocked) {
    FakeSlot& slot = contactCard("Reader A");
    slot.token.pinTries = 0;
    slot.token.soLocked = true;
    start();
    EXPECT_EQ(usable(window), "identification certificate");
    EXPECT_EQ(window.cardNoInsertedLabel.value, "Carte définitivement bloquée");
    EXPECT_TRUE(window.card.hidden);
    EXPECT_FALSE(window.cardEmpty.hidden);
}

TEST_F(MainWindowTest, ExpiryTomorrowIsValidExpiryTodayIsNot) {
    contactCard("Reader A", "16/06/2025");
    contactCard("Reader B", "15/06/2025");
    start();
    EXPECT_EQ(window.cardStatusLabel.value, "Expire le 16/06/2025");
    EXPECT_EQ(window.cardStatusLabel.colour, ui::colours::darkGrey);
    EXPECT_TRUE(window.VekAuthentication.enabled);

    window.cardComboBox.pick(1);
    EXPECT_EQ(window.cardStatusLabel.value, kExpiredCardText);
    EXPECT_EQ(window.cardStatusLabel.colour, ui::colours::red);
    EXPECT_FALSE(vc->isValidCard());
    EXPECT_FALSE(window.VekAuthentication.enabled);
}

TEST_F(MainWindowTest, StudentPharmacistTestCard) {
    contactCard("Reader A", "31/12/2029", "01", "", "21", true);
    start();
    EXPECT_EQ(window.topCard.picture, "top-card-Fpharma");
    EXPECT_EQ(window.cardJobLabel.colour, ui::Colour::named("Fpharma"));
    EXPECT_FALSE(window.testLabel.hidden);
    EXPECT_TRUE(vc->isTestCard());
    window.portalEQEL.click();
    EXPECT_EQ(urls.urls, std::vector<std::string>{links::portalTest});
    // The support is one address, whichever of the two entries the user finds first.
    window.contactSupport.click();
    EXPECT_EQ(urls.urls.back(), std::string(kSupportContactUrl));
}

TEST_F(MainWindowTest, UnknownProfessionShowsTheEmptyCard) {
    contactCard("Reader A", "31/12/2029", "00", "99");
    start();
    EXPECT_EQ(window.topCard.picture, "top-card-empty");
    EXPECT_EQ(window.cardJobLabel.colour, ui::Colour::named("empty"));
}

TEST_F(MainWindowTest, ContactlessCardReadThroughTheLibraryHasNoPinFunctions) {
    module.addSlot("Reader CL", true);  // no identity object: the contactless interface
    start();
    EXPECT_TRUE(vc->isCardInserted());
    EXPECT_FALSE(vc->isContactQEL());
    EXPECT_EQ(usable(window), "identification certificate diag");
    EXPECT_TRUE(window.cardPinPadlock.hidden);
}

TEST_F(MainWindowTest, Qel4SeenOnlyThroughPcscShowsItsContactlessIdentity) {
    module.addSlot("Reader CL");
    Bytes file1{0x80, 0x0C};
    for (char c : std::string("810001234567")) file1.push_back(static_cast<std::uint8_t>(c));
    readers.addReader("Reader CL", FakeCardReaders::Card{hex(kQel4ContactlessAtr), desfireIdentity(file1)});
    start();
    EXPECT_EQ(window.cardComboBox.selected, 0);
    EXPECT_FALSE(vc->isCardInserted());
    EXPECT_EQ(window.cardNoInsertedLabel.value, "Carte QEL4 insérée");
    EXPECT_EQ(window.cardNoInsertedLabel.colour, ui::colours::blue);
    EXPECT_TRUE(window.identification.enabled);
    EXPECT_EQ(window.identificationPane.serialNum.value, "8025000001234567890");
    EXPECT_EQ(window.identificationPane.num.value, "1234567890");
    EXPECT_EQ(window.identificationPane.identifier.value, "810001234567");
    EXPECT_FALSE(window.identificationPane.serialNumTitle.hidden);
    EXPECT_FALSE(window.identificationPane.hidden);
    EXPECT_EQ(window.cardNameLabel.value, " ");
    EXPECT_TRUE(window.card.hidden);
    EXPECT_FALSE(window.cardEmpty.hidden);
    // The status line agrees with the panel, and the holder fields say why they are not filled.
    EXPECT_EQ(window.cardStatus.value, kContactlessCardStatus);
    EXPECT_EQ(window.identificationPane.name.value, kNotReadableContactless);
    EXPECT_EQ(window.identificationPane.job.value, kNotReadableContactless);

    // Maintenance (where this card's contactless data are deleted) stays open, and the window's
    // passes do not read the card again.
    const int sessions = readers.sessions;
    window.maintenance.click();
    vc->updateUI();
    vc->pinEntryResult(false, "");
    EXPECT_EQ(window.subView, ui::SubView::maintenance);
    EXPECT_EQ(readers.sessions, sessions);
    EXPECT_EQ(window.cardNoInsertedLabel.value, "Carte QEL4 insérée");
    EXPECT_TRUE(window.identification.enabled);
    EXPECT_EQ(window.identificationPane.identifier.value, "810001234567");

    // Once the card is gone and back, its identity is read again.
    readers.cards["Reader CL"].reset();
    vc->updateUI();
    EXPECT_EQ(window.cardNoInsertedLabel.value, "Carte non insérée");
    readers.cards["Reader CL"] = FakeCardReaders::Card{hex(kQel4ContactlessAtr), desfireIdentity(file1)};
    vc->updateUI();
    EXPECT_EQ(readers.sessions, sessions + 1);
    EXPECT_EQ(window.subView, ui::SubView::identification);
}

TEST_F(MainWindowTest, MissingPcscServiceLeavesTheWindowUsable) {
    readers.serviceUp = false;
    contactCard("Reader A");
    LogCapture log;
    start();
    window.refreshButton.click();
    EXPECT_EQ(window.cardNameLabel.value, "DUPONT JEAN");
    const std::string text = log.text();
    const std::string line = "Service carte à puce (pcscd) indisponible";
    ASSERT_NE(text.find(line), std::string::npos) << text;
    EXPECT_EQ(text.find(line), text.rfind(line));

    // Without a card the screen names the service, not a missing card.
    module.slotList[0].present = false;
    window.refreshButton.click();
    EXPECT_EQ(window.cardNoInsertedLabel.value, line);
    EXPECT_EQ(window.cardStatus.value, "⚠️ " + line);
    readers.serviceUp = true;
    window.refreshButton.click();
    EXPECT_EQ(window.cardNoInsertedLabel.value, "Carte non insérée");
}

TEST_F(MainWindowTest, SituationsAskForThePinFirst) {
    contactCard("Reader A");
    start();
    window.situation.click();
    ASSERT_EQ(navigator.opened.size(), 1u);
    EXPECT_EQ(navigator.opened[0].dialog, Dialog::pinEntry);
    EXPECT_TRUE(navigator.opened[0].pinEntry.askedByProgram);
    EXPECT_EQ(navigator.opened[0].pinEntry.card, vc->selectedCard());
    EXPECT_EQ(navigator.opened[0].pinEntry.receiver, vc.get());
    EXPECT_TRUE(vc->authentFromSituationButton());

    ASSERT_EQ(vc->selectedCard()->login("1234", false), CKR_OK);
    vc->pinEntryResult(true, "");
    EXPECT_FALSE(vc->authentFromSituationButton());
    EXPECT_EQ(window.subView, ui::SubView::situation);
    EXPECT_FALSE(window.pinCode.enabled);
    EXPECT_TRUE(window.situationLock.hidden);
    EXPECT_EQ(window.cardPinPadlock.picture, "unlock");

    // The next read logs the card out again.
    window.refreshButton.click();
    EXPECT_FALSE(vc->isUserAuthenticated());
    EXPECT_FALSE(vc->selectedCard()->isUserLoggedIn());
    EXPECT_GE(module.count("C_Logout"), 1);

    // Given up from the situations, the PIN entered later from its own button stays where it is.
    window.situation.click();
    vc->pinEntryCancelled();
    EXPECT_FALSE(vc->authentFromSituationButton());
    window.showSubView(ui::SubView::identification);
    window.pinCode.click();
    ASSERT_EQ(vc->selectedCard()->login("1234", false), CKR_OK);
    vc->pinEntryResult(true, "");
    EXPECT_EQ(window.subView, ui::SubView::identification);
}

TEST_F(MainWindowTest, FailedPinEntryBlocksTheWindow) {
    contactCard("Reader A");
    start();
    vc->pinEntryResult(false, "");
    EXPECT_EQ(usable(window), "identification certificate unlockCard");
}

TEST_F(MainWindowTest, DialogButtonsHandOverTheSelectedCard) {
    contactCard("Reader A");
    start();
    window.pinCode.click();
    window.pinCodeModif.click();
    window.tmaj.click();
    ASSERT_EQ(navigator.opened.size(), 3u);
    EXPECT_EQ(navigator.dialogs(), (std::vector<Dialog>{Dialog::pinEntry, Dialog::pinChange, Dialog::updateWizard}));
    EXPECT_FALSE(navigator.opened[0].pinEntry.askedByProgram);
    for (const auto& o : navigator.opened) EXPECT_EQ(o.card, vc->selectedCard());
    EXPECT_EQ(navigator.opened[0].window, vc.get());
    EXPECT_EQ(navigator.opened[1].window, vc.get());
    EXPECT_EQ(navigator.opened[2].updateOwner, vc.get());
}

TEST_F(MainWindowTest, RemovedTokenOfTheSelectedCardReadsTheReaderAgain) {
    contactCard("Reader A");
    start();
    ASSERT_NE(vc->selectedCard(), nullptr);
    EXPECT_EQ(vc->selectedCard()->cardFullNumber, "80250000011234567890");
    // The service's TLS follows the card in the selected reader.
    EXPECT_EQ(vek::selectedCard(), "80250000011234567890");
    watch.insertion("org.oberlane.qel.sigilla:80250000019999999999");
    watch.insertion("org.oberlane.qel.sigilla:80250000011234567890");
    ASSERT_EQ(watch.removals.size(), 2u);
    module.slotList[0].present = false;
    int pinDialogTold = 0;  // an open PIN entry hears of its card's removal
    vc->whenCardRemoved([&] { ++pinDialogTold; });

    watch.remove("org.oberlane.qel.sigilla:80250000019999999999");
    queue.runReady();
    EXPECT_EQ(window.cardNameLabel.value, "DUPONT JEAN");
    EXPECT_EQ(pinDialogTold, 0);

    watch.remove("org.oberlane.qel.sigilla:80250000011234567890");
    EXPECT_EQ(window.cardNameLabel.value, "DUPONT JEAN");  // nothing happens off the main thread
    queue.runReady();
    EXPECT_EQ(window.cardStatus.value, "⚠️ Pas de carte dans le lecteur");
    EXPECT_EQ(pinDialogTold, 1);
    EXPECT_EQ(window.cardComboBox.items[0], "Reader A");
    EXPECT_EQ(window.cardNameLabel.value, "");
    EXPECT_FALSE(vc->isCardInserted());
    EXPECT_EQ(usable(window), "");
    EXPECT_NE(kartelloSession.currentCard, nullptr);  // still valid for whoever holds it
    EXPECT_EQ(vek::selectedCard(), "");
}

// A QEL3 whose serial file gives that card number (ten BCD digits).
Responder qel3SerialCardNumbered(const Bytes& number) {
    return [number](const Bytes& apdu) -> Bytes {
        if (apdu.size() > 1 && apdu[1] == 0xA4) return {0x62, 0x04, 0x80, 0x02, 0x00, 0x0C, 0x90, 0x00};
        if (apdu.size() > 1 && apdu[1] == 0xB0)
            return concat({{0x04, 0x0A, 0x80, 0x25, 0x00, 0x00, 0x01}, number, {0x90, 0x00}});
        return {0x6D, 0x00};
    };
}

// Each entry names its reader, after the holder of the card read there; the program finds an entry
// by its reader, whatever it shows, so cards coming and going in one reader leave the others alone.
TEST_F(MainWindowTest, EntriesNameTheirReaderAndFollowTheCardsComingAndGoing) {
    const Bytes atr = *fromHex("3BAC00402A00122500648000031000 9000");
    const std::string tokenA = "org.oberlane.qel.sigilla:80250000011234567890";
    const std::string tokenB = "org.oberlane.qel.sigilla:80250000011111111111";
    contactCard("Reader A");
    FakeSlot& b = module.addSlot("Reader B");
    readers.addReader("Reader A", FakeCardReaders::Card{atr, qel3SerialCardNumbered({0x12, 0x34, 0x56, 0x78, 0x90})});
    readers.addReader("Reader B");
    start();
    EXPECT_EQ(window.cardComboBox.items, (std::vector<std::string>{"DUPONT JEAN — Reader A", "Reader B"}));
    EXPECT_EQ(window.cardComboBox.keys, (std::vector<std::string>{"Reader A", "Reader B"}));

    // Another holder's card in B.
    b.present = true;
    b.token.serial = "1111111111Z";
    b.token.objects = module.slotList[0].token.objects;
    b.token.objects["QEL_NAME_PS"] = nameObject("MARTIN", "ANNE");
    readers.cards["Reader B"] = FakeCardReaders::Card{atr, qel3SerialCardNumbered({0x11, 0x11, 0x11, 0x11, 0x11})};
    watch.insertion(tokenB);
    queue.runReady();
    EXPECT_EQ(window.cardComboBox.selected, 1);
    EXPECT_EQ(window.cardNameLabel.value, "MARTIN ANNE");
    EXPECT_EQ(window.cardComboBox.items,
              (std::vector<std::string>{"DUPONT JEAN — Reader A", "MARTIN ANNE — Reader B"}));

    // A's card leaves while B's is shown: A's entry no longer names a holder; B stays as it was.
    module.slotList[0].present = false;
    readers.cards["Reader A"] = std::nullopt;
    watch.insertion(tokenA);  // the watcher reports the cards found at its start
    queue.runReady();
    watch.remove(tokenA);
    queue.runReady();
    EXPECT_EQ(window.cardComboBox.items, (std::vector<std::string>{"Reader A", "MARTIN ANNE — Reader B"}));
    EXPECT_EQ(window.cardComboBox.selected, 1);
    EXPECT_EQ(window.cardNameLabel.value, "MARTIN ANNE");

    // It comes back: found by its reader, and read.
    module.slotList[0].present = true;
    readers.cards["Reader A"] = FakeCardReaders::Card{atr, qel3SerialCardNumbered({0x12, 0x34, 0x56, 0x78, 0x90})};
    watch.insertion(tokenA);
    queue.runReady();
    EXPECT_EQ(window.cardComboBox.selected, 0);
    EXPECT_EQ(window.cardNameLabel.value, "DUPONT JEAN");
    EXPECT_EQ(window.cardComboBox.items,
              (std::vector<std::string>{"DUPONT JEAN — Reader A", "MARTIN ANNE — Reader B"}));

    // A reader plugged in and the list made anew: the holder stays on the card they were on.
    window.cardComboBox.pick(1);
    module.addSlot("Reader C");
    window.refreshButton.click();
    EXPECT_EQ(window.cardComboBox.keys, (std::vector<std::string>{"Reader A", "Reader B", "Reader C"}));
    EXPECT_EQ(window.cardComboBox.selected, 1);
    EXPECT_EQ(window.cardNameLabel.value, "MARTIN ANNE");
    EXPECT_EQ(window.cardComboBox.items, (std::vector<std::string>{"Reader A", "MARTIN ANNE — Reader B", "Reader C"}));

    // A card in a reader plugged in after the list was made: the list takes the reader in.
    FakeSlot& d = module.addSlot("Reader D", true);
    d.token = module.slotList[0].token;
    readers.addReader("Reader D", FakeCardReaders::Card{atr, qel3SerialCardNumbered({0x12, 0x34, 0x56, 0x78, 0x90})});
    module.slotList[0].present = false;
    readers.cards["Reader A"] = std::nullopt;
    watch.insertion(tokenA);
    queue.runReady();
    EXPECT_EQ(window.cardComboBox.keys, (std::vector<std::string>{"Reader A", "Reader B", "Reader C", "Reader D"}));
    EXPECT_EQ(window.cardComboBox.selected, 3);
    EXPECT_EQ(window.cardNameLabel.value, "DUPONT JEAN");
}

TEST_F(MainWindowTest, CardEventsWaitWhileTheServicesTestOwnsTheLibrary) {
    contactCard("Reader A");
    start();
    watch.insertion("org.oberlane.qel.sigilla:80250000011234567890");
    module.slotList[0].present = false;

    vc->pauseCardEvents(true);
    const int callsBefore = module.totalCalls();
    watch.remove("org.oberlane.qel.sigilla:80250000011234567890");
    queue.runReady();
    EXPECT_EQ(module.totalCalls(), callsBefore);  // the library is left alone during the test
    EXPECT_TRUE(vc->isCardInserted());

    vc->pauseCardEvents(false);
    EXPECT_FALSE(vc->isCardInserted());
    EXPECT_EQ(window.cardStatus.value, "⚠️ Pas de carte dans le lecteur");
}

// A QEL3 answering the serial-file read of the system smart-card layer.
Bytes qel3SerialCard(const Bytes& apdu) {
    if (apdu.size() > 1 && apdu[1] == 0xA4) return {0x62, 0x04, 0x80, 0x02, 0x00, 0x0C, 0x90, 0x00};
    if (apdu.size() > 1 && apdu[1] == 0xB0)
        return {0x04, 0x0A, 0x80, 0x25, 0x00, 0x00, 0x01, 0x12, 0x34, 0x56, 0x78, 0x90, 0x90, 0x00};
    return {0x6D, 0x00};
}

// Another program's reset ends the holder's login behind the window's back (the reader state does not
// show it, and the library may not notice): the padlock opens within a second, and every PIN-bound
// action asks for the PIN again, saying why.
TEST_F(MainWindowTest, ACardResetByAnotherProgramOpensThePadlockAndThePinRequestSaysWhy) {
    contactCard("Reader A");
    readers.addReader("Reader A",
                      FakeCardReaders::Card{*fromHex("3BAC00402A00122500648000031000 9000"), qel3SerialCard});
    start();
    ASSERT_EQ(vc->selectedCard()->login("1234", false), CKR_OK);
    vc->pinEntryResult(true, "");
    queue.advance(3000);
    EXPECT_TRUE(vc->isUserAuthenticated());
    EXPECT_EQ(window.cardPinPadlock.picture, "unlock");

    ++readers.resetsElsewhere;
    queue.advance(1000);
    EXPECT_FALSE(vc->isUserAuthenticated());
    EXPECT_EQ(window.cardPinPadlock.picture, "lock");
    window.situation.click();
    ASSERT_EQ(navigator.opened.size(), 1u);
    EXPECT_EQ(navigator.opened[0].dialog, Dialog::pinEntry);
    EXPECT_TRUE(navigator.opened[0].pinEntry.askedByProgram);
    EXPECT_EQ(navigator.opened[0].pinEntry.notice, kCardResetNotice);
    window.cardPinPadlock.click();
    ASSERT_EQ(navigator.opened.size(), 2u);
    EXPECT_EQ(navigator.opened[1].pinEntry.notice, kCardResetNotice);

    // The PIN given again: the situations show, and a later request has nothing to explain.
    vc->pinEntryResult(true, "");
    EXPECT_EQ(window.subView, ui::SubView::situation);
    EXPECT_EQ(window.cardPinPadlock.picture, "unlock");
    module.userLoggedIn[0] = false;  // a library that notices a reset by itself
    window.situation.click();
    ASSERT_EQ(navigator.opened.size(), 3u);
    EXPECT_EQ(navigator.opened[2].dialog, Dialog::pinEntry);
    EXPECT_TRUE(navigator.opened[2].pinEntry.askedByProgram);
    EXPECT_EQ(navigator.opened[2].pinEntry.notice, "");
}

// A library that ends the login by itself (another program's reset) is believed over the remembered
// flag: AUTHENTIFICATION asks for the PIN rather than fail at the service.
TEST_F(MainWindowTest, AuthenticationChecksTheLoginItself) {
    contactCard("Reader A");
    start();
    ASSERT_EQ(vc->selectedCard()->login("1234", false), CKR_OK);
    vc->pinEntryResult(true, "");
    module.userLoggedIn[0] = false;
    window.VekAuthentication.click();
    ASSERT_FALSE(navigator.opened.empty());
    EXPECT_EQ(navigator.opened.back().dialog, Dialog::pinEntry);
    EXPECT_TRUE(navigator.opened.back().pinEntry.askedByProgram);
    EXPECT_FALSE(vc->isUserAuthenticated());
}

TEST_F(MainWindowTest, InsertionOfTheCardAlreadyShownKeepsItsSession) {
    contactCard("Reader A");
    readers.addReader("Reader A",
                      FakeCardReaders::Card{*fromHex("3BAC00402A00122500648000031000 9000"), qel3SerialCard});
    start();
    vc->setUserAuthenticated(true);
    const int afterStart = opened();
    // The watcher reports the card found at start-up; its entry already shows the holder's name.
    watch.insertion("org.oberlane.qel.sigilla:80250000011234567890");
    queue.runReady();
    EXPECT_EQ(opened(), afterStart);
    EXPECT_TRUE(vc->isUserAuthenticated());
    EXPECT_EQ(window.cardNameLabel.value, "DUPONT JEAN");
}

TEST_F(MainWindowTest, DemoModeShowsFixedDataWithoutTheLibrary) {
    contactCard("Reader A");
    start();
    const int calls = module.totalCalls();
    window.activateDemo.trigger();
    EXPECT_FALSE(window.activateDemo.enabled);
    EXPECT_TRUE(window.desactivateDemo.enabled);
    EXPECT_FALSE(window.demoModeTitle.hidden);
    EXPECT_TRUE(window.refreshButton.hidden);
    EXPECT_EQ(window.cardComboBox.items, (std::vector<std::string>{"Absence de carte", "Carte insérée"}));
    window.cardComboBox.pick(1);
    EXPECT_EQ(window.cardNameLabel.value, "DUPONT Philippe");
    EXPECT_EQ(window.cardStatusLabel.value, "Expire le 21/05/2023");
    EXPECT_EQ(window.topCard.picture, "top-card-medecin");
    EXPECT_EQ(window.identificationPane.identifier.value, "987765432110");
    EXPECT_TRUE(window.identification.enabled);
    window.cardComboBox.pick(0);
    EXPECT_FALSE(window.identification.enabled);
    EXPECT_TRUE(window.card.hidden);
    EXPECT_EQ(module.totalCalls(), calls);

    window.desactivateDemo.trigger();
    EXPECT_FALSE(vc->isDemoMode());
    EXPECT_FALSE(window.refreshButton.hidden);
    EXPECT_EQ(window.cardNameLabel.value, "DUPONT JEAN");
}

TEST_F(MainWindowTest, HoverRecoloursTheButtonUnderThePointer) {
    start();
    LogCapture log;
    window.hoverHandler("TÉLÉMISE À JOUR", true);
    EXPECT_EQ(window.tmaj.titleColour, ui::colours::hover);
    window.hoverHandler("TÉLÉMISE À JOUR", false);
    EXPECT_EQ(window.tmaj.titleColour, ui::colours::normalButtonTitle);
    window.hoverHandler("ENREGISTREMENT DES CERTIFICATS", true);
    EXPECT_EQ(window.certificate.titleColour, ui::colours::hover);
    window.hoverHandler("AUTRE", true);
    EXPECT_TRUE(log.contains("checkButtonHover: bouton inconnu !")) << log.text();
}

TEST_F(MainWindowTest, QuittingWithoutAnsweredRequestsClosesOnTheNextTurn) {
    contactCard("Reader A");
    start();
    EXPECT_TRUE(window.closeHandler());
    window.quitItem.trigger();
    EXPECT_FALSE(window.closed);
    queue.runReady();
    EXPECT_TRUE(window.closed);
    kartelloSession.aboutToQuit();
    EXPECT_EQ(module.count("C_Finalize"), 1);
    EXPECT_FALSE(kartelloSession.p11Loaded);
}

}  // namespace
}  // namespace qel::test

namespace qel::test {
namespace {

struct FakeVekSettings : VekSettings {
    void loadParams() override { ++loads; }
    void setTestEnvironment(bool test) override { testEnvironment = test; }
    int loads = 0;
    std::optional<bool> testEnvironment;
};

struct FakeMaintenance : MaintenancePane {
    void setServicesTestEnabled(bool e) override { servicesTest = e; }
    void setDeleteDESfireEnabled(bool e) override { deleteDesfire = e; }
    std::optional<bool> servicesTest, deleteDesfire;
};

struct HookedMainWindowTest : MainWindowFixture {
    HookedMainWindowTest() {
        parts.vek = &vek;
        parts.maintenance = &maintenance;
    }
    FakeVekSettings vek;
    FakeMaintenance maintenance;
};

struct RevokedCertificates : CertificatesPane {
    void setCertificates(std::optional<std::vector<std::shared_ptr<Pkcs11X509>>>) override {}
    std::size_t certificateCount() const override { return 2; }
    bool isCardRevoked() override { return revoked; }
    bool revoked = true;
};

TEST_F(HookedMainWindowTest, RevokedCardOffersNoSignInAndSaysWhatToDo) {
    RevokedCertificates certificates;
    parts.certificates = &certificates;
    contactCard("Reader A");
    start();
    EXPECT_EQ(window.cardStatusLabel.value, kRevokedCardText);
    EXPECT_EQ(window.cardStatusLabel.tooltip, kRevokedCardAdvice);
    EXPECT_FALSE(window.VekAuthentication.enabled);
    vc->updateUI();
    EXPECT_FALSE(window.VekAuthentication.enabled);

    // The same reader with a card in good standing offers it again.
    certificates.revoked = false;
    window.refreshButton.click();
    EXPECT_TRUE(window.VekAuthentication.enabled);
    EXPECT_EQ(window.cardStatusLabel.tooltip, "");
}

TEST_F(HookedMainWindowTest, ServiceSettingsLoadOnceAndFollowTheTestCard) {
    contactCard("Reader A", "31/12/2029", "00", "10", "", true);
    start();
    EXPECT_EQ(vek.loads, 1);
    EXPECT_EQ(vek.testEnvironment, true);
}

TEST_F(HookedMainWindowTest, DesfireDeletionFollowsThePresenceOfTheApplication) {
    module.addSlot("Reader CL");
    Bytes file1{0x80, 0x01, '8'};
    readers.addReader("Reader CL", FakeCardReaders::Card{hex(kQel4ContactlessAtr), desfireIdentity(file1, true)});
    start();
    EXPECT_EQ(maintenance.deleteDesfire, true);
    EXPECT_EQ(maintenance.servicesTest, false);

    // The answer holds while the same card stays: a refresh opens no card session.
    readers.cards["Reader CL"]->respond = desfireIdentity(file1, false);
    const int sessions = readers.sessions;
    vc->updateUI();
    EXPECT_EQ(readers.sessions, sessions);
    EXPECT_EQ(maintenance.deleteDesfire, true);

    const auto card = readers.cards["Reader CL"];
    readers.cards["Reader CL"].reset();
    vc->updateUI();
    EXPECT_EQ(maintenance.deleteDesfire, false);
    EXPECT_EQ(window.cardNoInsertedLabel.value, "Carte non insérée");

    // Back without its application: asked again.
    readers.cards["Reader CL"] = card;
    vc->updateUI();
    EXPECT_EQ(maintenance.deleteDesfire, false);
}

}  // namespace
}  // namespace qel::test

namespace qel::test {
namespace {

// Keeps each check's answer callback until the test answers it.
struct ManualUpdateCheck : UpdateAvailability {
    void checkAvailability(const std::string& serial, std::function<void(TmajAvailability)> done) override {
        checks.push_back({serial, std::move(done)});
    }
    void answer(TmajAvailability availability) { checks.back().second(availability); }
    std::vector<std::pair<std::string, std::function<void(TmajAvailability)>>> checks;
};

struct UpdateBadgeTest : MainWindowFixture {
    UpdateBadgeTest() { parts.updates = &updates; }
    ManualUpdateCheck updates;
};

TEST_F(UpdateBadgeTest, BadgeShowsOnlyWhenTheCheckOfTheCardInTheReaderAnnouncesAnUpdate) {
    contactCard("Reader A");
    readers.addReader("Reader A", FakeCardReaders::Card{hex("3B00"), nullptr});
    module.readsTokenOnce = true;
    window.tmajNotif.hidden = false;  // whatever the layout said
    start();
    ASSERT_EQ(updates.checks.size(), 1u);
    EXPECT_EQ(updates.checks[0].first, vc->selectedCard()->serial);
    EXPECT_TRUE(window.tmajNotif.hidden);  // until the answer comes
    updates.answer(TmajAvailability::checkFailed);
    EXPECT_TRUE(window.tmajNotif.hidden);
    updates.answer(TmajAvailability::updateAvailable);
    EXPECT_FALSE(window.tmajNotif.hidden);

    // The wizard opens on the main window and closes after an update: the card is read again and
    // asked about again; the badge stays hidden when the service says it is up to date. The library
    // read the card once: it is opened anew, so that the window shows the renewed card, and the card
    // is reset so that every other program reads it again.
    window.tmaj.click();
    ASSERT_EQ(navigator.opened.back().dialog, Dialog::updateWizard);
    EXPECT_EQ(navigator.opened.back().updateOwner, vc.get());
    module.slotList[0].token.objects["QEL_NAME_PS"] = nameObject("MARTIN", "PAUL");
    const int reads = module.count("C_OpenSession");
    vc->updateWizardClosed(true);
    EXPECT_TRUE(window.tmajNotif.hidden);
    EXPECT_GT(module.count("C_OpenSession"), reads);
    EXPECT_EQ(window.cardNameLabel.value, "MARTIN PAUL");
    EXPECT_EQ(readers.resets, 1);
    ASSERT_EQ(updates.checks.size(), 2u);
    updates.answer(TmajAvailability::upToDate);
    EXPECT_TRUE(window.tmajNotif.hidden);

    // A late answer for a card no longer in the reader changes nothing.
    module.slotList[0].present = false;
    vc->refreshReaders();
    updates.checks[0].second(TmajAvailability::updateAvailable);
    EXPECT_TRUE(window.tmajNotif.hidden);
}

TEST_F(UpdateBadgeTest, ContactlessCardsAreNeverChecked) {
    module.addSlot("Reader CL", true);  // no identity object: the contactless interface
    start();
    ASSERT_FALSE(vc->isContactQEL());
    EXPECT_TRUE(updates.checks.empty());
    EXPECT_TRUE(window.tmajNotif.hidden);
}

}  // namespace
}  // namespace qel::test
