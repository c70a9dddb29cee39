#include "tests/support/fake_views.h"

namespace qel::test {

FakeIdentificationView::FakeIdentificationView() {
    o = {&name, &firstName, &identifier, &job, &num, &emission, &expiration, &serialNum, &serialNumTitle, &copy};
}

FakeSituationView::FakeSituationView() {
    o = {&situView, &factuView, &mode, &raison, &ident, &secteur,     &tabPharma, &noSitu, &fIdent,   &fSpec,    &fConv,
         &fZone,    &fIndem,    &fAgr, &fFse,   &fLot,  &pageCounter, &previous,  &next,   &copySitu, &copyFactu};
}

FakeMainWindow::FakeMainWindow() {
    o = {&identification,
         &situation,
         &certificate,
         &tmaj,
         &pinCode,
         &pinCodeModif,
         &unlockCard,
         &maintenance,
         &diagQELButton,
         &testsSsl,
         &portalEQEL,
         &contactSupport,
         &cardUnlock,
         &cardPinPadlock,
         &refreshButton,
         &VekAuthentication,
         &VekDisconnect,
         &situationLock,
         &tmajNotif,
         &topCard,
         &cardNameLabel,
         &cardJobLabel,
         &cardIdentifierTitle,
         &cardIdentifierLabel,
         &cardNumTitle,
         &cardNumLabel,
         &cardStatusTitle,
         &cardStatusLabel,
         &cardNoInsertedLabel,
         &cardBlockedLabel,
         &testLabel,
         &demoModeTitle,
         &cardStatus,
         &card,
         &cardEmpty,
         &cardComboBox,
         &progress,
         &activateDemo,
         &desactivateDemo,
         &quitItem,
         &aboutItem};
}

}  // namespace qel::test
