// qelcard-profile: makes the test authority chain and virtual card profiles.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "common/hex.h"
#include "sim/card/profile_generator.h"

namespace {

using namespace qel::sim;

const char* kUsage =
    "usage:\n"
    "  qelcard-profile ca --out DIR [--crl-base URL] [--key-bits N]\n"
    "  qelcard-profile card --ca DIR --out DIR --generation QEL3|QEL4 --card-number NNNNNNNNNN\n"
    "      [--check-char C] [--label-char C] [--name LAST] [--first-names A,B] [--usual-first-name A]\n"
    "      [--civility 22|23|31] [--profession CODE] [--occupation CODE] [--specialty CODE]\n"
    "      [--card-type 00-03] [--identifier-type T] [--identifier-number N] [--practice-name TEXT]\n"
    "      [--pin 1234] [--puk 12345678] [--pin-tries 3] [--puk-tries 10] [--test-card | --no-test-card]\n"
    "      [--valid-from YYYY-MM-DD] [--valid-until YYYY-MM-DD] [--situations N] [--issuer NAME]\n"
    "      [--desfire-picc-key HEX] [--no-desfire] [--key-bits N]\n"
    "  qelcard-profile defaults --out DIR [--crl-base URL]\n"
    "  qelcard-profile crl --ca DIR --issuer NAME --out FILE [--revoke SERIALHEX]...\n"
    "  qelcard-profile reset DIR          (forget the card's state: tries, written files)\n";

struct Args {
    std::map<std::string, std::string> values;
    std::vector<std::string> flags;
    std::vector<std::string> revoked;
    std::vector<std::string> positional;

    std::optional<std::string> get(const std::string& k) const {
        auto it = values.find(k);
        if (it == values.end()) return std::nullopt;
        return it->second;
    }
    std::string need(const std::string& k) const {
        auto v = get(k);
        if (!v) throw std::runtime_error("missing --" + k);
        return *v;
    }
    bool flag(const std::string& k) const {
        for (const auto& f : flags)
            if (f == k) return true;
        return false;
    }
};

Args parse(int argc, char** argv) {
    static const char* flagNames[] = {"test-card", "no-test-card", "no-desfire"};
    Args a;
    for (int i = 2; i < argc; ++i) {
        std::string s = argv[i];
        if (s.rfind("--", 0) != 0) {
            a.positional.push_back(s);
            continue;
        }
        std::string key = s.substr(2);
        bool isFlag = false;
        for (const char* f : flagNames) isFlag = isFlag || key == f;
        if (isFlag) {
            a.flags.push_back(key);
            continue;
        }
        if (i + 1 >= argc) throw std::runtime_error("--" + key + " needs a value");
        if (key == "revoke")
            a.revoked.push_back(argv[++i]);
        else
            a.values[key] = argv[++i];
    }
    return a;
}

std::vector<std::string> splitComma(const std::string& s) {
    std::vector<std::string> out;
    std::stringstream ss(s);
    std::string part;
    while (std::getline(ss, part, ','))
        if (!part.empty()) out.push_back(part);
    return out;
}

char oneChar(const std::string& s, const char* what) {
    if (s.size() != 1) throw std::runtime_error(std::string(what) + " must be one character");
    return s[0];
}

CardOptions cardOptions(const Args& a) {
    CardOptions o;
    std::string gen = a.need("generation");
    if (gen != "QEL3" && gen != "QEL4") throw std::runtime_error("--generation must be QEL3 or QEL4");
    o.generation = gen == "QEL3" ? Generation::QEL3 : Generation::QEL4;
    o.cardNumber = a.need("card-number");
    if (auto v = a.get("check-char")) o.checkCharacter = oneChar(*v, "--check-char");
    if (auto v = a.get("label-char")) o.labelCharacter = oneChar(*v, "--label-char");
    HolderProfile& h = o.holder;
    if (auto v = a.get("name")) h.lastName = *v;
    if (auto v = a.get("first-names")) {
        h.firstNames = splitComma(*v);
        if (!h.firstNames.empty()) h.usualFirstName = h.firstNames.front();
    }
    if (auto v = a.get("usual-first-name")) h.usualFirstName = *v;
    if (auto v = a.get("civility")) h.civility = *v;
    if (auto v = a.get("profession")) h.profession = h.occupation = *v;
    if (auto v = a.get("occupation")) h.occupation = *v;
    if (auto v = a.get("specialty")) h.specialty = *v;
    if (auto v = a.get("card-type")) h.cardType = *v;
    if (auto v = a.get("identifier-type")) h.identifierType = *v;
    if (auto v = a.get("identifier-number")) h.identifierNumber = *v;
    if (auto v = a.get("practice-name")) h.practiceName = *v;
    if (auto v = a.get("pin")) o.pin = *v;
    if (auto v = a.get("puk")) o.puk = *v;
    if (auto v = a.get("pin-tries")) o.pinTries = std::stoi(*v);
    if (auto v = a.get("puk-tries")) o.pukTries = std::stoi(*v);
    if (a.flag("test-card")) o.testCard = true;
    if (a.flag("no-test-card")) o.testCard = false;
    if (auto v = a.get("valid-from")) o.validFrom = *v;
    if (auto v = a.get("valid-until")) o.validUntil = *v;
    if (auto v = a.get("situations")) o.situations = std::stoi(*v);
    if (auto v = a.get("issuer")) o.issuer = *v;
    if (auto v = a.get("desfire-picc-key")) {
        auto k = qel::fromHex(*v);
        if (!k || (k->size() != 8 && k->size() != 16))
            throw std::runtime_error("--desfire-picc-key must be 8 or 16 bytes");
        o.piccMasterKey = *k;
    }
    if (a.flag("no-desfire")) o.desfirePresent = false;
    if (auto v = a.get("key-bits")) o.keyBits = std::stoi(*v);
    return o;
}

AuthorityOptions authorityOptions(const Args& a) {
    AuthorityOptions o;
    if (auto v = a.get("crl-base")) o.crlBase = *v;
    if (auto v = a.get("key-bits")) o.keyBits = std::stoi(*v);
    return o;
}

int run(int argc, char** argv) {
    if (argc < 2) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    const std::string command = argv[1];
    Args a = parse(argc, argv);
    if (command == "ca") {
        generateAuthorities(a.need("out"), authorityOptions(a));
    } else if (command == "card") {
        generateCard(a.need("ca"), a.need("out"), cardOptions(a));
    } else if (command == "defaults") {
        const std::string out = a.need("out");
        // Profiles are rebuilt whole: a stale state or key must not survive.
        for (const char* sub :
             {"ca", "qel3-default", "qel4-default", "qel4-secure-picc", "qel3-expired", "qel3-revoked"})
            std::filesystem::remove_all(out + "/" + sub);
        generateDefaultSet(out, authorityOptions(a));
    } else if (command == "crl") {
        std::vector<qel::Bytes> serials;
        for (const std::string& s : a.revoked) {
            auto b = qel::fromHex(s);
            if (!b || b->empty()) throw std::runtime_error("--revoke takes a hexadecimal serial number");
            serials.push_back(*b);
        }
        writeCrl(a.need("ca"), a.need("issuer"), serials, a.need("out"));
    } else if (command == "reset") {
        if (a.positional.size() != 1) throw std::runtime_error("reset takes one profile folder");
        std::filesystem::remove(a.positional[0] + "/state.json");
    } else {
        std::fputs(kUsage, stderr);
        return 2;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "qelcard-profile: %s\n", e.what());
        return 1;
    }
}
