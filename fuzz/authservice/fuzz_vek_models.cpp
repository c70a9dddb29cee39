// The service's bodies from hostile JSON: the first byte picks the record, the rest is the body.
// Whatever decodes must encode and decode again to an equal record.
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "authservice/models/models.h"

namespace {

using namespace qel::vek;

template <typename T>
void roundTrip(std::string_view text) {
    const std::optional<T> first = JsonCoding::tryDecode<T>(text);
    if (!first) return;
    const std::string encoded = JsonCoding::encode(*first);
    const std::optional<T> second = JsonCoding::tryDecode<T>(encoded);
    if (!second || !(*second == *first)) std::abort();
    (void)hashValue(*first);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
    switch (data[0] % 16) {
        case 0:
            roundTrip<std::vector<PendingAuthenticationRequestDto>>(text);
            break;
        case 1:
            roundTrip<CibaAuthenticationCardResponseDto>(text);
            break;
        case 2:
            roundTrip<VerifyCodeResponseDto>(text);
            break;
        case 3:
            roundTrip<EnabledFlagDto>(text);
            break;
        case 4:
            roundTrip<ErrorDto>(text);
            break;
        case 5:
            roundTrip<std::set<std::string>>(text);
            break;
        case 6:
            roundTrip<CibaAuthenticationDeviceResponseDto>(text);
            break;
        case 7:
            roundTrip<CibaAuthenticationRequestDtoSerializable>(text);
            break;
        case 8:
            roundTrip<CibaUserValidationDto>(text);
            break;
        case 9:
            roundTrip<AuthenticationRequestDto>(text);
            break;
        case 10:
            roundTrip<RedirectURIResponseDto>(text);
            break;
        case 11:
            roundTrip<PushDtoDataOnly>(text);
            break;
        case 12:
            roundTrip<ClientRepresentationDtoServiceProvider>(text);
            break;
        case 13:
            roundTrip<std::vector<SessionDTO>>(text);
            break;
        case 14:
            roundTrip<PageSessionDTO>(text);
            break;
        default:
            roundTrip<VerifyCodeRequestDto>(text);
            break;
    }
    return 0;
}
