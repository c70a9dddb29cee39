#pragma once
#include "app/views/widgets.h"

namespace qel::ui {

/// The controls of the identification sub-view (the holder's and the card's identity).
struct IdentificationOutlets {
    Label* nameLabel = nullptr;
    Label* firstNameLabel = nullptr;
    Label* identifierLabel = nullptr;
    Label* jobLabel = nullptr;
    Label* numLabel = nullptr;
    Label* emissionLabel = nullptr;
    Label* expirationLabel = nullptr;
    Label* serialNumLabel = nullptr;
    Label* serialNumTitle = nullptr;
    Button* copyButton = nullptr;  ///< copies the identity as text (`onCopy`)

    bool complete() const;
};

class IdentificationView {
public:
    virtual ~IdentificationView() = default;
    virtual const IdentificationOutlets& outlets() = 0;
    /// The whole sub-view.
    virtual void setViewHidden(bool hidden) = 0;
};

}  // namespace qel::ui
