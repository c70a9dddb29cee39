// Pkcs11Card: the reads (data objects, holder data, situations, certificates) and the signature test.
#include "common/format.h"
#include "common/hex.h"
#include "common/logger.h"
#include "issuerlib/pkcs11_card.h"
#include "issuerlib/pkcs11_library.h"

namespace qel {
namespace {

constexpr CK_ULONG kSingleObject = 1;
constexpr CK_ULONG kMaxCertificates = 20;
constexpr int kMaxSituations = 16;
// Larger than any object of the card; a length past it is a library's "unavailable" marker or garbage.
constexpr CK_ULONG kMaxAttributeLength = 1 << 20;

CK_ATTRIBUTE attribute(CK_ATTRIBUTE_TYPE type, void* value, CK_ULONG length) {
    CK_ATTRIBUTE a;
    a.type = type;
    a.pValue = value;
    a.ulValueLen = length;
    return a;
}

bool isAscii(const Bytes& bytes) {
    for (auto b : bytes) {
        if (b >= 0x80) return false;
    }
    return true;
}

}  // namespace

std::vector<CK_OBJECT_HANDLE> Pkcs11Card::findObjects(std::vector<CK_ATTRIBUTE>& attributes, CK_ULONG maxCount) {
    std::vector<CK_OBJECT_HANDLE> objects;
    CK_RV rv = library_.findObjectsInit(session, attributes);
    if (rv != CKR_OK) {
        logError(format("Erreur dans C_FindObjectsInit: résultat = %lu", rv));
    } else {
        rv = library_.findObjects(session, maxCount, objects);
        logDebug(format("C_FindObjects: %lu", rv));
        if (objects.empty()) {
            logDebug("Pas d'objet correspondant trouvé");
        } else {
            logDebug(format("%zu objet(s) correspondant trouvé(s)", objects.size()));
        }
    }
    rv = library_.findObjectsFinal(session);
    logDebug(format("C_FindObjectsFinal: %lu", rv));
    return objects;
}

std::optional<Bytes> Pkcs11Card::getAttributeValue(CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type) {
    CK_ATTRIBUTE query = attribute(type, nullptr, 0);
    if (library_.getAttributeValue(session, object, query) != CKR_OK) return std::nullopt;
    if (query.ulValueLen > kMaxAttributeLength) return std::nullopt;
    Bytes value(query.ulValueLen, 0);
    CK_ATTRIBUTE read = attribute(type, value.empty() ? nullptr : value.data(), value.size());
    if (library_.getAttributeValue(session, object, read) != CKR_OK) return std::nullopt;
    value.resize(std::min<CK_ULONG>(read.ulValueLen, value.size()));
    logDebug(toHex(value));
    return value;
}

std::optional<Bytes> Pkcs11Card::findDataObject(CK_OBJECT_CLASS objectClass, const std::string& objectLabel,
                                                bool isPrivate) {
    CK_BBOOL privateFlag = isPrivate ? CK_TRUE : CK_FALSE;
    CK_BBOOL token = CK_TRUE;
    Bytes labelBytes(objectLabel.begin(), objectLabel.end());
    std::vector<CK_ATTRIBUTE> search = {
        attribute(CKA_CLASS, &objectClass, sizeof objectClass),
        attribute(CKA_PRIVATE, &privateFlag, sizeof privateFlag),
        attribute(CKA_TOKEN, &token, sizeof token),
        attribute(CKA_LABEL, labelBytes.data(), labelBytes.size()),
    };
    std::vector<CK_OBJECT_HANDLE> objects = findObjects(search, kSingleObject);
    if (objects.empty()) return std::nullopt;
    return getAttributeValue(objects.front(), CKA_VALUE);
}

std::optional<CK_OBJECT_HANDLE> Pkcs11Card::findObjectById(CK_OBJECT_CLASS objectClass, const Bytes& id) {
    Bytes idBytes = id;
    std::vector<CK_ATTRIBUTE> search = {
        attribute(CKA_CLASS, &objectClass, sizeof objectClass),
        attribute(CKA_ID, idBytes.empty() ? nullptr : idBytes.data(), idBytes.size()),
    };
    std::vector<CK_OBJECT_HANDLE> objects = findObjects(search, kSingleObject);
    if (objects.empty()) return std::nullopt;
    return objects.front();
}

HolderInfos Pkcs11Card::getHolderInfos() {
    ensureSession();
    if (!contactQEL) return holderInfosFromCertificate();
    HolderInfos infos;
    auto idCard = findDataObject(CKO_DATA, "QEL_ID_CARD", false);
    if (!idCard) {
        logError("getHolderInfos - Erreur dans qelIDCard");
        return infos;
    }
    infos.decodeQelIdCard(*idCard);
    auto nameData = findDataObject(CKO_DATA, "QEL_NAME_PS", false);
    if (!nameData) {
        logError("getHolderInfos - Erreur dans qelNameData");
        return infos;
    }
    infos.decodeQelNameData(*nameData);
    auto infoPS = findDataObject(CKO_DATA, "QEL_INFO_PS", false);
    if (!infoPS) {
        logError("getHolderInfos - Erreur dans qelInfoPS");
        return infos;
    }
    infos.decodeQelInfoPS(*infoPS);
    logSuccess("Infos d'identification récupérées avec succès");
    return infos;
}

HolderInfos Pkcs11Card::holderInfosFromCertificate() {
    HolderInfos infos;
    if (!x509Certs) loadCertificates();
    for (const auto& cert : *x509Certs) {
        if (cert->certName != kTechnicalCertificateLabel) continue;
        infos.nomPatronym = cert->subjectCommonName();
        infos.idEmeteur = cert->issuerCommonName();
        infos.debutValidite = cert->notBeforeText();
        infos.finValidite = cert->notAfterText();
        logSuccess("Infos d'identification récupérées avec succès");
        return infos;
    }
    logError("Pas d'infos d'identification trouvées...");
    return infos;
}

SituFactuInfos Pkcs11Card::getSituations() {
    ensureSession();
    SituFactuInfos situations;
    int read = 0;
    for (int i = 1; i <= kMaxSituations; ++i) {
        auto activity = findDataObject(CKO_DATA, format("QEL_ACTIVITY_%02d_PS", i), true);
        if (!activity) {
            logInfo(format("Nombre de situations trouvées: %d", read));
            break;
        }
        situations.decodeQelActivity(*activity);
        ++read;
    }
    if (read > 0) {
        if (auto billing = findDataObject(CKO_DATA, "QEL_SIT_FACT", true)) situations.decodeQelSitFact(*billing);
    }
    return situations;
}

void Pkcs11Card::loadCertificates() {
    ensureSession();
    x509Certs.emplace();
    CK_OBJECT_CLASS certificateClass = CKO_CERTIFICATE;
    CK_BBOOL token = CK_TRUE;
    std::vector<CK_ATTRIBUTE> search = {
        attribute(CKA_CLASS, &certificateClass, sizeof certificateClass),
        attribute(CKA_TOKEN, &token, sizeof token),
    };
    for (CK_OBJECT_HANDLE object : findObjects(search, kMaxCertificates)) {
        auto value = getAttributeValue(object, CKA_VALUE);
        auto id = getAttributeValue(object, CKA_ID);
        auto labelBytes = getAttributeValue(object, CKA_LABEL);
        if (!value || !id || !labelBytes || !isAscii(*labelBytes)) continue;
        std::string name(labelBytes->begin(), labelBytes->end());
        bool authCert = name.find("Authentification") != std::string::npos;
        x509Certs->push_back(std::make_shared<Pkcs11X509>(std::move(value), std::move(id), std::move(name), authCert));
    }
    logSuccess("Certificats de la carte récupérés avec succès");
}

CK_RV Pkcs11Card::signatureSelfTest(const Bytes& data, CK_MECHANISM_TYPE mechanism) {
    ensureSession();
    if (!x509Certs) loadCertificates();
    std::shared_ptr<Pkcs11X509> certificate;
    for (const auto& cert : *x509Certs) {
        if (cert->certName == kSignatureCertificateLabel && cert->certId) {
            certificate = cert;
            break;
        }
    }
    auto signFailure = [](CK_RV rv) {
        logError("Erreur lors de la signature de la donnée...");
        return rv;
    };
    if (!certificate) return signFailure(CKR_GENERAL_ERROR);

    auto privateKey = findObjectById(CKO_PRIVATE_KEY, *certificate->certId);
    if (!privateKey) return signFailure(CKR_KEY_HANDLE_INVALID);
    CK_RV rv = library_.signInit(session, mechanism, *privateKey);
    if (rv != CKR_OK) return signFailure(rv);
    CK_ULONG length = 0;
    rv = library_.sign(session, data, nullptr, length);
    if (rv != CKR_OK) return signFailure(rv);
    Bytes signature(length, 0);
    rv = library_.sign(session, data, signature.data(), length);
    if (rv != CKR_OK) return signFailure(rv);
    signature.resize(std::min<std::size_t>(length, signature.size()));

    rv = CKR_KEY_HANDLE_INVALID;
    if (auto publicKey = findObjectById(CKO_PUBLIC_KEY, *certificate->certId)) {
        rv = library_.verifyInit(session, mechanism, *publicKey);
        if (rv == CKR_OK) rv = library_.verify(session, data, signature);
    }
    if (rv == CKR_OK) {
        logSuccess("Signature vérifiée");
    } else {
        logError("Signature non valide");
    }
    return rv;
}

}  // namespace qel
