#pragma once
#include <optional>
#include <string>

#include "common/bytes.h"
#include "common/secret_bytes.h"

namespace qel::cardcache {

/// The file holding this user's cache authentication key: "<XDG config home>/sigilla/cache.key".
/// Empty without a config home.
std::string keyFilePath();

/// This user's key for cache records: 32 random bytes, made on first use in a 0600 file whose folder
/// must be the user's own (no link, writable by no one else). Throws std::runtime_error saying why
/// the key cannot be had; the cache is then neither read nor written.
SecretBytes userKey();

/// A stored cache file: the record as enciphered until now (random IV, AES-256-CBC of
/// 00 00 | length | content under the serial's cache key), followed by an HMAC-SHA256 tag under the
/// user's key over the card serial, the card file's name and the enciphered bytes. The tag is what
/// tells a record this user's programs wrote from one put there by anyone else, or moved from
/// another file or card. Throws std::runtime_error (or AES::Failure) when it cannot be made.
Bytes seal(const std::string& serial, const std::string& fileName, const Bytes& plainRecord);
/// The plain record of a stored file. Throws std::runtime_error when the tag does not match (checked
/// before anything is deciphered), and the AES errors.
Bytes open(const std::string& serial, const std::string& fileName, const Bytes& stored);

/// Size of the tag that ends a stored file.
inline constexpr std::size_t tagSize = 32;

/// Removes the cache of one card (its serial folder), or of every card. Links are removed, never
/// followed. Returns the number of card folders removed; throws std::runtime_error when the cache
/// folders are not the user's own or a folder cannot be removed.
int clearCard(const std::string& serial);
int clearAll();

}  // namespace qel::cardcache
