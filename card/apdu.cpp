#include "card/apdu.h"

namespace qel {

void ApduOps::configureSelect(QELType type) {
    switch (type) {
        case QELType::QEL3:
        case QELType::QEL3CL:
            select = Apdu{0xA4, 0x09, 0x04, 0, {}};
            break;
        case QELType::QEL4:
        case QELType::UNKNOWN:
            select = Apdu{0xA4, 0x08, 0x00, 0, {}};
            break;
    }
}

}  // namespace qel
