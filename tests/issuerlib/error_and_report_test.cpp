#include <gtest/gtest.h>

#include "issuerlib/pkcs11_error.h"
#include "issuerlib/service_report.h"

namespace qel {
namespace {

TEST(Pkcs11ErrorNames, EveryCaseRoundTripsAndOthersHaveNone) {
    int named = 0;
    for (unsigned long rv = 0; rv <= 0x300; ++rv) {
        auto error = pkcs11ErrorFromValue(rv);
        if (!error) continue;
        ++named;
        EXPECT_EQ(static_cast<unsigned long>(*error), rv);
        EXPECT_EQ(std::string(pkcs11ErrorName(*error)).rfind("CKR_", 0), 0u) << rv;
    }
    EXPECT_EQ(named, kPkcs11ErrorCount);
    EXPECT_EQ(kPkcs11ErrorCount, 85);

    EXPECT_EQ(pkcs11ReturnName(0x0), "CKR_OK");
    EXPECT_EQ(pkcs11ReturnName(0xA0), "CKR_PIN_INCORRECT");
    EXPECT_EQ(pkcs11ReturnName(0xF0), "CKR_UNWRAPPING_KEY_HANDLE_INVALID");
    EXPECT_EQ(pkcs11ReturnName(0x68), "CKR_KEY_FUNCTION_NOT_PERMITTED");
    EXPECT_EQ(pkcs11ReturnName(0x1A1), "CKR_MUTEX_NOT_LOCKED");
    EXPECT_EQ(pkcs11ReturnName(0x200), "CKR_FUNCTION_REJECTED");
    // Later additions to the standard and vendor codes have no case.
    EXPECT_EQ(pkcs11ReturnName(0x140), "0x00000140");
    EXPECT_EQ(pkcs11ReturnName(0x1B0), "0x000001B0");
    EXPECT_EQ(pkcs11ReturnName(0x80000001), "0x80000001");
    EXPECT_EQ(pkcs11ErrorFromValue(0x201), std::nullopt);
    EXPECT_EQ(pkcs11ErrorFromValue(0x4), std::nullopt);
}

TEST(ServiceReport, LineLayout) {
    const std::pair<const char*, const char*> cases[] = {
        {"C_Login", "C_Login:\t\t\t\t"},
        {"C_Sign", "C_Sign:\t\t\t\t"},
        {"C_Initialize", "C_Initialize:\t\t\t"},
        {"C_OpenSession", "C_OpenSession:\t\t"},
        {"C_CloseSession", "C_CloseSession:\t\t"},
        {"C_GetSessionInfo", "C_GetSessionInfo:\t\t"},
        {"C_GenerateRandom", "C_GenerateRandom:\t"},
        {"C_FindObjectsFinal", "C_FindObjectsFinal:\t\t"},
        {"C_GetAttributeValue", "C_GetAttributeValue:\t"},
    };
    for (const auto& [name, head] : cases) {
        EXPECT_EQ(ServiceReportRecorder::formatLine(name, 0), std::string(head) + "✅ CKR_OK") << name;
    }
    EXPECT_EQ(ServiceReportRecorder::formatLine("C_Login", 0xA0), "C_Login:\t\t\t\t\u26D4\uFE0F CKR_PIN_INCORRECT");
}

TEST(ServiceReport, RecordsOnlyWhileEnabledAndFlushes) {
    ServiceReportRecorder recorder;
    recorder.recordIfEnabled("C_Login", 0);
    EXPECT_EQ(recorder.buffer(), "");

    recorder.setEnabled(true);
    recorder.recordIfEnabled("C_Login", 0);
    recorder.recordIfEnabled("C_Sign", 0x5);
    EXPECT_EQ(recorder.takeBuffer(), "C_Login:\t\t\t\t✅ CKR_OK\nC_Sign:\t\t\t\t⛔️ CKR_GENERAL_ERROR");
    EXPECT_EQ(recorder.buffer(), "");
    recorder.recordServiceResult("C_Initialize", 0);
    EXPECT_EQ(recorder.buffer(), "C_Initialize:\t\t\t✅ CKR_OK");
    // The failing calls are kept by name until taken, whatever the buffer's flushes.
    recorder.recordServiceResult("C_Login", 0xA0);
    EXPECT_EQ(recorder.takeFailedCalls(), (std::vector<std::string>{"C_Sign", "C_Login"}));
    EXPECT_TRUE(recorder.takeFailedCalls().empty());
}

}  // namespace
}  // namespace qel
