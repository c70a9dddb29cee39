#include "card/sec_params.h"

#include "card/card_error.h"
#include "common/logger.h"

namespace qel {

MseParameters SecParams::mseParameters() const {
    if (cardType == QELType::QEL3 || cardType == QELType::QEL3CL) {
        if (op == KeyOp::DECRYPT) return {0x41, 0xB8, {0x80, 0x01, 0x1A, 0x84, 0x01, keyId}};
        if (keyType == KeyType::AUTH_KEY) return {0x41, 0xA4, {0x80, 0x01, 0x02, 0x84, 0x01, keyId}};
        const std::uint8_t alg =
            algorithm.isAlgorithm(AsymmetricAlgorithm::RSASignatureDigestPKCS1v15SHA1) ? 0x12 : 0x42;
        return {0x41, 0xB6, {0x80, 0x01, alg, 0x84, 0x01, keyId}};
    }
    if (op == KeyOp::DECRYPT) return {0x41, 0xB8, {0x83, 0x01, keyId}};
    return {0x81, 0xB6, {0x91, 0x02, algorithmReference(), static_cast<std::uint8_t>(keyId | 0x80)}};
}

std::uint8_t SecParams::algorithmReference() const {
    using A = AsymmetricAlgorithm;
    if (algorithm.isAlgorithm(A::RSASignatureDigestPKCS1v15SHA1)) return 0x0A;
    if (algorithm.isAlgorithm(A::RSASignatureDigestPKCS1v15SHA256)) return 0x28;
    if (algorithm.isAlgorithm(A::RSASignatureDigestPSSSHA1)) return 0x15;
    if (algorithm.isAlgorithm(A::RSASignatureDigestPSSSHA256)) return 0x2C;
    return 0x0A;
}

std::optional<Bytes> SecParams::digestInfoPrefix() const {
    using A = AsymmetricAlgorithm;
    // DER DigestInfo headers of EMSA-PKCS1-v1_5 (RFC 8017, note 1 of section 9.2).
    if (algorithm.isAlgorithm(A::RSASignatureDigestPKCS1v15SHA1))
        return Bytes{0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2B, 0x0E, 0x03, 0x02, 0x1A, 0x05, 0x00, 0x04, 0x14};
    if (algorithm.isAlgorithm(A::RSASignatureDigestPKCS1v15SHA224))
        return Bytes{0x30, 0x2D, 0x30, 0x0D, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                     0x65, 0x03, 0x04, 0x02, 0x04, 0x05, 0x00, 0x04, 0x1C};
    if (algorithm.isAlgorithm(A::RSASignatureDigestPKCS1v15SHA256))
        return Bytes{0x30, 0x31, 0x30, 0x0D, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                     0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
    if (algorithm.isAlgorithm(A::RSASignatureDigestPKCS1v15SHA384))
        return Bytes{0x30, 0x41, 0x30, 0x0D, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                     0x65, 0x03, 0x04, 0x02, 0x02, 0x05, 0x00, 0x04, 0x30};
    if (algorithm.isAlgorithm(A::RSASignatureDigestPKCS1v15SHA512))
        return Bytes{0x30, 0x51, 0x30, 0x0D, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                     0x65, 0x03, 0x04, 0x02, 0x03, 0x05, 0x00, 0x04, 0x40};
    return std::nullopt;
}

namespace {

// Masks for the padding check: all ones when the condition holds, zero otherwise, computed without
// branches so that the time taken does not depend on the deciphered bytes. Arguments stay below 2^31.
std::uint32_t zeroMask(std::uint32_t x) { return ((x | (0u - x)) >> 31) - 1u; }
std::uint32_t equalMask(std::uint32_t a, std::uint32_t b) { return zeroMask(a ^ b); }
std::uint32_t lessMask(std::uint32_t a, std::uint32_t b) { return 0u - ((a - b) >> 31); }
std::uint32_t pick(std::uint32_t mask, std::uint32_t yes, std::uint32_t no) { return (mask & yes) | (~mask & no); }

}  // namespace

Bytes removePkcs1Padding(const Bytes& block) {
    // Type byte, eight padding bytes and the separator, after an optional leading 00.
    constexpr std::size_t kShortest = 10;
    const std::size_t n = block.size();
    std::uint32_t good = 0;
    std::uint32_t separator = 0;
    if (n >= kShortest && n < (1u << 30)) {
        const std::uint32_t leadingZero = zeroMask(block[0]);
        const std::uint32_t start = leadingZero & 1u;
        good = equalMask(pick(leadingZero, block[1], block[0]), 0x02);
        // The first 00 after the type byte; every byte is looked at whatever was found before.
        std::uint32_t looking = ~0u;
        for (std::uint32_t i = 1; i < n; ++i) {
            const std::uint32_t hit = looking & lessMask(start, i) & zeroMask(block[i]);
            separator = pick(hit, i, separator);
            looking &= ~hit;
        }
        good &= ~looking;
        good &= ~lessMask(separator, start + 9);
    }
    if (good == 0) {
        // One answer and one log line for every kind of bad block, so that a caller who sends
        // forged cryptograms learns nothing but "bad".
        logError("Deciphered data not a PKCS#1.2 Padding");
        throw CardError(kBadPaddingStatus);
    }
    return Bytes(block.begin() + static_cast<long>(separator) + 1, block.end());
}

}  // namespace qel
