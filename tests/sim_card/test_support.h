#pragma once
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/hex.h"
#include "sim/card/in_process_card.h"
#include "sim/card/qel_card_model.h"
#include "sim/card/tlv_writer.h"

namespace qel::sim::test {

inline Bytes hex(const char* text) { return *fromHex(text); }

/// The folder of this test process's profile copies, removed when the process ends.
inline const std::string& scratchDir() {
    struct Scratch {
        std::string path =
            std::filesystem::temp_directory_path().string() + "/qel-sim-card-" + std::to_string(::getpid());
        ~Scratch() {
            std::error_code ignored;
            std::filesystem::remove_all(path, ignored);
        }
    };
    static Scratch scratch;
    return scratch.path;
}

/// A private copy of a generated profile (the build tree's copies keep their state untouched).
inline std::string freshProfile(const std::string& name) {
    const char* bin = std::getenv("QEL_BINARY_DIR");
    const std::string source = std::string(bin ? bin : ".") + "/sim/profiles/" + name;
    static int counter = 0;
    const std::string target = scratchDir() + "/" + std::to_string(++counter) + "-" + name;
    std::filesystem::create_directories(scratchDir());
    std::filesystem::copy(source, target, std::filesystem::copy_options::recursive);
    std::filesystem::remove(target + "/state.json");
    return target;
}

inline std::string authorityDir() {
    const char* bin = std::getenv("QEL_BINARY_DIR");
    return std::string(bin ? bin : ".") + "/sim/profiles/ca";
}

/// A card in a reader, reached through the platform card object as the card core reaches it.
struct Reader {
    std::shared_ptr<QelCardModel> model;
    std::unique_ptr<InProcessCard> card;

    Reader(const std::string& dir, ReaderKind kind) : Reader(loadQelCardModel(dir, kind)) {}
    explicit Reader(std::shared_ptr<QelCardModel> m)
        : model(std::move(m)), card(std::make_unique<InProcessCard>(model)) {
        if (model->profile().generation == Generation::QEL4 && model->readerKind() == ReaderKind::contact)
            card->setCla(0x01);
    }
    CardResponse send(std::uint8_t ins, std::uint8_t p1, std::uint8_t p2, const Bytes& data = {},
                      std::optional<int> le = std::nullopt) {
        return card->send(ins, p1, p2, data, le);
    }
    /// SELECT by path with the form each generation's client uses.
    CardResponse selectPath(const Bytes& path) {
        if (model->profile().generation == Generation::QEL4) return send(0xA4, 0x08, 0x00, path, 0);
        return send(0xA4, 0x09, 0x04, path, 0);
    }
    /// Selects and reads a whole file in chunks, as the card core does. Nothing on a refusal.
    std::optional<Bytes> readFile(const Bytes& path) {
        CardResponse sel = selectPath(path);
        if (sel.sw != 0x9000 || sel.data.size() < 6 || sel.data[2] != 0x80) return std::nullopt;
        std::size_t size = static_cast<std::size_t>(sel.data[4] << 8 | sel.data[5]);
        Bytes out;
        while (out.size() < size) {
            int chunk = static_cast<int>(std::min<std::size_t>(231, size - out.size()));
            CardResponse r = send(0xB0, static_cast<std::uint8_t>(out.size() >> 8),
                                  static_cast<std::uint8_t>(out.size() & 0xFF), {}, chunk);
            if (r.sw != 0x9000 || r.data.empty()) return std::nullopt;
            out.insert(out.end(), r.data.begin(), r.data.end());
        }
        return out;
    }
    std::uint16_t verifyPin(const std::string& pin) {
        Bytes block(pin.begin(), pin.end());
        if (model->profile().generation == Generation::QEL3 && model->readerKind() == ReaderKind::contact)
            block.resize(8, 0xFF);
        return send(0x20, 0x00, 0x01, block).sw;
    }
};

/// A minimal BER walk (tags of one to three bytes, short and 81 / 82 lengths) for checking what
/// the card writes.
struct Tlv {
    std::uint32_t tag = 0;
    Bytes value;
    std::vector<Tlv> children;
    const Tlv* find(std::uint32_t t) const {
        for (const Tlv& c : children)
            if (c.tag == t) return &c;
        return nullptr;
    }
};

inline std::optional<std::vector<Tlv>> parseTlv(const Bytes& b) {
    std::vector<Tlv> out;
    std::size_t i = 0;
    while (i < b.size()) {
        Tlv t;
        t.tag = b[i];
        bool constructed = b[i] & 0x20;
        if ((b[i] & 0x1F) == 0x1F) {
            do {
                if (++i >= b.size()) return std::nullopt;
                t.tag = t.tag << 8 | b[i];
            } while (b[i] & 0x80);
        }
        if (++i >= b.size()) return std::nullopt;
        std::size_t len = b[i++];
        if (len == 0x81 || len == 0x82) {
            std::size_t n = len & 0x7F;
            if (i + n > b.size()) return std::nullopt;
            len = 0;
            for (std::size_t k = 0; k < n; ++k) len = len << 8 | b[i++];
        } else if (len > 0x80) {
            return std::nullopt;
        }
        if (i + len > b.size()) return std::nullopt;
        t.value.assign(b.begin() + static_cast<long>(i), b.begin() + static_cast<long>(i + len));
        if (constructed) {
            auto kids = parseTlv(t.value);
            if (!kids) return std::nullopt;
            t.children = *kids;
        }
        out.push_back(t);
        i += len;
    }
    return out;
}

/// The public key of a DER certificate.
inline std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> publicKeyOf(const Bytes& der) {
    const unsigned char* p = der.data();
    std::unique_ptr<X509, decltype(&X509_free)> cert(d2i_X509(nullptr, &p, static_cast<long>(der.size())), X509_free);
    return {cert ? X509_get_pubkey(cert.get()) : nullptr, EVP_PKEY_free};
}

}  // namespace qel::sim::test
