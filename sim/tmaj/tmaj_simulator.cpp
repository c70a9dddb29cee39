#include "sim/tmaj/tmaj_simulator.h"

#include <httplib.h>
#include <openssl/rand.h>

#include <algorithm>
#include <chrono>
#include <nlohmann/json.hpp>

#include "common/hex.h"

namespace qel::sim {

namespace {

constexpr const char* kCookieName = "TMAJSESSION";
constexpr const char* kRoot = "/telemaj/rest/swtmaj";

std::string cookieValue(const httplib::Request& request) {
    const std::string header = request.get_header_value("Cookie");
    const std::string key = std::string(kCookieName) + "=";
    std::size_t at = header.find(key);
    if (at == std::string::npos) return {};
    at += key.size();
    return header.substr(at, header.find(';', at) == std::string::npos ? std::string::npos : header.find(';', at) - at);
}

}  // namespace

std::optional<std::pair<std::string, TmajFault>> parseTmajFault(const std::string& text) {
    const std::size_t colon = text.find(':');
    if (colon == std::string::npos || colon == 0) return std::nullopt;
    const std::string step = text.substr(0, colon);
    std::string kind = text.substr(colon + 1), value;
    if (const std::size_t eq = kind.find('='); eq != std::string::npos) {
        value = kind.substr(eq + 1);
        kind = kind.substr(0, eq);
    }
    TmajFault f;
    try {
        if (kind == "status")
            f.status = std::stoi(value);
        else if (kind == "delay")
            f.delayMs = std::stoi(value);
        else if (kind == "mime")
            f.wrongMime = true;
        else if (kind == "malformed")
            f.malformed = true;
        else if (kind == "no-resp-type")
            f.missingRespType = true;
        else if (kind == "end-inside")
            f.endInside = true;
        else if (kind == "oversize")
            f.oversize = true;
        else if (kind == "commands")
            f.commands = std::stoi(value);
        else if (kind == "long-command")
            f.longCommand = true;
        else if (kind == "endless")
            f.endless = true;
        else
            return std::nullopt;
    } catch (const std::exception&) {
        return std::nullopt;
    }
    return std::make_pair(step, f);
}

TmajSimulator::TmajSimulator(std::vector<SimCard> cards, const TmajCredentials& credentials, std::string authorityDir)
    : scripts_(std::move(cards), std::move(authorityDir)),
      server_(std::make_unique<httplib::SSLServer>(credentials.certificate.c_str(), credentials.privateKey.c_str())),
      serving_(*server_) {
    install();
}

TmajSimulator::~TmajSimulator() { stop(); }

void TmajSimulator::setFault(const std::string& step, const TmajFault& f) {
    std::lock_guard lock(mutex_);
    faults_[step] = f;
}

void TmajSimulator::clearFaults() {
    std::lock_guard lock(mutex_);
    faults_.clear();
}

std::optional<TmajFault> TmajSimulator::fault(const std::string& step) {
    std::lock_guard lock(mutex_);
    auto it = faults_.find(step);
    if (it == faults_.end()) return std::nullopt;
    return it->second;
}

void TmajSimulator::install() {
    httplib::SSLServer& s = *server_;
    s.set_read_timeout(15, 0);
    s.set_write_timeout(15, 0);

    s.Post("/sc/check", [this](const httplib::Request& req, httplib::Response& res) {
        std::optional<TmajFault> f = fault("check");
        if (f && f->delayMs) std::this_thread::sleep_for(std::chrono::milliseconds(f->delayMs));
        if (f && f->status) {
            res.status = f->status;
            return;
        }
        nlohmann::json body = nlohmann::json::parse(req.body, nullptr, false);
        if (!body.is_object() || !body.contains("cardId") || !body["cardId"].is_string()) {
            res.status = 400;
            return;
        }
        const std::string serial = body["cardId"].get<std::string>();
        switch (scripts_.check(serial)) {
            case TmajScripts::Availability::unknownCard:
                res.status = 404;
                res.set_content("Carte inconnue", "text/plain; charset=utf-8");
                return;
            case TmajScripts::Availability::upToDate:
                res.set_content("Votre QEL est à jour.", "text/plain; charset=utf-8");
                return;
            case TmajScripts::Availability::updateAvailable: {
                unsigned char random[16];
                RAND_bytes(random, sizeof random);
                const std::string value = toHex(random, sizeof random);
                {
                    std::lock_guard lock(mutex_);
                    cookies_[value] = serial;
                }
                res.set_header("Set-Cookie", std::string(kCookieName) + "=" + value + "; Path=/; Secure; HttpOnly");
                res.set_content("Une mise à jour est disponible pour votre QEL.", "text/plain; charset=utf-8");
                return;
            }
        }
    });

    // Every session step: the cookie of a check for that card, the step's faults, then the script.
    auto serve = [this](const char* step, const httplib::Request& req, httplib::Response& res,
                        const std::string& cardIdentifier, const std::function<TmajScripts::Reply()>& script) {
        std::optional<TmajFault> f = fault(step);
        if (f && f->delayMs) std::this_thread::sleep_for(std::chrono::milliseconds(f->delayMs));
        const std::optional<std::string> serial = scripts_.tokenSerialOf(cardIdentifier);
        {
            std::lock_guard lock(mutex_);
            auto it = cookies_.find(cookieValue(req));
            if (!serial || it == cookies_.end() || it->second != *serial) {
                res.status = 403;
                res.set_content("Session inconnue", "text/plain; charset=utf-8");
                return;
            }
        }
        if (f && f->status) {
            res.status = f->status;
            res.set_content("[]", "application/json");
            return;
        }
        // An endless step answers whatever the card said, without the script's checks.
        TmajScripts::Reply reply = f && f->endless ? TmajScripts::Reply{} : script();
        if (reply.status != 200) {
            res.status = reply.status;
            res.set_content(reply.body, "text/plain; charset=utf-8");
            return;
        }
        std::string body = reply.body;
        if (f && f->endInside)
            body = R"([{"apdu":"ENDQELMAJ","apduRespType":"1"},{"apdu":"00B0000001","apduRespType":"1"}])";
        if (f && f->missingRespType) body = R"([{"apdu":"00A4000C023F00"}])";
        if (f && f->malformed) body = R"([{"apdu":"00A4000C023F00","apduRespType":)";
        if (f && (f->commands > 0 || f->endless)) {
            nlohmann::json list = nlohmann::json::array();
            for (int i = 0; i < std::max(f->commands, 1); ++i)
                list.push_back({{"apdu", "00A4000C023F00"}, {"apduRespType", "1"}});
            body = list.dump();
        }
        if (f && f->longCommand) {
            // A short command (no zero byte after the header) of 300 bytes.
            body = R"([{"apdu":"00D60000FF)" + std::string(2 * 295, 'A') + R"(","apduRespType":"1"}])";
        }
        if (f && f->oversize) {
            body = R"([{"apdu":"00A4000C023F00","apduRespType":"1","response":")" + std::string(1100 * 1024, 'A') +
                   R"("}])";
        }
        res.set_content(body, f && f->wrongMime ? "text/html" : "application/json");
    };
    auto cardnumOf = [](const std::string& body) {
        nlohmann::json j = nlohmann::json::parse(body, nullptr, false);
        return j.is_object() && j.contains("cardnum") && j["cardnum"].is_string() ? j["cardnum"].get<std::string>()
                                                                                  : std::string();
    };

    const std::string root = kRoot;
    s.Get(root + R"(/initIasMajBean/([^/]+))", [this, serve](const httplib::Request& req, httplib::Response& res) {
        const std::string id = req.matches[1];
        serve("initIasMajBean", req, res, id, [&] { return scripts_.initIasMajBean(id); });
    });
    s.Post(root + "/EstablishSM", [this, serve, cardnumOf](const httplib::Request& req, httplib::Response& res) {
        serve("EstablishSM", req, res, cardnumOf(req.body), [&] { return scripts_.establishSM(req.body); });
    });
    s.Get(root + R"(/IASMAJ/([^/]+)/([^/]+))", [this, serve](const httplib::Request& req, httplib::Response& res) {
        const std::string answer = req.matches[1], id = req.matches[2];
        serve("IASMAJ", req, res, id, [&] { return scripts_.iasMaj(answer, id); });
    });
    s.Get(root + R"(/initQelMajBean/([^/]+))", [this, serve](const httplib::Request& req, httplib::Response& res) {
        const std::string id = req.matches[1];
        serve("initQelMajBean", req, res, id, [&] { return scripts_.initQelMajBean(id); });
    });
    s.Post(root + "/QELMAJSequence1", [this, serve, cardnumOf](const httplib::Request& req, httplib::Response& res) {
        serve("QELMAJSequence1", req, res, cardnumOf(req.body), [&] { return scripts_.sequence1(req.body); });
    });
    s.Post(root + "/QELMAJSequence2", [this, serve, cardnumOf](const httplib::Request& req, httplib::Response& res) {
        serve("QELMAJSequence2", req, res, cardnumOf(req.body), [&] { return scripts_.sequence2(req.body); });
    });

    s.Post("/admin/fault", [this](const httplib::Request& req, httplib::Response& res) {
        auto parsed = parseTmajFault(req.body);
        if (!parsed) {
            res.status = 400;
            return;
        }
        setFault(parsed->first, parsed->second);
        res.set_content("ok", "text/plain");
    });
    s.Post("/admin/card", [this](const httplib::Request& req, httplib::Response& res) {
        try {
            scripts_.addCard({loadProfile(req.body), req.body});
            res.set_content("ok", "text/plain");
        } catch (const std::exception& e) {
            res.status = 400;
            res.set_content(e.what(), "text/plain");
        }
    });
    s.Post("/admin/clear", [this](const httplib::Request&, httplib::Response& res) {
        clearFaults();
        res.set_content("ok", "text/plain");
    });
}

int TmajSimulator::start(int port) { return serving_.start(port); }

void TmajSimulator::stop() { serving_.stop(); }

}  // namespace qel::sim
