// Feeds the virtual card arbitrary command sequences on each of its four faces, and its JSON
// readers arbitrary text. Input: byte 0 picks the face (bits 0-1), a PIN verified first (bit 4),
// a set of hostile rules (bit 5), or the JSON readers (bit 6, the rest of the input is the text);
// then commands as [length][bytes]...
#include <cstdint>
#include <filesystem>
#include <string>

#include "sim/card/profile_generator.h"
#include "sim/card/qel_card_model.h"

namespace {

using namespace qel::sim;

// Made once per process: generating keys and reading a profile folder cost far more than a run.
const QelCardBlueprint* g_qel3 = nullptr;
const QelCardBlueprint* g_qel4 = nullptr;

void makeProfiles() {
    const std::string root =
        std::filesystem::temp_directory_path().string() + "/qel-fuzz-sim-card-" + std::to_string(::getpid());
    std::filesystem::remove_all(root);
    AuthorityOptions a;
    a.keyBits = 1024;
    generateAuthorities(root + "/ca", a);
    CardOptions qel3;
    qel3.keyBits = 1024;
    generateCard(root + "/ca", root + "/qel3", qel3);
    CardOptions qel4 = qel3;
    qel4.generation = Generation::QEL4;
    qel4.cardNumber = "2345678901";
    generateCard(root + "/ca", root + "/qel4", qel4);
    g_qel3 = new QelCardBlueprint(root + "/qel3");
    g_qel4 = new QelCardBlueprint(root + "/qel4");
    std::filesystem::remove_all(root);
}

const std::vector<HostileRule>& hostileSet() {
    static const std::vector<HostileRule> rules = hostileRulesFromJson(
        "[{\"action\":\"noSizeTag\",\"ins\":\"A4\"},{\"action\":\"truncate\",\"ins\":\"B0\",\"length\":3,"
        "\"times\":2},"
        "{\"action\":\"loop61\",\"ins\":\"CB\"},{\"action\":\"oversize\",\"ins\":\"2A\",\"length\":40},"
        "{\"action\":\"truncateFile\",\"path\":\"3F0000017005\",\"length\":33}]");
    return rules;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    makeProfiles();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const std::uint8_t mode = data[0];
    if (mode & 0x40) {
        std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
        try {
            (void)profileFromJson(text);
        } catch (const std::runtime_error&) {
        }
        try {
            (void)hostileRulesFromJson(text);
        } catch (const std::runtime_error&) {
        }
        return 0;
    }
    const bool qel4 = mode & 0x02;
    const ReaderKind kind = (mode & 0x01) ? ReaderKind::contactless : ReaderKind::contact;
    // One card per face for the whole process, brought back to a fresh card for each input: making
    // a card builds its whole file tree, which cost more than most command sequences.
    static const std::unique_ptr<QelCardModel> faces[4] = {
        g_qel3->makeCard(ReaderKind::contact), g_qel3->makeCard(ReaderKind::contactless),
        g_qel4->makeCard(ReaderKind::contact), g_qel4->makeCard(ReaderKind::contactless)};
    QelCardModel* card = faces[mode & 0x03].get();
    card->restoreFreshState();
    if (mode & 0x20) card->setHostileRules(hostileSet());
    if (mode & 0x10) {
        qel::Bytes verify{static_cast<std::uint8_t>(qel4 ? 0x01 : 0x00), 0x20, 0x00, 0x01, 0x04, '1', '2', '3', '4'};
        if (!qel4 && kind == ReaderKind::contact) {
            verify[4] = 0x08;
            verify.insert(verify.end(), 4, 0xFF);
        }
        (void)card->processApdu(verify);
    }
    std::size_t i = 1;
    while (i < size) {
        const std::size_t n = data[i++];
        const std::size_t take = std::min(n, size - i);
        qel::Bytes apdu(data + i, data + i + take);
        i += take;
        qel::Bytes answer = card->processApdu(apdu);
        if (answer.size() < 2) __builtin_trap();
    }
    return 0;
}
