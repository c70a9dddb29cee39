// qel-raw-signature READER: what any program on the machine could do with the card in READER, with
// no PIN and no PKCS#11 library: read its key directory, then send MSE SET and the signature command
// for each of its private keys. Prints one line per key, "<sign|auth> <status word>" (9000: the card
// signed; 6982: it wants the PIN first). Exit 0 when every key answered, 2 when the card could not
// be reached.
#include <cstdio>
#include <exception>

#include "card/smart_card.h"
#include "sim/p11/apdu_card.h"
#include "sim/p11/pcsc_backend.h"
#include "sim/p11/token.h"

using namespace qel::simp11;

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: qel-raw-signature READER\n");
        return 64;
    }
    try {
        PcscBackend service;
        std::unique_ptr<CardChannel> card = service.connect(argv[1]);
        HandleCounter handles{0};
        card->beginExchange();
        std::unique_ptr<Token> token = Token::read(*card, handles);
        for (const P11Object* key : token->objects(true)) {
            if (key->objectClass != CKO_PRIVATE_KEY) continue;
            SignRequest request;
            request.role = key->role;
            request.keyReference = key->keyReference;
            request.hash = HashAlg::sha256;
            request.input = qel::Bytes(32, 0x5A);
            std::uint16_t sw = 0x9000;
            try {
                card->sign(request);
            } catch (const CardStatusError& e) {
                sw = e.sw();
            }
            std::printf("%s %04X\n", key->role == KeyRole::sign ? "sign" : "auth", sw);
        }
        card->endExchange();
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "qel-raw-signature: %s\n", e.what());
        return 2;
    }
}
