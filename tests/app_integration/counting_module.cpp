#include "tests/app_integration/counting_module.h"

#include <dlfcn.h>

#include <stdexcept>

namespace qel::test {
namespace {

CK_FUNCTION_LIST* real = nullptr;
CK_FUNCTION_LIST counted{};
std::atomic<long> callCount{0};

}  // namespace

CountingModule::CountingModule(const std::string& path) {
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle_) throw std::runtime_error(std::string("dlopen: ") + dlerror());
    auto getList = reinterpret_cast<CK_C_GetFunctionList>(dlsym(handle_, "C_GetFunctionList"));
    if (!getList || getList(&real) != CKR_OK) throw std::runtime_error("C_GetFunctionList failed");
    counted = *real;
    // One counting entry point per function the application uses.
    counted.C_Initialize = [](CK_VOID_PTR a) -> CK_RV { ++callCount; return real->C_Initialize(a); };
    counted.C_Finalize = [](CK_VOID_PTR a) -> CK_RV { ++callCount; return real->C_Finalize(a); };
    counted.C_GetSlotList = [](CK_BBOOL a, CK_SLOT_ID_PTR b, CK_ULONG_PTR c) -> CK_RV {
        ++callCount;
        return real->C_GetSlotList(a, b, c);
    };
    counted.C_GetSlotInfo = [](CK_SLOT_ID a, CK_SLOT_INFO_PTR b) -> CK_RV { ++callCount; return real->C_GetSlotInfo(a, b); };
    counted.C_GetTokenInfo = [](CK_SLOT_ID a, CK_TOKEN_INFO_PTR b) -> CK_RV {
        ++callCount;
        return real->C_GetTokenInfo(a, b);
    };
    counted.C_OpenSession = [](CK_SLOT_ID a, CK_FLAGS b, CK_VOID_PTR c, CK_NOTIFY d, CK_SESSION_HANDLE_PTR e) -> CK_RV {
        ++callCount;
        return real->C_OpenSession(a, b, c, d, e);
    };
    counted.C_CloseSession = [](CK_SESSION_HANDLE a) -> CK_RV { ++callCount; return real->C_CloseSession(a); };
    counted.C_GetSessionInfo = [](CK_SESSION_HANDLE a, CK_SESSION_INFO_PTR b) -> CK_RV {
        ++callCount;
        return real->C_GetSessionInfo(a, b);
    };
    counted.C_Login = [](CK_SESSION_HANDLE a, CK_USER_TYPE b, CK_UTF8CHAR_PTR c, CK_ULONG d) -> CK_RV {
        ++callCount;
        return real->C_Login(a, b, c, d);
    };
    counted.C_Logout = [](CK_SESSION_HANDLE a) -> CK_RV { ++callCount; return real->C_Logout(a); };
    counted.C_SetPIN = [](CK_SESSION_HANDLE a, CK_UTF8CHAR_PTR b, CK_ULONG c, CK_UTF8CHAR_PTR d, CK_ULONG e) -> CK_RV {
        ++callCount;
        return real->C_SetPIN(a, b, c, d, e);
    };
    counted.C_InitPIN = [](CK_SESSION_HANDLE a, CK_UTF8CHAR_PTR b, CK_ULONG c) -> CK_RV {
        ++callCount;
        return real->C_InitPIN(a, b, c);
    };
    counted.C_FindObjectsInit = [](CK_SESSION_HANDLE a, CK_ATTRIBUTE_PTR b, CK_ULONG c) -> CK_RV {
        ++callCount;
        return real->C_FindObjectsInit(a, b, c);
    };
    counted.C_FindObjects = [](CK_SESSION_HANDLE a, CK_OBJECT_HANDLE_PTR b, CK_ULONG c, CK_ULONG_PTR d) -> CK_RV {
        ++callCount;
        return real->C_FindObjects(a, b, c, d);
    };
    counted.C_FindObjectsFinal = [](CK_SESSION_HANDLE a) -> CK_RV { ++callCount; return real->C_FindObjectsFinal(a); };
    counted.C_GetAttributeValue = [](CK_SESSION_HANDLE a, CK_OBJECT_HANDLE b, CK_ATTRIBUTE_PTR c, CK_ULONG d) -> CK_RV {
        ++callCount;
        return real->C_GetAttributeValue(a, b, c, d);
    };
}

CountingModule::~CountingModule() {
    real = nullptr;
    if (handle_) dlclose(handle_);
}

CK_FUNCTION_LIST* CountingModule::functions() { return &counted; }

long CountingModule::calls() { return callCount.load(); }
void CountingModule::reset() { callCount = 0; }

}  // namespace qel::test
