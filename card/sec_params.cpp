#include "card/sec_params.h"

#include "common/logger.h"

namespace qel {

MseParameters SecParams::mseParameters() const {
    if (cardType == QELType::QEL3 || cardType == QELType::QEL3CL) {
        if (op == KeyOp::DECRYPT) return {0x41, 0xB8, {0x80, 0x01, 0x1A, 0x84, 0x01, keyId}};
        if (keyType == KeyType::AUTH_KEY) return {0x41, 0xA4, {0x80, 0x01, 0x02, 0x84, 0x01, keyId}};
        const std::uint8_t alg = algorithm.isAlgorithm(SecKeyAlgorithm::RSASignatureDigestPKCS1v15SHA1) ? 0x12 : 0x42;
        return {0x41, 0xB6, {0x80, 0x01, alg, 0x84, 0x01, keyId}};
    }
    if (op == KeyOp::DECRYPT) return {0x41, 0xB8, {0x83, 0x01, keyId}};
    return {0x81, 0xB6, {0x91, 0x02, algorithmReference(), static_cast<std::uint8_t>(keyId | 0x80)}};
}

std::uint8_t SecParams::algorithmReference() const {
    using A = SecKeyAlgorithm;
    if (algorithm.isAlgorithm(A::RSASignatureDigestPKCS1v15SHA1)) return 0x0A;
    if (algorithm.isAlgorithm(A::RSASignatureDigestPKCS1v15SHA256)) return 0x28;
    if (algorithm.isAlgorithm(A::RSASignatureDigestPSSSHA1)) return 0x15;
    if (algorithm.isAlgorithm(A::RSASignatureDigestPSSSHA256)) return 0x2C;
    return 0x0A;
}

std::optional<Bytes> SecParams::digestInfoPrefix() const {
    using A = SecKeyAlgorithm;
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

Bytes removePkcs1Padding(const Bytes& block) {
    std::size_t start = 0;
    if (!block.empty() && block[0] == 0x00) start = 1;
    if (start >= block.size() || block[start] != 0x02) logError("Deciphered data not a PKCS#1.2 Padding");
    std::size_t separator = block.size();
    for (std::size_t i = start; i < block.size(); ++i) {
        if (block[i] == 0x00) {
            separator = i;
            break;
        }
    }
    // Positions count from the block as it stands after the leading 00 went: the separator must
    // follow the type byte and at least eight padding bytes.
    if (separator == block.size() || separator - start < 9)
        logError("Deciphered data not a PKCS#1.2 Padding - unexpected padding size");
    if (separator == block.size()) return Bytes(block.begin() + static_cast<long>(start), block.end());
    return Bytes(block.begin() + static_cast<long>(separator) + 1, block.end());
}

}  // namespace qel
