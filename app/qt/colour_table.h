#pragma once
#include <QColor>
#include <string>

#include "app/views/widgets.h"

namespace qel::qt {

/// The value of a named colour asset: the profession colours of the card holder's job line
/// ("medecin", "Fpharma", ..., "empty"). An unknown name gives the "empty" colour.
QColor namedColour(const std::string& name);

/// True when `name` is one of the named colour assets.
bool hasNamedColour(const std::string& name);

/// A controller's colour as a Qt colour (named assets resolved through `namedColour`).
QColor toQColor(const ui::Colour& colour);

}  // namespace qel::qt
