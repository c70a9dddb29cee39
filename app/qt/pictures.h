#pragma once
#include <QIcon>
#include <QString>
#include <string>

namespace qel::qt {

/// The resource path of a named picture ("top-card-medecin", "lock", "unlock", "tmaj-notif", ...);
/// an empty text for a name the application does not ship.
QString picturePath(const std::string& pictureName);

/// The picture as an icon (empty icon for an unknown name).
QIcon pictureIcon(const std::string& pictureName);

}  // namespace qel::qt

/// Registers the pictures compiled into the Qt view library. Call once before the first window is
/// built (the library is static, so its resources are not registered by themselves).
void qelInitQtResources();
