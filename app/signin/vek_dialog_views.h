#pragma once
// The windows of the sign-in flow as the controllers see them: each shows the texts it is told and
// hands the user's button presses to its controller (the toolkit's side wires them). No logic here.
#include <array>
#include <string>

namespace qel {

/// A dialog of the sign-in flow, shown in a window of its own. Main thread only.
class VekDialogView {
public:
    virtual ~VekDialogView() = default;
    /// Closes the window. The view may destroy itself afterwards, but not inside this call.
    virtual void close() = 0;
};

/// The waiting dialog: a title and a running indicator while one call of the flow runs.
class VekWaitView : public VekDialogView {
public:
    virtual void setWaitTitle(const std::string& text) = 0;
};

/// The request dialog: which service asks; accept, refuse with report, refuse.
class VekAuthView : public VekDialogView {
public:
    virtual void setNewAuthLabel(const std::string& text) = 0;
};

/// The code choice: three buttons titled with the codes, and cancel.
class VekCodesView : public VekDialogView {
public:
    /// The titles of `code1`, `code2`, `code3`.
    virtual void setCodeTitles(const std::array<std::string, 3>& titles) = 0;
};

/// The result of an answered request.
class VekValidView : public VekDialogView {
public:
    virtual void setTitleMesage(const std::string& text) = 0;
    virtual void setMessage(const std::string& text) = 0;
    /// The dialog's picture ("vek-success" or "vek-failure").
    virtual void setPicture(const std::string& pictureName) = 0;
};

/// The alert that ends a request or a disconnection.
class VekAlertView : public VekDialogView {
public:
    virtual void setTitleAlert(const std::string& text) = 0;
    virtual void setMessage(const std::string& text) = 0;
    /// The message as shown (the layout's own text until one is set).
    virtual std::string message() const = 0;
    /// The dialog's picture ("vek-alert", or "vek-success" for a good outcome).
    virtual void setPicture(const std::string& pictureName) = 0;
};

/// The quit confirmation while sessions are open.
class VekQuitView : public VekDialogView {};

/// The disconnection information.
class VekDeauthView : public VekDialogView {
public:
    virtual void setTitleMesage(const std::string& text) = 0;
};

}  // namespace qel
