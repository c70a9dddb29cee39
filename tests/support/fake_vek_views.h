#pragma once
// The sign-in flow's windows as recorders.
#include <array>
#include <string>

#include "app/signin/vek_dialog_views.h"

namespace qel::test {

struct FakeVekDialog {
    int closes = 0;
};

struct FakeVekWaitView : VekWaitView, FakeVekDialog {
    void setWaitTitle(const std::string& t) override { waitTitle = t; }
    void close() override { ++closes; }
    std::string waitTitle;
};

struct FakeVekAuthView : VekAuthView, FakeVekDialog {
    void setNewAuthLabel(const std::string& t) override { newAuthLabel = t; }
    void close() override { ++closes; }
    std::string newAuthLabel;
};

struct FakeVekCodesView : VekCodesView, FakeVekDialog {
    void setCodeTitles(const std::array<std::string, 3>& t) override { titles = t; }
    void close() override { ++closes; }
    std::array<std::string, 3> titles;
};

struct FakeVekValidView : VekValidView, FakeVekDialog {
    void setTitleMesage(const std::string& t) override { titleMesage = t; }
    void setMessage(const std::string& t) override { message = t; }
    void setPicture(const std::string& p) override { picture = p; }
    void close() override { ++closes; }
    std::string titleMesage, message, picture;
};

/// Opens with its layout's texts.
struct FakeVekAlertView : VekAlertView, FakeVekDialog {
    void setTitleAlert(const std::string& t) override { titleAlert = t; }
    void setMessage(const std::string& t) override { text = t; }
    std::string message() const override { return text; }
    void setPicture(const std::string& p) override { picture = p; }
    void close() override { ++closes; }
    std::string picture;
    std::string titleAlert = "design title";
    std::string text = "design message";
};

struct FakeVekQuitView : VekQuitView, FakeVekDialog {
    void close() override { ++closes; }
};

}  // namespace qel::test
