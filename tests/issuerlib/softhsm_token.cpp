#include "tests/issuerlib/softhsm_token.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace qel::test {

namespace fs = std::filesystem;

SoftHsmStore::SoftHsmStore(std::string directory) : directory_(std::move(directory)) {
    fs::remove_all(directory_);
    fs::create_directories(path("tokens"));
    std::ofstream(path("softhsm2.conf")) << "directories.tokendir = " << path("tokens") << "\n"
                                         << "objectstore.backend = file\nlog.level = ERROR\n";
    setenv("SOFTHSM2_CONF", path("softhsm2.conf").c_str(), 1);
    run("openssl req -x509 -newkey rsa:2048 -nodes -keyout " + path("ca.key") + " -out " + path("ca.pem") +
        " -subj '/CN=AC TEST QEL' -days 30");
}

bool SoftHsmStore::available() {
    return access(kSoftHsmModule, R_OK) == 0 &&
           std::system("command -v softhsm2-util pkcs11-tool openssl >/dev/null") == 0;
}

void SoftHsmStore::run(const std::string& command) {
    std::string logged = command + " >>" + path("tools.log") + " 2>&1";
    if (std::system(logged.c_str()) != 0)
        throw std::runtime_error("failed: " + command + " (see " + path("tools.log") + ")");
}

void SoftHsmStore::pkcs11Tool(const std::string& token, const std::string& arguments) {
    run(std::string("pkcs11-tool --module ") + kSoftHsmModule + " --token-label '" + token + "' --login --pin " +
        kUserPin + " " + arguments);
}

void SoftHsmStore::initToken(const std::string& label) {
    run("softhsm2-util --init-token --free --label '" + label + "' --pin " + kUserPin + " --so-pin " + kSoPin);
}

void SoftHsmStore::writeData(const std::string& token, const std::string& label, const Bytes& value, bool isPrivate) {
    std::string file = path("object" + std::to_string(files_++) + ".bin");
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(value.data()), static_cast<long>(value.size()));
    pkcs11Tool(token,
               "--write-object " + file + " --type data --label '" + label + "'" + (isPrivate ? " --private" : ""));
}

void SoftHsmStore::writeCertificate(const std::string& token, const std::string& label, const std::string& id,
                                    const std::string& commonName, bool withKeys) {
    std::string stem = path("cert" + std::to_string(files_++));
    run("openssl req -newkey rsa:2048 -nodes -keyout " + stem + ".key -out " + stem + ".csr -subj '/CN=" + commonName +
        "'");
    run("openssl x509 -req -in " + stem + ".csr -CA " + path("ca.pem") + " -CAkey " + path("ca.key") +
        " -CAcreateserial -days 10 -outform DER -out " + stem + ".der");
    std::string object = " --id " + id + " --label '" + label + "'";
    pkcs11Tool(token, "--write-object " + stem + ".der --type cert" + object);
    if (!withKeys) return;
    run("openssl pkey -in " + stem + ".key -outform DER -out " + stem + ".key.der");
    run("openssl pkey -in " + stem + ".key -pubout -outform DER -out " + stem + ".pub.der");
    pkcs11Tool(token, "--write-object " + stem + ".key.der --type privkey" + object);
    pkcs11Tool(token, "--write-object " + stem + ".pub.der --type pubkey" + object);
}

}  // namespace qel::test
