// The library as the programs load it, over pcscd and the virtual card daemon, driven by
// pkcs11-tool (and, for the APDU pass-through, through dlopen). Leaves the readers as it found them.
#include <dlfcn.h>
#include <PCSC/winscard.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <future>
#include <thread>
#include <fstream>
#include <regex>
#include <sstream>

#include "common/hex.h"
#include "sim/p11/qelsim_pkcs11.h"
#include "tests/support/raw_signature.h"

extern char** environ;

namespace {

struct Outcome {
    int status = -1;
    std::string output;
};

std::string env(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

/// Runs a program (no shell) with stdout and stderr captured together.
Outcome run(std::vector<std::string> args, bool preload = false) {
    int pipeFds[2];
    if (pipe(pipeFds) != 0) return {};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 2);
    posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
    std::vector<std::string> envText;
    for (char** e = environ; *e; ++e) {
        std::string s = *e;
        if (s.rfind("LD_PRELOAD=", 0) == 0 || s.rfind("ASAN_OPTIONS=", 0) == 0) continue;
        envText.push_back(s);
    }
    // An instrumented module inside an uninstrumented program needs the sanitizer runtime first.
    if (preload && !env("QELSIM_PRELOAD").empty()) envText.push_back("LD_PRELOAD=" + env("QELSIM_PRELOAD"));
    envText.push_back("ASAN_OPTIONS=detect_leaks=0");
    std::vector<char*> argv, envp;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto& e : envText) envp.push_back(e.data());
    envp.push_back(nullptr);
    pid_t pid = 0;
    int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    Outcome r;
    char buffer[4096];
    ssize_t n;
    while ((n = read(pipeFds[0], buffer, sizeof buffer)) > 0) r.output.append(buffer, static_cast<std::size_t>(n));
    close(pipeFds[0]);
    if (rc != 0) return r;
    int status = 0;
    waitpid(pid, &status, 0);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return r;
}

constexpr const char* kContactReader = "Virtual PCD 00 00";
constexpr const char* kContactlessReader = "Virtual PCD 00 01";

/// The slot of a virtual reader, found by its description: a real reader may be listed beside them.
CK_SLOT_ID slotOfReader(CK_FUNCTION_LIST* p11, const std::string& reader) {
    CK_SLOT_ID slots[16];
    CK_ULONG count = 16;
    if (p11->C_GetSlotList(CK_FALSE, slots, &count) == CKR_OK) {
        for (CK_ULONG i = 0; i < count; ++i) {
            CK_SLOT_INFO info{};
            if (p11->C_GetSlotInfo(slots[i], &info) != CKR_OK) continue;
            const std::string description(info.slotDescription, info.slotDescription + sizeof info.slotDescription);
            if (description.compare(0, reader.size() + 1, reader + '\0') == 0) return slots[i];
        }
    }
    ADD_FAILURE() << reader << " is not among the library's slots";
    return ~CK_SLOT_ID{0};
}

class Pkcs11ToolTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        work = env("HOME") + "/sim_p11_integration";
        run({"mkdir", "-p", work});
        // The reader's current card is put back at the end.
        Outcome status = run({ctl(), "--run-dir", env("QELCARD_SIM_RUN_DIR"), "status"});
        std::smatch m;
        if (std::regex_search(status.output, m, std::regex("contact: card (\\S+)"))) originalContact = m[1];
        if (std::regex_search(status.output, m, std::regex("contactless: card (\\S+)"))) originalContactless = m[1];
        ASSERT_FALSE(originalContact.empty()) << status.output;
    }
    static void TearDownTestSuite() {
        swapContact(originalContact);
        if (!originalContactless.empty()) swap("contactless", originalContactless);
    }

    static std::string ctl() { return env("QELCARD_CTL"); }
    static void swap(const char* reader, const std::string& profile) {
        Outcome r = run({ctl(), "--run-dir", env("QELCARD_SIM_RUN_DIR"), "swap", reader, profile});
        EXPECT_EQ(r.status, 0) << r.output;
    }
    static void swapContact(const std::string& profile) { swap("contact", profile); }
    static std::string makeProfile(const std::string& name, const std::string& generation, const std::string& number) {
        std::string dir = work + "/" + name;
        run({"rm", "-rf", dir});
        Outcome r = run({env("QELCARD_PROFILE"), "card", "--ca", env("QELCARD_SIM_RUN_DIR") + "/profiles/ca", "--out",
                         dir, "--generation", generation, "--card-number", number, "--check-char", "Q", "--label-char",
                         "R", "--key-bits", "1024", "--situations", "1"});
        EXPECT_EQ(r.status, 0) << r.output;
        return dir;
    }

    /// pkcs11-tool on the contact reader's slot unless the arguments name one or list them all:
    /// left to itself it takes the first slot with a card, which may be a real reader's.
    Outcome tool(std::vector<std::string> args) {
        const bool listing = args.front() == "-L" || args.front() == "-T";
        if (!listing && std::find(args.begin(), args.end(), "--slot") == args.end())
            args.insert(args.begin(), {"--slot", slotOf(kContactReader)});
        args.insert(args.begin(), {"pkcs11-tool", "--module", env("QELSIM_MODULE")});
        Outcome r = run(args, true);
        EXPECT_EQ(r.output.find("AddressSanitizer"), std::string::npos) << r.output;
        EXPECT_EQ(r.output.find("runtime error"), std::string::npos) << r.output;
        return r;
    }
    /// The slot identifier ("0x…") pkcs11-tool lists for a reader.
    std::string slotOf(const std::string& reader) {
        Outcome r = tool({"-L"});
        std::smatch m;
        if (std::regex_search(r.output, m, std::regex("Slot \\d+ \\((0x[0-9a-f]+)\\): " + reader + "\\n"))) return m[1];
        ADD_FAILURE() << reader << " is not listed: " << r.output;
        return "0xffff";
    }
    std::string flags() {
        Outcome r = tool({"-T"});
        std::smatch m;
        std::regex_search(r.output, m,
                          std::regex(std::string(kContactReader) + "\\n(?:  .*\\n)*?  token flags\\s*: ([^\\n]*)"));
        return m.size() > 1 ? std::string(m[1]) : r.output;
    }
    std::string signKeyId() {
        Outcome r = tool({"-O"});
        std::smatch m;
        std::regex_search(r.output, m,
                          std::regex("label:\\s+Certificat de Signature QEL\\n(?:.*\\n)*?\\s+ID:\\s+([0-9a-f]+)"));
        return m.size() > 1 ? std::string(m[1]) : "";
    }

    static inline std::string work;
    static inline std::string originalContact;
    static inline std::string originalContactless;
};

TEST_F(Pkcs11ToolTest, ListsSlotsTokenAndObjects) {
    Outcome slots = tool({"-L"});
    ASSERT_EQ(slots.status, 0) << slots.output;
    EXPECT_NE(slots.output.find("): Virtual PCD 00 00\n"), std::string::npos) << slots.output;
    EXPECT_NE(slots.output.find("token label        : QEL3-1234567890Z"), std::string::npos) << slots.output;
    EXPECT_NE(slots.output.find("token manufacturer : Oberlane"), std::string::npos);
    EXPECT_NE(slots.output.find("serial num         : 1234567890Z"), std::string::npos);
    EXPECT_NE(slots.output.find("login required"), std::string::npos);

    Outcome tokens = tool({"-T"});
    EXPECT_EQ(tokens.output.find("Virtual PCD 00 01"), std::string::npos) << "the contactless DESFire face is no token";

    Outcome publicObjects = tool({"-O"});
    ASSERT_EQ(publicObjects.status, 0) << publicObjects.output;
    for (const char* label : {"Certificat de Signature QEL", "Certificat d'Authentification QEL", "'QEL_ID_CARD'",
                              "'QEL_NAME_PS'", "'QEL_INFO_PS'"})
        EXPECT_NE(publicObjects.output.find(label), std::string::npos) << label << "\n" << publicObjects.output;
    EXPECT_EQ(publicObjects.output.find("QEL_SIT_FACT"), std::string::npos);
    EXPECT_EQ(publicObjects.output.find("Private Key Object"), std::string::npos);

    Outcome privateObjects = tool({"-O", "--login", "--pin", "1234"});
    ASSERT_EQ(privateObjects.status, 0) << privateObjects.output;
    EXPECT_NE(privateObjects.output.find("Private Key Object; RSA"), std::string::npos);
    EXPECT_NE(privateObjects.output.find("'QEL_ACTIVITY_01_PS'"), std::string::npos);
    EXPECT_NE(privateObjects.output.find("'QEL_SIT_FACT'"), std::string::npos);
}

TEST_F(Pkcs11ToolTest, SignatureVerifiesWithOpenssl) {
    std::string id = signKeyId();
    ASSERT_FALSE(id.empty());
    std::string data = work + "/data.txt", sig = work + "/data.sig", cert = work + "/sign.der",
                pub = work + "/sign.pem";
    std::ofstream(data) << "Ordonnance du 7 décembre";
    Outcome signing =
        tool({"--sign", "-m", "SHA256-RSA-PKCS", "--login", "--pin", "1234", "--id", id, "-i", data, "-o", sig});
    ASSERT_EQ(signing.status, 0) << signing.output;
    Outcome read = tool({"--read-object", "--type", "cert", "--id", id, "-o", cert});
    ASSERT_EQ(read.status, 0) << read.output;
    Outcome key = run({"openssl", "x509", "-inform", "DER", "-in", cert, "-pubkey", "-noout", "-out", pub});
    ASSERT_EQ(key.status, 0) << key.output;
    Outcome verify = run({"openssl", "dgst", "-sha256", "-verify", pub, "-signature", sig, data});
    EXPECT_EQ(verify.status, 0) << verify.output;
    EXPECT_NE(verify.output.find("Verified OK"), std::string::npos) << verify.output;
    Outcome own = tool({"--verify", "-m", "SHA256-RSA-PKCS", "--id", id, "-i", data, "--signature-file", sig});
    EXPECT_NE(own.output.find("Signature is valid"), std::string::npos) << own.output;
    Outcome noPin = tool({"--sign", "-m", "SHA256-RSA-PKCS", "--id", id, "-i", data, "-o", sig});
    EXPECT_NE(noPin.status, 0) << "the signature key is not reachable without the PIN";
    Outcome random = tool({"--generate-random", "32", "-o", work + "/random.bin"});
    EXPECT_EQ(random.status, 0) << random.output;
}

TEST_F(Pkcs11ToolTest, ChangeBlockAndUnlockThePin) {
    Outcome change = tool({"--change-pin", "--pin", "1234", "--new-pin", "5678"});
    ASSERT_NE(change.output.find("PIN successfully changed"), std::string::npos) << change.output;
    EXPECT_NE(tool({"-O", "--login", "--pin", "1234"}).output.find("CKR_PIN_INCORRECT"), std::string::npos);
    EXPECT_NE(flags().find("user PIN count low"), std::string::npos);
    Outcome back = tool({"--login", "--pin", "5678", "--change-pin", "--new-pin", "1234"});
    ASSERT_NE(back.output.find("PIN successfully changed"), std::string::npos) << back.output;
    EXPECT_EQ(flags().find("count low"), std::string::npos) << "a right PIN restores the counter";

    tool({"-O", "--login", "--pin", "0000"});
    tool({"-O", "--login", "--pin", "0000"});
    EXPECT_NE(flags().find("final user PIN try"), std::string::npos);
    EXPECT_NE(tool({"-O", "--login", "--pin", "0000"}).output.find("CKR_PIN_LOCKED"), std::string::npos);
    EXPECT_NE(flags().find("user PIN locked"), std::string::npos);

    Outcome wrongPuk = tool({"--unlock-pin", "--puk", "87654321", "--new-pin", "1234"});
    EXPECT_NE(wrongPuk.output.find("CKR_PIN_INCORRECT"), std::string::npos) << wrongPuk.output;
    EXPECT_NE(flags().find("SO PIN count low"), std::string::npos);
    Outcome unlock = tool({"--unlock-pin", "--puk", "12345678", "--new-pin", "1234"});
    EXPECT_NE(unlock.output.find("PIN successfully changed"), std::string::npos) << unlock.output;
    EXPECT_EQ(flags().find("locked"), std::string::npos);

    for (int i = 0; i < 3; ++i) tool({"-O", "--login", "--pin", "0000"});
    Outcome so = tool({"--init-pin", "--login", "--login-type", "so", "--so-pin", "12345678", "--new-pin", "1234"});
    EXPECT_NE(so.output.find("User PIN successfully initialized"), std::string::npos) << so.output;
    EXPECT_EQ(tool({"-O", "--login", "--pin", "1234"}).status, 0);
    EXPECT_EQ(flags().find("count low"), std::string::npos);
}

TEST_F(Pkcs11ToolTest, FourthGenerationCardRemovalAndReinsertion) {
    std::string qel4 = makeProfile("qel4-contact", "QEL4", "2233445566");
    swapContact(qel4);
    Outcome slots = tool({"-L"});
    EXPECT_NE(slots.output.find("token label        : QEL4-2233445566R"), std::string::npos) << slots.output;
    EXPECT_NE(slots.output.find("serial num         : 2233445566Q"), std::string::npos);
    std::string id = signKeyId();
    ASSERT_FALSE(id.empty());
    std::string data = work + "/qel4.txt";
    std::ofstream(data) << "QEL4";
    Outcome signing = tool({"--sign", "-m", "SHA256-RSA-PKCS", "--login", "--pin", "1234", "--id", id, "-i", data, "-o",
                            work + "/qel4.sig"});
    EXPECT_EQ(signing.status, 0) << signing.output;
    Outcome own =
        tool({"--verify", "-m", "SHA256-RSA-PKCS", "--id", id, "-i", data, "--signature-file", work + "/qel4.sig"});
    EXPECT_NE(own.output.find("Signature is valid"), std::string::npos) << own.output;

    Outcome removed = run({ctl(), "--run-dir", env("QELCARD_SIM_RUN_DIR"), "remove", "contact"});
    ASSERT_EQ(removed.status, 0) << removed.output;
    Outcome empty = tool({"-L"});
    EXPECT_NE(empty.output.find("): Virtual PCD 00 00\n  (empty)"), std::string::npos) << empty.output;
    swapContact(originalContact);
    EXPECT_NE(tool({"-L"}).output.find("QEL3-1234567890Z"), std::string::npos);
}

TEST_F(Pkcs11ToolTest, ThirdGenerationThroughTheContactlessReader) {
    std::string qel3 = makeProfile("qel3-contactless", "QEL3", "4455667788");
    swap("contactless", qel3);
    Outcome slots = tool({"-L"});
    EXPECT_NE(slots.output.find("): Virtual PCD 00 01\n"), std::string::npos) << slots.output;
    EXPECT_NE(slots.output.find("token model        : QEL3CL"), std::string::npos) << slots.output;
    const std::string contactless = slotOf(kContactlessReader);
    Outcome objects = tool({"--slot", contactless, "-O"});
    EXPECT_NE(objects.output.find("Certificat Technique QEL"), std::string::npos) << objects.output;
    EXPECT_NE(objects.output.find("'QEL_NAME_PS'"), std::string::npos);
    EXPECT_EQ(objects.output.find("QEL_ID_CARD"), std::string::npos);
    EXPECT_EQ(objects.output.find("Certificat de Signature QEL"), std::string::npos);
    std::string data = work + "/technical.txt";
    std::ofstream(data) << "TLS";
    Outcome signing = tool({"--slot", contactless, "--sign", "-m", "SHA1-RSA-PKCS", "--login", "--pin", "1234", "-i",
                            data, "-o", work + "/technical.sig"});
    EXPECT_EQ(signing.status, 0) << signing.output;
    Outcome own = tool({"--slot", contactless, "--verify", "-m", "SHA1-RSA-PKCS", "-i", data, "--signature-file",
                        work + "/technical.sig"});
    EXPECT_NE(own.output.find("Signature is valid"), std::string::npos) << own.output;
    if (!originalContactless.empty()) swap("contactless", originalContactless);
}

TEST_F(Pkcs11ToolTest, DamagedCardFilesAreLeftOut) {
    std::string dir = makeProfile("qel3-damaged", "QEL3", "3344556677");
    std::ifstream in(dir + "/profile.json");
    std::stringstream text;
    text << in.rdbuf();
    std::string json = text.str();
    const std::string rules =
        R"("hostile": [{"path": "3F0000017002", "action": "fileContent", "bytes": "30FF0C03414243"},)"
        R"({"path": "3F0000017005", "action": "truncateFile", "length": 30},)"
        R"({"ins": "CB", "action": "loop61"},)"
        R"({"path": "3F000003D002", "action": "truncateFile", "length": 3},)"
        R"({"ins": "B0", "path": "3F000003D003", "action": "oversize", "length": 40}])";
    auto at = json.find("\"hostile\": []");
    ASSERT_NE(at, std::string::npos) << json;
    json.replace(at, std::string("\"hostile\": []").size(), rules);
    std::ofstream(dir + "/profile.json") << json;
    swapContact(dir);

    Outcome slots = tool({"-L"});
    EXPECT_EQ(slots.status, 0) << slots.output;
    EXPECT_NE(slots.output.find("QEL3-3344556677R"), std::string::npos) << slots.output;
    Outcome objects = tool({"-O", "--login", "--pin", "1234"});
    EXPECT_EQ(objects.status, 0) << objects.output;
    EXPECT_EQ(objects.output.find("Private Key Object"), std::string::npos) << "the key directory is garbage";
    EXPECT_EQ(objects.output.find("Certificate Object"), std::string::npos) << "the certificate directory is cut";
    EXPECT_NE(objects.output.find("'QEL_NAME_PS'"), std::string::npos) << "a short file is still a file";
    EXPECT_NE(objects.output.find("'QEL_ACTIVITY_01_PS'"), std::string::npos);
    swapContact(originalContact);
}

TEST_F(Pkcs11ToolTest, FailingReaderGivesAClearErrorAndRecovers) {
    auto hostile = [](const char* onOff) {
        Outcome r = run({ctl(), "--run-dir", env("QELCARD_SIM_RUN_DIR"), "hostile", "contact", onOff});
        EXPECT_EQ(r.status, 0) << r.output;
    };
    hostile("on");
    for (int i = 0; i < 3; ++i) {
        Outcome slots = tool({"-L"});
        EXPECT_LT(slots.status, 128) << slots.output;
        EXPECT_TRUE(slots.output.find("QEL3-1234567890Z") != std::string::npos ||
                    slots.output.find("CKR_DEVICE_ERROR") != std::string::npos)
            << slots.output;
        EXPECT_LT(tool({"-O"}).status, 128);
    }
    hostile("off");
    EXPECT_NE(tool({"-L"}).output.find("QEL3-1234567890Z"), std::string::npos);
}

using TransmitFn = CK_RV (*)(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR, CK_BBOOL);

TEST(TransmitMessageTest, ReadsTheSerialFileThroughTheLoadedLibrary) {
    void* lib = dlopen(env("QELSIM_MODULE").c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib, nullptr) << dlerror();
    auto getList = reinterpret_cast<CK_C_GetFunctionList>(dlsym(lib, "C_GetFunctionList"));
    auto transmit = reinterpret_cast<TransmitFn>(dlsym(lib, "C_TransmitMessage"));
    ASSERT_NE(getList, nullptr);
    ASSERT_NE(transmit, nullptr);
    CK_FUNCTION_LIST* p11 = nullptr;
    ASSERT_EQ(getList(&p11), CKR_OK);
    ASSERT_EQ(p11->C_Initialize(nullptr), CKR_OK);
    CK_SESSION_HANDLE h = 0;
    ASSERT_EQ(p11->C_OpenSession(slotOfReader(p11, kContactReader), CKF_SERIAL_SESSION, nullptr, nullptr, &h), CKR_OK);

    std::string answers;
    for (const char* command : {"00A4000C023F00", "00A4000C02D003", "00B000000C"}) {
        qel::Bytes apdu = *qel::fromHex(command);
        CK_BYTE response[512];
        CK_ULONG length = sizeof response;
        ASSERT_EQ(transmit(h, apdu.data(), apdu.size(), response, &length, CK_FALSE), CKR_OK) << command;
        answers = qel::toHex(response, length);
    }
    EXPECT_EQ(answers,
              "040A80250000011234567890"
              "9000");
    CK_SLOT_ID slot = 0;
    EXPECT_EQ(p11->C_WaitForSlotEvent(CKF_DONT_BLOCK, &slot, nullptr), CKR_NO_EVENT);
    EXPECT_EQ(p11->C_CloseSession(h), CKR_OK);
    EXPECT_EQ(p11->C_Finalize(nullptr), CKR_OK);
    dlclose(lib);
}

// After each end of the library's login, another process's raw signature commands find a card that
// wants the PIN again.
TEST(LoginEndTest, EveryEndOfTheLoginLeavesTheCardWantingThePin) {
    using qel::testbed::rawSignatureAnswers;
    void* lib = dlopen(env("QELSIM_MODULE").c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib, nullptr) << dlerror();
    auto getList = reinterpret_cast<CK_C_GetFunctionList>(dlsym(lib, "C_GetFunctionList"));
    CK_FUNCTION_LIST* p11 = nullptr;
    ASSERT_EQ(getList(&p11), CKR_OK);
    CK_UTF8CHAR pin[] = {'1', '2', '3', '4'};
    auto loggedInSession = [&] {
        CK_SESSION_HANDLE h = 0;
        EXPECT_EQ(p11->C_OpenSession(slotOfReader(p11, kContactReader), CKF_SERIAL_SESSION, nullptr, nullptr, &h),
                  CKR_OK);
        EXPECT_EQ(p11->C_Login(h, CKU_USER, pin, sizeof pin), CKR_OK);
        return h;
    };
    ASSERT_EQ(p11->C_Initialize(nullptr), CKR_OK);
    CK_SESSION_HANDLE h = loggedInSession();
    ASSERT_EQ(rawSignatureAnswers(kContactReader), qel::testbed::kBothKeysSign) << "the check sees a verified card";
    ASSERT_EQ(p11->C_Logout(h), CKR_OK);
    EXPECT_EQ(rawSignatureAnswers(kContactReader), qel::testbed::kNoKeyWithoutPin) << "after C_Logout";
    ASSERT_EQ(p11->C_CloseSession(h), CKR_OK);

    h = loggedInSession();
    ASSERT_EQ(p11->C_CloseSession(h), CKR_OK);
    EXPECT_EQ(rawSignatureAnswers(kContactReader), qel::testbed::kNoKeyWithoutPin) << "after the last C_CloseSession";

    // The other process's reset ends our login: the library says so, and keeps the key's handle.
    h = loggedInSession();
    ASSERT_EQ(rawSignatureAnswers(kContactReader), qel::testbed::kBothKeysSign);
    {
        // The raw check's own connection ends without a reset; a second program resets the card.
        SCARDCONTEXT context = 0;
        ASSERT_EQ(SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context), SCARD_S_SUCCESS);
        SCARDHANDLE card = 0;
        DWORD protocol = 0;
        ASSERT_EQ(SCardConnect(context, kContactReader, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1,
                               &card, &protocol),
                  SCARD_S_SUCCESS);
        EXPECT_EQ(SCardDisconnect(card, SCARD_RESET_CARD), SCARD_S_SUCCESS);
        SCardReleaseContext(context);
    }
    CK_SESSION_INFO info{};
    ASSERT_EQ(p11->C_GetSessionInfo(h, &info), CKR_OK);
    EXPECT_EQ(info.state, CKS_RO_PUBLIC_SESSION);
    EXPECT_EQ(p11->C_FindObjectsInit(h, nullptr, 0), CKR_USER_NOT_LOGGED_IN);
    EXPECT_EQ(p11->C_Logout(h), CKR_USER_NOT_LOGGED_IN);

    ASSERT_EQ(p11->C_Login(h, CKU_USER, pin, sizeof pin), CKR_OK);
    ASSERT_EQ(p11->C_Finalize(nullptr), CKR_OK);
    EXPECT_EQ(rawSignatureAnswers(kContactReader), qel::testbed::kNoKeyWithoutPin) << "after C_Finalize";
    dlclose(lib);
}

TEST(SlotEventTest, BlockingWaitSeesRemovalAndEndsWithFinalize) {
    void* lib = dlopen(env("QELSIM_MODULE").c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib, nullptr) << dlerror();
    auto getList = reinterpret_cast<CK_C_GetFunctionList>(dlsym(lib, "C_GetFunctionList"));
    CK_FUNCTION_LIST* p11 = nullptr;
    ASSERT_EQ(getList(&p11), CKR_OK);
    CK_C_INITIALIZE_ARGS args{};
    args.flags = CKF_OS_LOCKING_OK;
    ASSERT_EQ(p11->C_Initialize(&args), CKR_OK);
    Outcome status = run({env("QELCARD_CTL"), "--run-dir", env("QELCARD_SIM_RUN_DIR"), "status"});
    std::smatch m;
    ASSERT_TRUE(std::regex_search(status.output, m, std::regex("contact: card (\\S+)"))) << status.output;
    std::string profile = m[1];

    const CK_SLOT_ID contact = slotOfReader(p11, kContactReader);
    CK_SLOT_ID slot = 99;
    auto waiting = std::async(std::launch::async, [&] { return p11->C_WaitForSlotEvent(0, &slot, nullptr); });
    EXPECT_EQ(waiting.wait_for(std::chrono::milliseconds(500)), std::future_status::timeout) << "nothing happened yet";
    run({env("QELCARD_CTL"), "--run-dir", env("QELCARD_SIM_RUN_DIR"), "remove", "contact"});
    ASSERT_EQ(waiting.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_EQ(waiting.get(), CKR_OK);
    EXPECT_EQ(slot, contact);
    run({env("QELCARD_CTL"), "--run-dir", env("QELCARD_SIM_RUN_DIR"), "swap", "contact", profile});
    while (p11->C_WaitForSlotEvent(CKF_DONT_BLOCK, &slot, nullptr) == CKR_OK) {
    }

    auto blocked = std::async(std::launch::async, [&] { return p11->C_WaitForSlotEvent(0, &slot, nullptr); });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(p11->C_Finalize(nullptr), CKR_OK);
    ASSERT_EQ(blocked.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(blocked.get(), CKR_CRYPTOKI_NOT_INITIALIZED);
    dlclose(lib);
}

}  // namespace
