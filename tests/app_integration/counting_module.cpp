#include "tests/app_integration/counting_module.h"

#include <dlfcn.h>

#include <stdexcept>
#include <type_traits>
#include <utility>

namespace qel::test {
namespace {

CK_FUNCTION_LIST* real = nullptr;
CK_FUNCTION_LIST counted{};
std::atomic<long> callCount{0};

template <auto Field, typename Function = std::remove_reference_t<decltype(std::declval<CK_FUNCTION_LIST&>().*Field)>>
struct Relay;

template <auto Field, typename... Args>
struct Relay<Field, CK_RV (*)(Args...)> {
    static CK_RV call(Args... args) {
        ++callCount;
        return (real->*Field)(args...);
    }
};

#define QEL_COUNT(name) counted.name = Relay<&CK_FUNCTION_LIST::name>::call

}  // namespace

CountingModule::CountingModule(const std::string& path) {
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle_) throw std::runtime_error(std::string("dlopen: ") + dlerror());
    auto getList = reinterpret_cast<CK_C_GetFunctionList>(dlsym(handle_, "C_GetFunctionList"));
    if (!getList || getList(&real) != CKR_OK) throw std::runtime_error("C_GetFunctionList failed");
    counted = *real;
    // Every entry point of the list counts, whatever the application calls.
    QEL_COUNT(C_Initialize);
    QEL_COUNT(C_Finalize);
    QEL_COUNT(C_GetInfo);
    QEL_COUNT(C_GetSlotList);
    QEL_COUNT(C_GetSlotInfo);
    QEL_COUNT(C_GetTokenInfo);
    QEL_COUNT(C_OpenSession);
    QEL_COUNT(C_CloseSession);
    QEL_COUNT(C_CloseAllSessions);
    QEL_COUNT(C_GetSessionInfo);
    QEL_COUNT(C_Login);
    QEL_COUNT(C_Logout);
    QEL_COUNT(C_SetPIN);
    QEL_COUNT(C_InitPIN);
    QEL_COUNT(C_FindObjectsInit);
    QEL_COUNT(C_FindObjects);
    QEL_COUNT(C_FindObjectsFinal);
    QEL_COUNT(C_GetAttributeValue);
    QEL_COUNT(C_SignInit);
    QEL_COUNT(C_Sign);
    QEL_COUNT(C_VerifyInit);
    QEL_COUNT(C_Verify);
    QEL_COUNT(C_GenerateRandom);
}

CountingModule::~CountingModule() {
    real = nullptr;
    if (handle_) dlclose(handle_);
}

CK_FUNCTION_LIST* CountingModule::functions() { return &counted; }

long CountingModule::calls() { return callCount.load(); }
void CountingModule::reset() { callCount = 0; }

QelTransmitMessageFunction CountingModule::transmit() {
    return reinterpret_cast<QelTransmitMessageFunction>(dlsym(handle_, kTransmitMessageSymbol));
}

}  // namespace qel::test
