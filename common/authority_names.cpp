#include "common/authority_names.h"

namespace qel {

const std::vector<std::string>& authorityResourceNames() {
    static const std::vector<std::string> names{"ACR_FORT_20130625",
                                                "ACR_ELEMENTAIRE_20130625",
                                                "ACR_STANDARD_20130625",
                                                "AC_FORT_ORGANISATIONS_20130625",
                                                "AC_STANDARD_PERSONNES_20130625",
                                                "AC_ELEMENTAIRE_ORGANISATIONS_20130625",
                                                "AC_STANDARD_ORGANISATIONS_20130625",
                                                "AC_FORT_PERSONNES_20130625",
                                                "AC_ELEMENTAIRE_PERSONNES_20130625",
                                                "ACR-FO-TEST",
                                                "ACR-EL-TEST",
                                                "ACR-ST-TEST",
                                                "ACI-ST-PP-TEST",
                                                "ACI-EL-ORG-TEST",
                                                "ACI-ST-ORG-TEST",
                                                "ACI-FO-PP-TEST",
                                                "ACI-EL-PP-TEST"};
    return names;
}

}  // namespace qel
