#pragma once
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/p11/module.h"
#include "tests/sim_p11/fake_card.h"

namespace qel::simp11::test {

/// The library as a host program sees it, over a fake card service with two readers.
class ModuleTest : public ::testing::Test {
protected:
    static constexpr const char* kReaderA = "Lecteur A 00 00";
    static constexpr const char* kReaderB = "Lecteur B 00 01";

    void SetUp() override {
        world = std::make_shared<FakeWorld>();
        world->addReader(kReaderA);
        world->addReader(kReaderB);
        setBackendFactory([w = world] { return makeFakeBackend(w); });
        ASSERT_EQ(C_GetFunctionList(&p11), CKR_OK);
    }
    void TearDown() override {
        p11->C_Finalize(nullptr);
        setBackendFactory({});
    }

    std::shared_ptr<FakeCardState> insert(CardGeneration g, const char* reader = kReaderA) {
        auto card = makeCard(g);
        world->insert(reader, card);
        return card;
    }
    void initialize() { ASSERT_EQ(p11->C_Initialize(nullptr), CKR_OK); }

    CK_SESSION_HANDLE open(CK_SLOT_ID slot = 0, CK_FLAGS flags = CKF_SERIAL_SESSION) {
        CK_SESSION_HANDLE h = 0;
        EXPECT_EQ(p11->C_OpenSession(slot, flags, nullptr, nullptr, &h), CKR_OK);
        return h;
    }
    CK_RV login(CK_SESSION_HANDLE h, const std::string& code, CK_USER_TYPE user = CKU_USER) {
        return p11->C_Login(h, user, reinterpret_cast<CK_UTF8CHAR*>(const_cast<char*>(code.data())), code.size());
    }

    std::vector<CK_OBJECT_HANDLE> find(CK_SESSION_HANDLE h, std::vector<CK_ATTRIBUTE> templ) {
        std::vector<CK_OBJECT_HANDLE> out(64);
        CK_ULONG n = 0;
        EXPECT_EQ(p11->C_FindObjectsInit(h, templ.data(), templ.size()), CKR_OK);
        EXPECT_EQ(p11->C_FindObjects(h, out.data(), out.size(), &n), CKR_OK);
        EXPECT_EQ(p11->C_FindObjectsFinal(h), CKR_OK);
        out.resize(n);
        return out;
    }
    std::vector<CK_OBJECT_HANDLE> findByLabel(CK_SESSION_HANDLE h, const std::string& label) {
        return find(h, {{CKA_LABEL, const_cast<char*>(label.data()), label.size()}});
    }
    std::vector<CK_OBJECT_HANDLE> findClass(CK_SESSION_HANDLE h, CK_OBJECT_CLASS& cls) {
        return find(h, {{CKA_CLASS, &cls, sizeof cls}});
    }

    Bytes attribute(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE o, CK_ATTRIBUTE_TYPE type) {
        CK_ATTRIBUTE a{type, nullptr, 0};
        if (p11->C_GetAttributeValue(h, o, &a, 1) != CKR_OK) return {};
        Bytes v(a.ulValueLen);
        a.pValue = v.data();
        EXPECT_EQ(p11->C_GetAttributeValue(h, o, &a, 1), CKR_OK);
        return v;
    }
    std::string text(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE o, CK_ATTRIBUTE_TYPE type) {
        Bytes v = attribute(h, o, type);
        return std::string(v.begin(), v.end());
    }

    std::shared_ptr<FakeWorld> world;
    CK_FUNCTION_LIST* p11 = nullptr;
};

}  // namespace qel::simp11::test
