// Decoding the holder's records as Kartello shows them: identity, name, professional information,
// then one activity and the billing data of the situations.
#include <benchmark/benchmark.h>

#include "issuerlib/holder_infos.h"
#include "issuerlib/situ_factu_infos.h"
#include "tests/support/card_records.h"

namespace qel::bench {
namespace {

void BM_DecodeHolder(benchmark::State& state) {
    const Bytes idCard = test::sampleIdCard(), name = test::sampleName(), info = test::sampleInfo();
    for (auto _ : state) {
        HolderInfos holder;
        holder.decodeQelIdCard(idCard);
        holder.decodeQelNameData(name);
        holder.decodeQelInfoPS(info);
        benchmark::DoNotOptimize(&holder);
    }
}
BENCHMARK(BM_DecodeHolder);

void BM_DecodeSituation(benchmark::State& state) {
    const Bytes activity = test::sampleActivity();
    const Bytes billing = test::billing({test::billingBlock(0x01)});
    for (auto _ : state) {
        SituFactuInfos situations;
        situations.decodeQelActivity(activity);
        situations.decodeQelSitFact(billing);
        benchmark::DoNotOptimize(&situations);
    }
}
BENCHMARK(BM_DecodeSituation);

}  // namespace
}  // namespace qel::bench
