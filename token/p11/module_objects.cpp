#include "token/p11/module.h"

namespace qel::p11 {

CK_RV Module::getAttributeValue(CK_SESSION_HANDLE handle, CK_OBJECT_HANDLE objectHandle, CK_ATTRIBUTE_PTR attributes,
                                CK_ULONG count) {
    auto session = sessionFor(handle);
    bool loggedIn = false;
    {
        std::lock_guard lock(session->slot->cardMutex);
        if (!stillInserted(*session->slot, session->token)) throw P11Error(CKR_DEVICE_REMOVED);
        loggedIn = session->token->loggedIn;
    }
    // The objects are fixed for the token's life; the session keeps the token alive.
    const P11Object* object = session->token->object(objectHandle);
    if (object == nullptr || (isPrivateObject(*object) && !loggedIn)) throw P11Error(CKR_OBJECT_HANDLE_INVALID);
    return fillTemplate(*object, attributes, count);
}

void Module::findObjectsInit(CK_SESSION_HANDLE handle, CK_ATTRIBUTE_PTR attributes, CK_ULONG count) {
    std::vector<std::pair<CK_ATTRIBUTE_TYPE, Bytes>> wanted;
    for (CK_ULONG i = 0; i < count; ++i) {
        const CK_ATTRIBUTE& a = attributes[i];
        const auto* bytes = static_cast<const std::uint8_t*>(a.pValue);
        wanted.emplace_back(a.type, bytes ? Bytes(bytes, bytes + a.ulValueLen) : Bytes{});
    }
    auto session = sessionFor(handle);
    std::lock_guard sessionLock(session->mutex);
    if (session->find) throw P11Error(CKR_OPERATION_ACTIVE);
    bool loggedIn = false;
    {
        std::lock_guard lock(session->slot->cardMutex);
        if (!stillInserted(*session->slot, session->token)) throw P11Error(CKR_DEVICE_REMOVED);
        loggedIn = session->token->loggedIn;
    }
    FindOperation find;
    for (const P11Object& object : session->token->objects)
        if ((loggedIn || !isPrivateObject(object)) && matchesTemplate(object, wanted))
            find.handles.push_back(object.handle);
    session->find = std::move(find);
}

CK_ULONG Module::findObjects(CK_SESSION_HANDLE handle, CK_OBJECT_HANDLE_PTR objects, CK_ULONG max) {
    auto session = sessionFor(handle);
    std::lock_guard sessionLock(session->mutex);
    if (!session->find) throw P11Error(CKR_OPERATION_NOT_INITIALIZED);
    FindOperation& find = *session->find;
    CK_ULONG n = 0;
    while (n < max && find.next < find.handles.size()) objects[n++] = find.handles[find.next++];
    return n;
}

void Module::findObjectsFinal(CK_SESSION_HANDLE handle) {
    auto session = sessionFor(handle);
    std::lock_guard sessionLock(session->mutex);
    if (!session->find) throw P11Error(CKR_OPERATION_NOT_INITIALIZED);
    session->find.reset();
}

}  // namespace qel::p11
