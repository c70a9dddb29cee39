#pragma once
// Loads a PKCS#11 library by path and hands out its function list with every call counted, so that
// a test can tell how many library calls one card read costs.
#include <p11-kit/pkcs11.h>

#include "issuerlib/transmit_message.h"

#include <atomic>
#include <string>

namespace qel::test {

class CountingModule {
public:
    /// Throws std::runtime_error when the library cannot be loaded.
    explicit CountingModule(const std::string& path);
    ~CountingModule();
    CountingModule(const CountingModule&) = delete;
    CountingModule& operator=(const CountingModule&) = delete;

    /// The counted function list (valid while this object lives).
    CK_FUNCTION_LIST* functions();

    /// The library's pass-through (not counted), null when it has none.
    QelTransmitMessageFunction transmit();

    /// Calls made through the list since the last reset.
    static long calls();
    static void reset();

private:
    void* handle_ = nullptr;
};

}  // namespace qel::test
