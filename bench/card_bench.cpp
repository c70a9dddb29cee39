// The card access core: parsing a card directory, and reading a certificate from the card file cache.
#include <benchmark/benchmark.h>

#include "bench/bench_env.h"
#include "card/card_directory.h"
#include "card/qel_card.h"
#include "card/qel_card_file.h"
#include "card/tlv.h"
#include "sim/card/in_process_card.h"
#include "token/sigilla.h"

namespace qel::bench {
namespace {

// A QEL3 in the contact reader, with its token's files read once (which fills the cache).
struct ReadCard {
    std::shared_ptr<sim::QelCardModel> model = blueprint(sim::Generation::QEL3).makeCard(sim::ReaderKind::contact);
    sim::InProcessCard card{model};
    QELCard qel{card, card.atr()};
    std::string serial = qel.readSerial();

    Bytes file(const CardFile& file) {
        QELCardFile reader(qel.ops(), file, std::nullopt);
        return reader.getContent().value_or(Bytes{});
    }
};

ReadCard& readCard() {
    static ReadCard card;
    return card;
}

void BM_TlvParseKeyDirectory(benchmark::State& state) {
    const Bytes directory = readCard().file(readCard().qel.qelFiles().prkd);
    if (directory.empty()) return state.SkipWithError("the key directory could not be read");
    for (auto _ : state) {
        TLVSequence sequence(directory);
        benchmark::DoNotOptimize(sequence.seqList.size());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * directory.size()));
}
BENCHMARK(BM_TlvParseKeyDirectory);

// Parsing and decoding both directories into the entries the token publishes.
void BM_DecodeCardDirectories(benchmark::State& state) {
    const Bytes keys = readCard().file(readCard().qel.qelFiles().prkd);
    const Bytes certificates = readCard().file(readCard().qel.qelFiles().cd);
    for (auto _ : state) {
        auto keyEntries = decodeKeyDirectory(keys);
        auto certificateEntries = decodeCertificateDirectory(certificates);
        if (keyEntries.size() != 2 || certificateEntries.size() != 2)
            return state.SkipWithError("the directories did not decode to two entries each");
        benchmark::DoNotOptimize(keyEntries.data());
    }
}
BENCHMARK(BM_DecodeCardDirectories);

void BM_CacheReadCertificate(benchmark::State& state) {
    ReadCard& c = readCard();
    forgetCachedFiles();
    TokenDriver driver;
    driver.createTokenForSmartCard(c.card, kAid);  // fills the cache
    for (auto _ : state) {
        QELCardFile reader(c.qel.ops(), c.qel.qelFiles().authCert, c.serial);
        if (!reader.readCache()) return state.SkipWithError("the certificate was not in the cache");
        benchmark::DoNotOptimize(reader.fileData()->data());
    }
}
BENCHMARK(BM_CacheReadCertificate);

}  // namespace
}  // namespace qel::bench
