#pragma once
// What the integration tests of Sigilla share: fresh card profiles in the testbed's readers, foreign
// programs run with the module, and the module loaded in-process by path.
#include <dlfcn.h>

#include <string>
#include <vector>

#include "common/bytes.h"
#include "token/p11/pkcs11.h"

namespace qel::sigillatest {

/// No slot (0 is a slot number like any other).
inline constexpr CK_SLOT_ID kNoSlot = ~CK_SLOT_ID(0);

/// The module under test, as built.
std::string modulePath();

/// A private copy of a testbed profile ("qel3-default", "qel4-default") with full PIN counters.
std::string freshProfile(const std::string& name);
/// The card serial of a profile ("8025000001" + card number).
std::string cardSerialOf(const std::string& profileDir);
/// Puts the profile's card in the reader ("contact", "contactless") and waits until pcscd shows it.
void putCard(const std::string& reader, const std::string& profileDir);

/// Outcome of a program run.
struct Outcome {
    int status = -1;
    std::string output;  ///< standard output and error together
};
/// Runs a shell command line in the test's folder; the sanitizer runtime is preloaded for it when
/// the module is built with sanitizers, because the foreign program is not.
Outcome run(const std::string& commandLine);
/// Quotes a word for the shell.
std::string quoted(const std::string& word);
/// A scratch folder for this test program.
std::string scratch();

/// pkcs11-tool with the module under test (or another that reaches it, such as p11-kit's client)
/// and these arguments.
Outcome pkcs11Tool(const std::string& args, const std::string& module = modulePath());
/// The token label the module gives a card: generation ("QEL3", "QEL3CL", "QEL4") and card serial.
std::string tokenLabel(const std::string& generation, const std::string& profileDir);
/// The CKA_ID (hexadecimal) of each object of a kind ("Private Key Object", "Certificate Object")
/// in a pkcs11-tool listing, in listing order.
std::vector<std::string> objectIds(const std::string& listing, const std::string& kind);
inline std::vector<std::string> privateKeyIds(const std::string& listing) {
    return objectIds(listing, "Private Key Object");
}
/// The CKA_ID of the key that authenticates its holder: the one that also deciphers.
std::string authenticationKeyId(const std::string& listing);
/// Writes a text file into the scratch folder.
void writeFile(const std::string& name, const std::string& text);
/// Signs "data" with the key `id` through pkcs11-tool and checks the signature with openssl against
/// the certificate of the same CKA_ID read through the module (left in cert.der and pub.pem).
/// `extra` goes to pkcs11-tool (token, login, mechanism), which loads `module`. Reports through gtest.
void signAndVerify(const std::string& extra, const std::string& id, const std::string& verifyOptions,
                   const std::string& module = modulePath());

/// The module loaded with dlopen (the module under test unless another PKCS#11 library is named);
/// unloaded on destruction.
class LoadedModule {
public:
    LoadedModule();
    explicit LoadedModule(const std::string& path);
    ~LoadedModule();
    LoadedModule(const LoadedModule&) = delete;
    LoadedModule& operator=(const LoadedModule&) = delete;
    CK_FUNCTION_LIST_PTR operator->() const { return functions_; }

    /// The slot whose token label is `label`; kNoSlot when none.
    CK_SLOT_ID slotWithLabel(const std::string& label) const;
    /// The first private key of a session.
    CK_OBJECT_HANDLE privateKey(CK_SESSION_HANDLE session) const;
    /// The private key that authenticates its holder: the one that also deciphers, or, from a library
    /// that says no key deciphers, the one labelled for authentication. CK_INVALID_HANDLE when none.
    CK_OBJECT_HANDLE authenticationKey(CK_SESSION_HANDLE session) const;
    /// The slot of the reader `reader` (its slot description) that holds a token; kNoSlot when none.
    CK_SLOT_ID slotOfReader(const std::string& reader) const;
    /// The certificate DER with the same CKA_ID as `key`.
    Bytes certificateFor(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE key) const;
    /// C_SignInit + C_Sign with CKM_SHA256_RSA_PKCS.
    CK_RV signSha256(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE key, const Bytes& data, Bytes& signature) const;

private:
    void* handle_ = nullptr;
    CK_FUNCTION_LIST_PTR functions_ = nullptr;
};

/// True when the signature of SHA-256(data) verifies with the certificate (PKCS#1 v1.5).
bool verifySha256(const Bytes& certificateDer, const Bytes& data, const Bytes& signature);

}  // namespace qel::sigillatest
