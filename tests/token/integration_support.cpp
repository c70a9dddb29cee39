#include "tests/token/integration_support.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "platform/pcsc/slot_manager.h"
#include "sim/card/profile.h"
#include "tests/support/testbed_client.h"

namespace qel::sigillatest {

namespace fs = std::filesystem;

std::string modulePath() {
    const char* path = std::getenv("SIGILLA_MODULE");
    if (!path) throw std::runtime_error("SIGILLA_MODULE is not set");
    return path;
}

std::string scratch() {
    static const std::string dir = [] {
        std::string d = std::string(std::getenv("HOME")) + "/scratch";
        fs::remove_all(d);
        // The testbed makes new keys every run under the same card serials: certificates the
        // module cached in an earlier run would no longer match the cards.
        fs::remove_all(std::string(std::getenv("XDG_CACHE_HOME")) + "/sigilla");
        fs::create_directories(d);
        return d;
    }();
    return dir;
}

std::string freshProfile(const std::string& name) {
    static int counter = 0;
    const std::string target = scratch() + "/profile-" + std::to_string(++counter) + "-" + name;
    fs::remove_all(target);
    fs::copy(testbed::runDir() + "/profiles/" + name, target, fs::copy_options::recursive);
    fs::remove(target + "/state.json");
    return target;
}

std::string cardSerialOf(const std::string& profileDir) { return sim::loadProfile(profileDir).cardSerial(); }

void putCard(const std::string& reader, const std::string& profileDir) {
    testbed::control("swap " + reader + " " + profileDir);
    pcsc::SlotManager slots;
    const std::string& name = reader == "contact" ? testbed::kContactReader : testbed::kContactlessReader;
    auto slot = slots.waitForCard(name, std::chrono::seconds(5));
    if (!slot || slot->state != pcsc::SlotState::cardPresent) throw std::runtime_error("no card in " + name);
}

std::string quoted(const std::string& word) {
    std::string q = "'";
    for (char c : word) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

Outcome run(const std::string& commandLine) {
    std::string env;
    if (const char* asan = std::getenv("QEL_ASAN_RUNTIME"); asan && *asan)
        env = "env LD_PRELOAD=" + quoted(asan) + " ASAN_OPTIONS=detect_leaks=0 ";
    const std::string out = scratch() + "/command.out";
    const std::string line = "cd " + quoted(scratch()) + " && " + env + commandLine + " >" + quoted(out) + " 2>&1";
    Outcome r;
    const int status = std::system(line.c_str());
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::ifstream in(out);
    std::stringstream text;
    text << in.rdbuf();
    r.output = text.str();
    return r;
}

Outcome pkcs11Tool(const std::string& args, const std::string& module) {
    return run("pkcs11-tool --module " + quoted(module) + " " + args);
}

std::string tokenLabel(const std::string& generation, const std::string& profileDir) {
    return generation + " " + cardSerialOf(profileDir);
}

std::vector<std::string> objectIds(const std::string& listing, const std::string& kind) {
    std::vector<std::string> ids;
    std::regex block(kind + "[^\\n]*\\n(?:[^\\n]*\\n)*?\\s*ID:\\s*([0-9a-f]+)");
    for (auto it = std::sregex_iterator(listing.begin(), listing.end(), block); it != std::sregex_iterator(); ++it)
        ids.push_back((*it)[1]);
    return ids;
}

std::string authenticationKeyId(const std::string& listing) {
    std::regex block(
        "Private Key Object[^\\n]*\\n(?:[^\\n]*\\n)*?\\s*Usage:([^\\n]*)\\n(?:[^\\n]*\\n)*?\\s*ID:\\s*([0-9a-f]+)");
    for (auto it = std::sregex_iterator(listing.begin(), listing.end(), block); it != std::sregex_iterator(); ++it)
        if ((*it)[1].str().find("decrypt") != std::string::npos) return (*it)[2];
    return {};
}

void writeFile(const std::string& name, const std::string& text) { std::ofstream(scratch() + "/" + name) << text; }

void signAndVerify(const std::string& extra, const std::string& id, const std::string& verifyOptions,
                   const std::string& module) {
    writeFile("data", "Kartello signs this text.\n");
    fs::remove(scratch() + "/sig");
    Outcome sign = pkcs11Tool(extra + " --sign --id " + id + " -i data -o sig", module);
    ASSERT_EQ(sign.status, 0) << sign.output;
    Outcome cert = pkcs11Tool(extra + " --read-object --type cert --id " + id + " -o cert.der", module);
    ASSERT_EQ(cert.status, 0) << cert.output;
    Outcome pub = run("openssl x509 -inform DER -in cert.der -pubkey -noout -out pub.pem");
    ASSERT_EQ(pub.status, 0) << pub.output;
    Outcome verify = run("openssl dgst -sha256 " + verifyOptions + " -verify pub.pem -signature sig data");
    EXPECT_EQ(verify.status, 0) << verify.output;
    EXPECT_NE(verify.output.find("Verified OK"), std::string::npos) << verify.output;
}

LoadedModule::LoadedModule() : LoadedModule(modulePath()) {}

LoadedModule::LoadedModule(const std::string& path) {
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle_) throw std::runtime_error(std::string("dlopen: ") + dlerror());
    auto getList = reinterpret_cast<CK_C_GetFunctionList>(dlsym(handle_, "C_GetFunctionList"));
    if (!getList || getList(&functions_) != CKR_OK) throw std::runtime_error("no function list");
}

LoadedModule::~LoadedModule() {
    if (handle_) dlclose(handle_);
}

CK_SLOT_ID LoadedModule::slotWithLabel(const std::string& label) const {
    CK_SLOT_ID slots[16];
    CK_ULONG count = 16;
    if (functions_->C_GetSlotList(CK_TRUE, slots, &count) != CKR_OK) return kNoSlot;
    for (CK_ULONG i = 0; i < count; ++i) {
        CK_TOKEN_INFO info;
        if (functions_->C_GetTokenInfo(slots[i], &info) != CKR_OK) continue;
        std::string text(reinterpret_cast<char*>(info.label), sizeof info.label);
        text.erase(text.find_last_not_of(' ') + 1);
        if (text == label) return slots[i];
    }
    return kNoSlot;
}

CK_OBJECT_HANDLE LoadedModule::privateKey(CK_SESSION_HANDLE session) const {
    CK_OBJECT_CLASS cls = CKO_PRIVATE_KEY;
    CK_ATTRIBUTE tmpl{CKA_CLASS, &cls, sizeof cls};
    CK_OBJECT_HANDLE key = CK_INVALID_HANDLE;
    CK_ULONG n = 0;
    functions_->C_FindObjectsInit(session, &tmpl, 1);
    functions_->C_FindObjects(session, &key, 1, &n);
    functions_->C_FindObjectsFinal(session);
    return n == 1 ? key : CK_INVALID_HANDLE;
}

CK_OBJECT_HANDLE LoadedModule::authenticationKey(CK_SESSION_HANDLE session) const {
    CK_OBJECT_CLASS cls = CKO_PRIVATE_KEY;
    CK_ATTRIBUTE tmpl{CKA_CLASS, &cls, sizeof cls};
    CK_OBJECT_HANDLE keys[8];
    CK_ULONG n = 0;
    if (functions_->C_FindObjectsInit(session, &tmpl, 1) != CKR_OK) return CK_INVALID_HANDLE;
    functions_->C_FindObjects(session, keys, 8, &n);
    functions_->C_FindObjectsFinal(session);
    CK_OBJECT_HANDLE labelled = CK_INVALID_HANDLE;
    for (CK_ULONG i = 0; i < n; ++i) {
        CK_BBOOL decrypt = CK_FALSE;
        char label[128] = {};
        CK_ATTRIBUTE attributes[] = {{CKA_DECRYPT, &decrypt, sizeof decrypt}, {CKA_LABEL, label, sizeof label - 1}};
        if (functions_->C_GetAttributeValue(session, keys[i], attributes, 2) != CKR_OK) continue;
        if (decrypt == CK_TRUE) return keys[i];
        if (std::string(label, attributes[1].ulValueLen).find("Authentification") != std::string::npos)
            labelled = keys[i];
    }
    return labelled;
}

CK_SLOT_ID LoadedModule::slotOfReader(const std::string& reader) const {
    CK_SLOT_ID slots[16];
    CK_ULONG count = 16;
    if (functions_->C_GetSlotList(CK_TRUE, slots, &count) != CKR_OK) return kNoSlot;
    for (CK_ULONG i = 0; i < count; ++i) {
        CK_SLOT_INFO info;
        if (functions_->C_GetSlotInfo(slots[i], &info) != CKR_OK) continue;
        std::string text(reinterpret_cast<char*>(info.slotDescription), sizeof info.slotDescription);
        // Blank padded; some libraries keep the reader name's terminating zero before the blanks.
        while (!text.empty() && static_cast<unsigned char>(text.back()) <= ' ') text.pop_back();
        if (text == reader) return slots[i];
    }
    return kNoSlot;
}

Bytes LoadedModule::certificateFor(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE key) const {
    CK_BYTE id[64];
    CK_ATTRIBUTE idAttr{CKA_ID, id, sizeof id};
    if (functions_->C_GetAttributeValue(session, key, &idAttr, 1) != CKR_OK) return {};
    CK_OBJECT_CLASS cls = CKO_CERTIFICATE;
    CK_ATTRIBUTE tmpl[] = {{CKA_CLASS, &cls, sizeof cls}, {CKA_ID, id, idAttr.ulValueLen}};
    CK_OBJECT_HANDLE cert = CK_INVALID_HANDLE;
    CK_ULONG n = 0;
    functions_->C_FindObjectsInit(session, tmpl, 2);
    functions_->C_FindObjects(session, &cert, 1, &n);
    functions_->C_FindObjectsFinal(session);
    if (n != 1) return {};
    CK_ATTRIBUTE value{CKA_VALUE, nullptr, 0};
    functions_->C_GetAttributeValue(session, cert, &value, 1);
    Bytes der(value.ulValueLen);
    value.pValue = der.data();
    functions_->C_GetAttributeValue(session, cert, &value, 1);
    return der;
}

CK_RV LoadedModule::signSha256(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE key, const Bytes& data,
                               Bytes& signature) const {
    CK_MECHANISM mechanism{CKM_SHA256_RSA_PKCS, nullptr, 0};
    if (CK_RV rv = functions_->C_SignInit(session, &mechanism, key); rv != CKR_OK) return rv;
    signature.assign(512, 0);
    CK_ULONG len = signature.size();
    CK_RV rv = functions_->C_Sign(session, const_cast<CK_BYTE*>(data.data()), data.size(), signature.data(), &len);
    signature.resize(rv == CKR_OK ? len : 0);
    return rv;
}

bool verifySha256(const Bytes& certificateDer, const Bytes& data, const Bytes& signature) {
    const unsigned char* p = certificateDer.data();
    X509* cert = d2i_X509(nullptr, &p, static_cast<long>(certificateDer.size()));
    if (!cert) return false;
    EVP_PKEY* key = X509_get_pubkey(cert);
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    const bool ok = EVP_DigestVerifyInit(ctx, nullptr, EVP_sha256(), nullptr, key) == 1 &&
                    EVP_DigestVerify(ctx, signature.data(), signature.size(), data.data(), data.size()) == 1;
    EVP_MD_CTX_free(ctx);
    EVP_PKEY_free(key);
    X509_free(cert);
    return ok;
}

}  // namespace qel::sigillatest
