#pragma once
// A card world for unit tests of the library: readers whose cards answer the QEL card operations
// from memory, with real RSA keys so that signatures verify.
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "sim/p11/card_backend.h"
#include "tests/support/tlv_builder.h"

namespace qel::simp11::test {

/// What one test card holds and how it behaves; tests change it while the library runs.
struct FakeCardState {
    CardGeneration generation = CardGeneration::QEL3;
    std::map<Bytes, Bytes> files;
    std::set<Bytes> pinProtected;
    std::string pin = "1234";
    std::string puk = "12345678";
    int pinTries = 3, pinMax = 3, pukTries = 10, pukMax = 10;
    bool pinVerified = false;
    bool resetPending = false;    ///< the next exchange reports a reset by another program
    int resets = 0;               ///< resets the library made itself
    bool pullDuringSign = false;  ///< the card leaves the reader in the middle of the next signature
    std::vector<SignRequest> signRequests;
    std::vector<Bytes> rawCommands;
    int verifyCalls = 0;
    int challenges = 0;
    std::map<std::uint8_t, std::shared_ptr<void>> keys;  ///< key reference -> EVP_PKEY
};

/// Builds a card of a generation: card-info, serial, directories, certificates, holder files.
std::shared_ptr<FakeCardState> makeCard(CardGeneration generation, const std::string& cardNumber = "1234567890",
                                        int situations = 2);

/// A reader of the fake service.
struct FakeReader {
    std::string name;
    std::shared_ptr<FakeCardState> card;  ///< nullptr: empty
    std::uint32_t eventCount = 0;
};

/// The fake service shared by the test and the backend the library owns.
class FakeWorld {
public:
    void addReader(const std::string& name);
    void insert(const std::string& reader, std::shared_ptr<FakeCardState> card);
    void remove(const std::string& reader);

    std::vector<ReaderStatus> readers();
    std::shared_ptr<FakeCardState> cardIn(const std::string& reader);
    std::mutex mutex;

private:
    std::vector<FakeReader> readers_;
};

/// The backend for setBackendFactory.
std::unique_ptr<CardBackend> makeFakeBackend(std::shared_ptr<FakeWorld> world);

using qel::test::bytesOf;
using qel::test::concat;
using qel::test::tlv;

}  // namespace qel::simp11::test
