// TLVSequence and TLVEntry on arbitrary bytes: no read outside the buffer, no unbounded recursion.
#include <cstddef>
#include <cstdint>

#include "card/tlv.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace qel;
    TLVSequence sequence(data, size);
    if (const auto* bits = dynamic_cast<const TLVBitString*>(sequence.findObject(TLVTAG::TAG_BIT_STRING)))
        (void)bits->flags();
    for (const TLVSequence& child : sequence.seqList) (void)child.findObject(TLVTAG::TAG_UTF8_STRING);
    if (auto entry = TLVEntry::decode(data, size)) {
        if (entry->entryLen > size || entry->entryData->size() > entry->entryLen) __builtin_trap();
    }
    return 0;
}
