#include "token/p11/slot.h"

#include <algorithm>
#include <cstring>

#include "token/p11/session.h"
#include "common/secret_bytes.h"

namespace qel::p11 {

TokenInstance::~TokenInstance() {
    // The token uses the card object: it goes first.
    objects.clear();
    token.reset();
}

const P11Object* TokenInstance::object(CK_OBJECT_HANDLE handle) const {
    for (const P11Object& o : objects)
        if (o.handle == handle) return &o;
    return nullptr;
}

std::vector<const TokenKey*> TokenInstance::keys() const {
    std::vector<const TokenKey*> list;
    for (const TokenObject& item : token->publishedObjects())
        if (const auto* key = std::get_if<TokenKey>(&item)) list.push_back(key);
    return list;
}

void padded(CK_UTF8CHAR* field, std::size_t size, std::string_view text) {
    std::memset(field, ' ', size);
    std::memcpy(field, text.data(), std::min(size, text.size()));
}

DecryptOperation::~DecryptOperation() {
    if (result) wipe(*result);
}

}  // namespace qel::p11
