// One command APDU to the card in a virtual reader through pcscd and back: the transport cost every
// card operation pays. Needs the testbed (pcscd and the card daemon with a card in the contact
// reader); without an answering virtual reader it says so and exits without failing.
//   qel-bench-apdu [benchmark options]   reader: $QEL_BENCH_READER, default "Virtual PCD 00 00"
#include <PCSC/winscard.h>
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct Connection {
    SCARDCONTEXT context = 0;
    SCARDHANDLE card = 0;
    DWORD protocol = 0;
    std::string error;

    explicit Connection(const std::string& reader) {
        LONG rv = SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context);
        if (rv != SCARD_S_SUCCESS) {
            error = std::string("no PC/SC service: ") + pcsc_stringify_error(rv);
            return;
        }
        rv = SCardConnect(context, reader.c_str(), SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &card,
                          &protocol);
        if (rv != SCARD_S_SUCCESS) error = "no card in \"" + reader + "\": " + pcsc_stringify_error(rv);
    }
    ~Connection() {
        if (card) SCardDisconnect(card, SCARD_LEAVE_CARD);
        if (context) SCardReleaseContext(context);
    }
    /// The status word of one exchange, or -1 when the transmission failed.
    int transmit(const std::vector<BYTE>& command) {
        BYTE answer[258];
        DWORD length = sizeof answer;
        const SCARD_IO_REQUEST* pci = protocol == SCARD_PROTOCOL_T1 ? SCARD_PCI_T1 : SCARD_PCI_T0;
        if (SCardTransmit(card, pci, command.data(), static_cast<DWORD>(command.size()), nullptr, answer, &length) !=
                SCARD_S_SUCCESS ||
            length < 2)
            return -1;
        return answer[length - 2] << 8 | answer[length - 1];
    }
};

std::string readerName() {
    const char* name = std::getenv("QEL_BENCH_READER");
    return name && *name ? name : "Virtual PCD 00 00";
}

// SELECT of the master file without an answer (P2 0C): the smallest command every card answers 9000.
const std::vector<BYTE> kSelectMf{0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00};

void BM_ApduRoundTrip(benchmark::State& state) {
    Connection connection(readerName());
    if (!connection.error.empty()) return state.SkipWithError(connection.error.c_str());
    std::vector<double> millis;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        const int sw = connection.transmit(kSelectMf);
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        if (sw < 0) return state.SkipWithError("the transmission failed");
        state.SetIterationTime(took.count());
        millis.push_back(took.count() * 1000.0);
    }
    std::sort(millis.begin(), millis.end());
    auto at = [&](double q) {
        return millis[std::min(millis.size() - 1, static_cast<std::size_t>(q * millis.size()))];
    };
    state.counters["median_ms"] = at(0.5);
    state.counters["p99_ms"] = at(0.99);
}
BENCHMARK(BM_ApduRoundTrip)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(10.0);

}  // namespace

int main(int argc, char** argv) {
    {
        Connection probe(readerName());
        if (!probe.error.empty() || probe.transmit(kSelectMf) < 0) {
            std::printf("qel-bench-apdu: skipped, no virtual reader answers (%s); start the testbed first\n",
                        probe.error.empty() ? "the card does not answer" : probe.error.c_str());
            return 0;
        }
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
