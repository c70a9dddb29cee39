// Sigilla: building the token of an inserted card, with an empty and with a filled card file cache,
// and one signature through the module's exported functions, over readers in memory.
#include <benchmark/benchmark.h>

#include "bench/bench_env.h"
#include "fake_readers.h"
#include "sim/card/in_process_card.h"
#include "token/p11/module_registry.h"
#include "token/sigilla.h"

namespace qel::bench {
namespace {

void tokenCreation(benchmark::State& state, sim::Generation generation, bool warm) {
    sim::InProcessCard card(blueprint(generation).makeCard(sim::ReaderKind::contact));
    TokenDriver driver;
    forgetCachedFiles();
    if (warm) driver.createTokenForSmartCard(card, kAid);
    const int exchangesBefore = card.exchangeCount();
    for (auto _ : state) {
        if (!warm) {
            state.PauseTiming();
            forgetCachedFiles();
            state.ResumeTiming();
        }
        card.beginSession();
        auto token = driver.createTokenForSmartCard(card, kAid);
        if (token->publishedObjects().empty()) return state.SkipWithError("the token published nothing");
        benchmark::DoNotOptimize(token.get());
    }
    state.counters["APDUs/token"] =
        benchmark::Counter(card.exchangeCount() - exchangesBefore, benchmark::Counter::kAvgIterations);
}

void BM_TokenCreationQel3Cold(benchmark::State& state) { tokenCreation(state, sim::Generation::QEL3, false); }
void BM_TokenCreationQel3Warm(benchmark::State& state) { tokenCreation(state, sim::Generation::QEL3, true); }
void BM_TokenCreationQel4Cold(benchmark::State& state) { tokenCreation(state, sim::Generation::QEL4, false); }
void BM_TokenCreationQel4Warm(benchmark::State& state) { tokenCreation(state, sim::Generation::QEL4, true); }
BENCHMARK(BM_TokenCreationQel3Cold)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_TokenCreationQel3Warm)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_TokenCreationQel4Cold)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_TokenCreationQel4Warm)->Unit(benchmark::kMicrosecond);

// C_SignInit and C_Sign (SHA-256 with PKCS #1 v1.5) with the first private key, logged in once.
void BM_ModuleSignature(benchmark::State& state) {
    auto readers = std::make_shared<testing::FakeReaders>();
    readers->addReader("Contact reader 00");
    readers->insert("Contact reader 00", blueprint(sim::Generation::QEL3).makeCard(sim::ReaderKind::contact));
    p11::setReaderServiceFactory([readers] { return readers; });
    struct Finalize {
        ~Finalize() {
            C_Finalize(nullptr);
            p11::setReaderServiceFactory(nullptr);
        }
    };
    if (C_Initialize(nullptr) != CKR_OK) return state.SkipWithError("C_Initialize failed");
    Finalize finalize;

    CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
    CK_UTF8CHAR pin[] = {'1', '2', '3', '4'};
    if (C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &session) != CKR_OK ||
        C_Login(session, CKU_USER, pin, sizeof pin) != CKR_OK)
        return state.SkipWithError("no session or no login on the card in slot 0");
    CK_OBJECT_CLASS keyClass = CKO_PRIVATE_KEY;
    CK_ATTRIBUTE byClass{CKA_CLASS, &keyClass, sizeof keyClass};
    CK_OBJECT_HANDLE key = CK_INVALID_HANDLE;
    CK_ULONG found = 0;
    if (C_FindObjectsInit(session, &byClass, 1) != CKR_OK || C_FindObjects(session, &key, 1, &found) != CKR_OK ||
        C_FindObjectsFinal(session) != CKR_OK || found != 1)
        return state.SkipWithError("no private key on the card");

    CK_BYTE message[] = {'q', 'e', 'l'};
    CK_BYTE signature[512];
    for (auto _ : state) {
        CK_MECHANISM mechanism{CKM_SHA256_RSA_PKCS, nullptr, 0};
        CK_ULONG length = sizeof signature;
        if (C_SignInit(session, &mechanism, key) != CKR_OK ||
            C_Sign(session, message, sizeof message, signature, &length) != CKR_OK)
            return state.SkipWithError("the signature failed");
        benchmark::DoNotOptimize(signature[0]);
    }
}
BENCHMARK(BM_ModuleSignature)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace qel::bench
