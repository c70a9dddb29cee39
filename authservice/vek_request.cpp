#include "authservice/vek_request.h"

namespace qel::vek {

std::optional<VekAction> vekActionFromRaw(int raw) {
    if (raw < static_cast<int>(VekAction::CHECK_PCSC) || raw > static_cast<int>(VekAction::NONE)) return std::nullopt;
    return static_cast<VekAction>(raw);
}

std::optional<RespType> respTypeFromRaw(int raw) {
    if (raw < static_cast<int>(RespType::OK) || raw > static_cast<int>(RespType::CARD_ACCESS)) return std::nullopt;
    return static_cast<RespType>(raw);
}

}  // namespace qel::vek
