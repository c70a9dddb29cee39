#include "card/status_words.h"

#include <algorithm>
#include <iterator>

namespace qel {

namespace {

struct Entry {
    std::uint16_t statusWord;
    CardStatus status;
};

constexpr Entry kTable[] = {
    {sw::success, CardStatus::success},           {sw::memoryFailure, CardStatus::memoryFailure},
    {sw::wrongLength, CardStatus::wrongLength},   {sw::conditionsNotSatisfied, CardStatus::conditionsNotSatisfied},
    {sw::wrongData, CardStatus::wrongData},       {sw::referenceNotFound, CardStatus::referenceNotFound},
    {sw::fileNotFound, CardStatus::fileNotFound}, {sw::gsmFileIdNotFound, CardStatus::gsmFileIdNotFound},
};

}  // namespace

StatusWordMeaning statusWordMeaning(std::uint16_t statusWord) {
    if ((statusWord & 0xFFF0) == 0x63C0) return {CardStatus::triesLeft, statusWord & 0x0F};
    if (statusWord == sw::authenticationBlocked) return {CardStatus::blocked, -1};
    if (statusWord == sw::securityStatusNotSatisfied) return {CardStatus::securityStatusNotSatisfied, -1};
    const auto* it =
        std::find_if(std::begin(kTable), std::end(kTable), [&](const Entry& e) { return e.statusWord == statusWord; });
    return {it != std::end(kTable) ? it->status : CardStatus::other, -1};
}

}  // namespace qel
