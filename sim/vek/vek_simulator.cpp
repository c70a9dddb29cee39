#include "sim/vek/vek_simulator.h"

#include <httplib.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <thread>

namespace qel::sim {

namespace {

using nlohmann::json;

constexpr const char* kAuthentication = "/api/ulmora-authentication";
constexpr const char* kSession = "/api/ulmora-session";
constexpr const char* kUserHeader = "X-Authenticated-User";

std::string nameEntry(X509_NAME* name, int nid) {
    const int at = X509_NAME_get_index_by_NID(name, nid, -1);
    if (at < 0) return {};
    const ASN1_STRING* value = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, at));
    unsigned char* utf8 = nullptr;
    const int length = ASN1_STRING_to_UTF8(&utf8, value);
    if (length < 0) return {};
    std::string text(reinterpret_cast<char*>(utf8), static_cast<std::size_t>(length));
    OPENSSL_free(utf8);
    return text;
}

/// Who is calling, from the connection's verified client certificate.
struct Caller {
    std::string holder;  ///< subject serialNumber: the national identifier
    std::string commonName;
    std::string subject;
    std::string protocol;
    std::string signature;
};

Caller callerOf(const httplib::Request& request) {
    Caller caller;
    if (request.ssl == nullptr) return caller;
    SSL* ssl = const_cast<SSL*>(request.ssl);
    caller.protocol = SSL_get_version(ssl);
    if (X509* cert = SSL_get0_peer_certificate(ssl)) {
        X509_NAME* subject = X509_get_subject_name(cert);
        caller.holder = nameEntry(subject, NID_serialNumber);
        caller.commonName = nameEntry(subject, NID_commonName);
        char line[512];
        X509_NAME_oneline(subject, line, sizeof line);
        caller.subject = line;
    }
    int type = NID_undef, digest = NID_undef;
    SSL_get_peer_signature_type_nid(ssl, &type);
    SSL_get_peer_signature_nid(ssl, &digest);
    caller.signature = std::string(type == NID_rsassaPss       ? "RSA-PSS"
                                   : type == NID_rsaEncryption ? "RSA-PKCS1"
                                                               : "other") +
                       "/" + (digest == NID_undef ? std::string("none") : OBJ_nid2sn(digest));
    return caller;
}

void logLine(const std::string& line) {
    static std::mutex logMutex;
    std::lock_guard lock(logMutex);
    std::printf("vek-sim: %s\n", line.c_str());
    std::fflush(stdout);
}

void errorBody(httplib::Response& res, int status, const std::string& code, const std::string& message) {
    res.status = status;
    res.set_content(json{{"code", code}, {"message", message}}.dump(), "application/json");
}

std::string threeDigits() {
    unsigned char random[2];
    RAND_bytes(random, sizeof random);
    return std::to_string(100 + (random[0] << 8 | random[1]) % 900);
}

}  // namespace

bool validChosenCodes(const std::vector<std::string>& codes) {
    if (codes.size() != 3) return false;
    for (std::size_t i = 0; i < codes.size(); ++i) {
        if (codes[i].size() != 3 ||
            !std::all_of(codes[i].begin(), codes[i].end(), [](char c) { return c >= '0' && c <= '9'; }))
            return false;
        if (std::find(codes.begin(), codes.begin() + static_cast<std::ptrdiff_t>(i), codes[i]) !=
            codes.begin() + static_cast<std::ptrdiff_t>(i))
            return false;
    }
    return true;
}

std::optional<std::pair<std::string, VekFault>> parseVekFault(const std::string& text) {
    const std::size_t colon = text.find(':');
    if (colon == std::string::npos || colon == 0) return std::nullopt;
    const std::string step = text.substr(0, colon);
    static const std::vector<std::string> steps = {"pending",      "codeState", "challenges", "verify",
                                                   "cardResponse", "logoutAll", "*"};
    if (std::find(steps.begin(), steps.end(), step) == steps.end()) return std::nullopt;
    std::string kind = text.substr(colon + 1), value;
    if (const std::size_t eq = kind.find('='); eq != std::string::npos) {
        value = kind.substr(eq + 1);
        kind = kind.substr(0, eq);
    }
    VekFault f;
    try {
        if (kind == "business" && !value.empty())
            f.businessCode = value;
        else if (kind == "not-json")
            f.notJson = true;
        else if (kind == "status")
            f.status = std::stoi(value);
        else if (kind == "empty-codes")
            f.emptyCodes = true;
        else if (kind == "delay")
            f.delayMs = std::stoi(value);
        else
            return std::nullopt;
    } catch (const std::exception&) {
        return std::nullopt;
    }
    if (f.status != 0 && (f.status < 100 || f.status > 599)) return std::nullopt;
    return std::make_pair(step, f);
}

VekSimulator::VekSimulator(const ServiceCredentials& credentials, const std::string& clientAuthorities)
    : service_(std::make_unique<httplib::SSLServer>(credentials.certificate.c_str(), credentials.privateKey.c_str(),
                                                    clientAuthorities.c_str())),
      admin_(std::make_unique<httplib::Server>()),
      serviceThread_(*service_),
      adminThread_(*admin_) {
    if (!service_->is_valid())
        throw std::runtime_error("vek-sim: the server identity or the client authorities are unusable");
    installService();
    installAdmin();
}

VekSimulator::~VekSimulator() { stop(); }

std::pair<int, int> VekSimulator::start(int port, int adminPort) {
    const int service = serviceThread_.start(port);
    if (service < 0) return {-1, -1};
    return {service, adminThread_.start(adminPort)};
}

void VekSimulator::stop() {
    serviceThread_.stop();
    adminThread_.stop();
}

void VekSimulator::setFault(const std::string& step, const VekFault& f) {
    std::lock_guard lock(mutex_);
    faults_[step] = f;
}

void VekSimulator::clearFaults() {
    std::lock_guard lock(mutex_);
    faults_.clear();
}

void VekSimulator::addRequest(const VekPendingRequest& request) {
    std::lock_guard lock(mutex_);
    pending_.push_back(request);
}

std::optional<VekFault> VekSimulator::fault(const std::string& step) {
    std::lock_guard lock(mutex_);
    auto it = faults_.find(step);
    if (it == faults_.end()) it = faults_.find("*");
    if (it == faults_.end()) return std::nullopt;
    return it->second;
}

void VekSimulator::installService() {
    httplib::SSLServer& s = *service_;
    // Every connection is a full handshake, so that each one shows the client's certificate and
    // signature; and a client offering a session must not meet the verification's missing context.
    SSL_CTX* ctx = s.ssl_context();
    static const unsigned char context[] = "vek-sim";
    SSL_CTX_set_session_id_context(ctx, context, sizeof context - 1);
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
    SSL_CTX_set_options(ctx, SSL_OP_NO_TICKET);
    SSL_CTX_set_num_tickets(ctx, 0);
    s.set_read_timeout(15, 0);
    s.set_write_timeout(15, 0);

    using Handler = std::function<void(const Caller&, const httplib::Request&, httplib::Response&)>;
    // Every operation: the log line, the delay, the holder's header against the certificate, the
    // step's faults, then the operation itself.
    auto serve = [this](const std::string& step, bool holderHeader, Handler handler) {
        return [this, step, holderHeader, handler](const httplib::Request& req, httplib::Response& res) {
            const Caller caller = callerOf(req);
            logLine(req.method + " " + req.path + " holder " + caller.commonName + " (" + caller.holder + ") [" +
                    caller.subject + "] " + caller.protocol + " client signature " + caller.signature);
            const std::optional<VekFault> f = fault(step);
            if (f && f->delayMs) std::this_thread::sleep_for(std::chrono::milliseconds(f->delayMs));
            if (holderHeader) {
                if (!req.has_header(kUserHeader))
                    return errorBody(res, 400, "BUSI-AUTHENT-1", "X-Authenticated-User manquant");
                if (req.get_header_value(kUserHeader) != caller.holder)
                    return errorBody(res, 403, "BUSI-AUTHENT-7", "Le certificat ne correspond pas à l'utilisateur");
            }
            if (f && !f->businessCode.empty()) return errorBody(res, 400, f->businessCode, "Erreur métier simulée");
            if (f && f->notJson) {
                res.status = 502;
                res.set_content("<html><body>Bad gateway</body></html>", "text/html");
                return;
            }
            if (f && f->status) return errorBody(res, f->status, "BUSI-AUTHENT-5", "Erreur simulée");
            handler(caller, req, res);
        };
    };
    auto bodyOf = [](const httplib::Request& req) { return json::parse(req.body, nullptr, false); };
    auto text = [](const json& j, const char* key) {
        return j.is_object() && j.contains(key) && j[key].is_string() ? j[key].get<std::string>() : std::string();
    };
    const std::string auth = kAuthentication;

    s.Get(auth + "/authentications/ciba/requests/pending",
          serve("pending", true, [this](const Caller& caller, const httplib::Request&, httplib::Response& res) {
              json list = json::array();
              std::lock_guard lock(mutex_);
              for (const auto& p : pending_) {
                  if (p.idNat != caller.holder) continue;
                  list.push_back({{"notificationId", p.notificationId},
                                  {"typeService", "CIBA"},
                                  {"serviceName", p.serviceName},
                                  {"serviceMessage", p.serviceMessage},
                                  {"scope", "openid"},
                                  {"modeAuth", "CARD"},
                                  {"eidaslevel", "eidas3"}});
              }
              res.set_content(list.dump(), "application/json");
          }));
    s.Get(auth + "/config/ciba/multi-factor/code/state",
          serve("codeState", false, [this](const Caller&, const httplib::Request&, httplib::Response& res) {
              std::lock_guard lock(mutex_);
              res.set_content(json{{"enabled", codeEnabled_}}.dump(), "application/json");
          }));
    s.Post(auth + "/authentications/ciba/multi-factor/code/challenges",
           serve("challenges", true,
                 [this, bodyOf, text](const Caller& caller, const httplib::Request& req, httplib::Response& res) {
                     const std::string id = text(bodyOf(req), "notificationId");
                     if (id.empty()) return errorBody(res, 400, "BUSI-AUTHENT-1", "notificationId manquant");
                     const std::optional<VekFault> f = fault("challenges");
                     std::lock_guard lock(mutex_);
                     for (auto& p : pending_) {
                         if (p.notificationId != id || p.idNat != caller.holder) continue;
                         p.codes.clear();
                         if (!(f && f->emptyCodes)) {
                             p.codes = p.chosenCodes;
                             while (p.codes.size() < 3) {
                                 std::string code = threeDigits();
                                 if (std::find(p.codes.begin(), p.codes.end(), code) == p.codes.end())
                                     p.codes.push_back(code);
                             }
                         }
                         ++challengeCount_;
                         res.set_content(json(p.codes).dump(), "application/json");
                         return;
                     }
                     errorBody(res, 404, "BUSI-AUTHENT-9", "Demande inconnue");
                 }));
    s.Post(auth + "/authentications/ciba/multi-factor/code/verify",
           serve("verify", true,
                 [this, bodyOf, text](const Caller& caller, const httplib::Request& req, httplib::Response& res) {
                     const json body = bodyOf(req);
                     const std::string id = text(body, "notificationId"), code = text(body, "code");
                     if (id.empty() || code.empty()) return errorBody(res, 400, "BUSI-AUTHENT-1", "Données manquantes");
                     std::lock_guard lock(mutex_);
                     for (auto& p : pending_) {
                         if (p.notificationId != id || p.idNat != caller.holder) continue;
                         const bool valid = !p.codes.empty() && code == p.codes.front();
                         if (valid) p.verifiedCode = code;
                         res.set_content(json{{"valid", valid}}.dump(), "application/json");
                         return;
                     }
                     errorBody(res, 404, "BUSI-AUTHENT-9", "Demande inconnue");
                 }));
    s.Post(auth + "/authentications/ciba/card/responses",
           serve("cardResponse", true,
                 [this, bodyOf, text](const Caller& caller, const httplib::Request& req, httplib::Response& res) {
                     const json body = bodyOf(req);
                     const std::string id = text(body, "notificationId"), status = text(body, "authStatus");
                     if (id.empty() || (status != "SUCCEED" && status != "UNAUTHORIZED" && status != "CANCELLED"))
                         return errorBody(res, 400, "BUSI-AUTHENT-1", "Réponse incomplète");
                     std::lock_guard lock(mutex_);
                     for (auto it = pending_.begin(); it != pending_.end(); ++it) {
                         if (it->notificationId != id || it->idNat != caller.holder) continue;
                         cardResponses_.push_back(json{
                             {"idNat", caller.holder},
                             {"notificationId", id},
                             {"authStatus", status},
                             {"code",
                              it->verifiedCode}}.dump());
                         pending_.erase(it);
                         res.status = 200;
                         return;
                     }
                     errorBody(res, 404, "BUSI-AUTHENT-9", "Demande inconnue");
                 }));
    s.Delete(std::string(kSession) + "/sessions/logoutAll",
             serve("logoutAll", true, [this](const Caller& caller, const httplib::Request&, httplib::Response& res) {
                 std::lock_guard lock(mutex_);
                 loggedOut_.push_back(caller.holder);
                 res.status = 204;
             }));
}

void VekSimulator::installAdmin() {
    httplib::Server& a = *admin_;
    a.Post("/admin/request", [this](const httplib::Request& req, httplib::Response& res) {
        const json body = json::parse(req.body, nullptr, false);
        auto text = [&](const char* key) {
            return body.is_object() && body.contains(key) && body[key].is_string() ? body[key].get<std::string>()
                                                                                   : std::string();
        };
        VekPendingRequest r{
            text("idNat"), text("notificationId"), text("serviceName"), text("serviceMessage"), {}, {}, {}};
        if (r.idNat.empty() || r.notificationId.empty()) {
            res.status = 400;
            res.set_content("idNat and notificationId are required", "text/plain");
            return;
        }
        if (body.is_object() && body.contains("codes")) {
            const json& codes = body["codes"];
            if (codes.is_array())
                for (const json& c : codes)
                    if (c.is_string()) r.chosenCodes.push_back(c.get<std::string>());
            if (!codes.is_array() || r.chosenCodes.size() != codes.size() || !validChosenCodes(r.chosenCodes)) {
                res.status = 400;
                res.set_content("codes: three distinct codes of three digits", "text/plain");
                return;
            }
        }
        addRequest(r);
        res.set_content("ok", "text/plain");
    });
    a.Post("/admin/fault", [this](const httplib::Request& req, httplib::Response& res) {
        auto parsed = parseVekFault(req.body);
        if (!parsed) {
            res.status = 400;
            res.set_content("bad fault", "text/plain");
            return;
        }
        setFault(parsed->first, parsed->second);
        res.set_content("ok", "text/plain");
    });
    a.Post("/admin/clear", [this](const httplib::Request&, httplib::Response& res) {
        clearFaults();
        std::lock_guard lock(mutex_);
        codeEnabled_ = true;
        pending_.clear();
        cardResponses_.clear();
        loggedOut_.clear();
        res.set_content("ok", "text/plain");
    });
    a.Post("/admin/clear-faults", [this](const httplib::Request&, httplib::Response& res) {
        clearFaults();
        res.set_content("ok", "text/plain");
    });
    a.Post("/admin/code-state", [this](const httplib::Request& req, httplib::Response& res) {
        std::lock_guard lock(mutex_);
        codeEnabled_ = req.body == "true";
        res.set_content("ok", "text/plain");
    });
    a.Get("/admin/received", [this](const httplib::Request&, httplib::Response& res) {
        std::lock_guard lock(mutex_);
        json out{{"cardResponses", json::array()},
                 {"loggedOut", loggedOut_},
                 {"pending", json::array()},
                 {"challenges", challengeCount_}};
        for (const auto& r : cardResponses_) out["cardResponses"].push_back(json::parse(r));
        for (const auto& p : pending_)
            out["pending"].push_back({{"idNat", p.idNat}, {"notificationId", p.notificationId}, {"codes", p.codes}});
        res.set_content(out.dump(), "application/json");
    });
}

void writeAuthorityBundle(const std::string& folder, const std::string& pemFile) {
    namespace fs = std::filesystem;
    std::string bundle;
    for (const auto& entry : fs::directory_iterator(folder)) {
        const std::string ext = entry.path().extension().string();
        if (!entry.is_regular_file() || (ext != ".cer" && ext != ".crt" && ext != ".pem")) continue;
        std::ifstream in(entry.path(), std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(in)), {});
        std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())),
                                                      &BIO_free);
        X509* cert = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr);
        if (cert == nullptr) {
            const auto* der = reinterpret_cast<const unsigned char*>(bytes.data());
            cert = d2i_X509(nullptr, &der, static_cast<long>(bytes.size()));
        }
        if (cert == nullptr) continue;
        std::unique_ptr<BIO, decltype(&BIO_free)> out(BIO_new(BIO_s_mem()), &BIO_free);
        PEM_write_bio_X509(out.get(), cert);
        X509_free(cert);
        char* data = nullptr;
        const long length = BIO_get_mem_data(out.get(), &data);
        bundle.append(data, static_cast<std::size_t>(length));
    }
    if (bundle.empty()) throw std::runtime_error("no certificate in " + folder);
    std::ofstream(pemFile, std::ios::binary | std::ios::trunc) << bundle;
}

}  // namespace qel::sim
