#include "app/qt/pictures.h"

#include <QFile>

void qelInitQtResources() { Q_INIT_RESOURCE(kartello); }

namespace qel::qt {

QString picturePath(const std::string& pictureName) {
    const QString name = QString::fromStdString(pictureName);
    // Card pictures and small icons live in two folders of the resource tree.
    for (const char* folder : {":/cards/", ":/icons/"}) {
        const QString path = QString::fromLatin1(folder) + name + QStringLiteral(".svg");
        if (QFile::exists(path)) return path;
    }
    return {};
}

QIcon pictureIcon(const std::string& pictureName) {
    const QString path = picturePath(pictureName);
    return path.isEmpty() ? QIcon() : QIcon(path);
}

}  // namespace qel::qt
