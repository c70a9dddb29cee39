#include "card/card_file.h"

namespace qel {

Bytes CardFile::fullPath() const {
    Bytes path = parent;
    path.insert(path.end(), id.begin(), id.end());
    return path;
}

bool CardFile::matches(const Bytes& path) const {
    if (path.size() == 2) return path == id;
    return path == fullPath();
}

namespace {

CardFile file(Bytes parent, Bytes id, bool cache = false) { return CardFile{std::move(parent), std::move(id), cache}; }

// Never destroyed: a PKCS#11 host may still build a token from an exit handler, after the static
// destructors of the libraries it loaded have run.
const Bytes& kMF = *new Bytes{0x3F, 0x00};
const Bytes& kEF = *new Bytes{0x3F, 0x00, 0x00, 0x01};

Bytes cat(const Bytes& a, const Bytes& b) {
    Bytes r = a;
    r.insert(r.end(), b.begin(), b.end());
    return r;
}

}  // namespace

QELFiles::QELFiles()
    : mf(file({}, kMF)), ef(file({}, kEF)), aid(file({}, {0x80, 0x25, 0x00, 0x00, 0x01, 0xFF, 0x01, 0x00})) {}

void QELFiles::configure(QELType type) {
    switch (type) {
        case QELType::QEL3:
            prkd = file(kEF, {0x70, 0x02}, true);
            cd = file(kEF, {0x70, 0x05}, true);
            signCert = file(kEF, {0xA0, 0x01}, true);
            authCert = file(kEF, {0xA0, 0x02}, true);
            update = file(kMF, cat(kMF, {0xD0, 0x10}));
            serial = file(kMF, {0xD0, 0x03});
            signEF = file({}, kEF);
            authEF = file({}, kEF);
            break;
        case QELType::QEL3CL:
            prkd = file(kEF, {0x71, 0x02}, true);
            cd = file(kEF, {0x71, 0x05}, true);
            signCert = file({}, {});
            authCert = file(kEF, {0xA0, 0x03}, true);
            update = file(kMF, cat(kMF, {0xD0, 0x10}));
            serial = file(kMF, {0xD0, 0x03});
            // The contactless card's key directories are reached through 3F00 3F00 0001 as the card
            // expects it; the outcome of that selection is not examined.
            signEF = file(kMF, kEF);
            authEF = file(kMF, kEF);
            break;
        case QELType::QEL4:
            prkd = file(kEF, {0x70, 0x02}, true);
            cd = file(kEF, {0x70, 0x05}, true);
            signCert = file(cat(kEF, {0x01, 0x01}), {0xA0, 0x10}, true);
            authCert = file(cat(kEF, {0x01, 0x02}), {0xA0, 0x20}, true);
            update = file({}, {});
            serial = file({}, {0xD0, 0x03});
            signEF = file({}, cat(kEF, {0x01, 0x01}));
            authEF = file({}, cat(kEF, {0x01, 0x02}));
            break;
        case QELType::UNKNOWN:
            break;
    }
}

}  // namespace qel
