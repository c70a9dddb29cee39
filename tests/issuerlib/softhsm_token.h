#pragma once
// A private SoftHSM2 token store for the integration tests: tokens initialised with softhsm2-util,
// data objects, keys and certificates written with pkcs11-tool, certificates made with openssl.
#include <string>

#include "common/bytes.h"

namespace qel::test {

inline constexpr const char* kSoftHsmModule = "/usr/lib/softhsm/libsofthsm2.so";
inline constexpr const char* kUserPin = "2468";
inline constexpr const char* kSoPin = "13572468";

class SoftHsmStore {
public:
    /// Prepares an empty store under `directory` and points SOFTHSM2_CONF at it.
    explicit SoftHsmStore(std::string directory);

    /// True when the module and the tools are installed.
    static bool available();

    /// Initialises a token in the next free slot.
    void initToken(const std::string& label);
    /// Writes a data object (public, or private with `isPrivate`).
    void writeData(const std::string& token, const std::string& label, const Bytes& value, bool isPrivate);
    /// Makes a certificate for `commonName` issued by the store's test authority; with `withKeys`
    /// the private and public keys go on the token too. All three objects get `id` and `label`.
    void writeCertificate(const std::string& token, const std::string& label, const std::string& id,
                          const std::string& commonName, bool withKeys);

    const std::string& directory() const { return directory_; }

private:
    void run(const std::string& command);
    void pkcs11Tool(const std::string& token, const std::string& arguments);
    std::string path(const std::string& name) const { return directory_ + "/" + name; }

    std::string directory_;
    int files_ = 0;
};

}  // namespace qel::test
