#pragma once
#include <cstddef>
#include <string>

#include "common/bytes.h"

namespace qel::sim {

/// A hostile reader: spoils, in turn, every card answer that carries data, the way a failing
/// contact or a weak contactless field would. Answers without data (status words alone) pass, so
/// that selections and PIN commands still go through. The faults, in order:
///   1. data cut to half its length, status word kept;
///   2. every data byte inverted, status word kept (tags and lengths become nonsense);
///   3. data replaced by an element announcing 4 GiB (30 84 FF FF FF FF), status word 9000;
///   4. only the first byte of the answer (no complete status word).
/// Independent of the card model's own hostile rules, which act per command and file.
class ReaderFaults {
public:
    Bytes spoil(const Bytes& answer);
    std::size_t spoiled() const { return count_; }

private:
    std::size_t count_ = 0;
};

/// The command as it may be written to a log: the data of VERIFY, CHANGE REFERENCE DATA and RESET
/// RETRY COUNTER (PIN and PUK) shown as FF bytes. Upper-case hexadecimal.
std::string loggableCommand(const Bytes& apdu);

}  // namespace qel::sim
