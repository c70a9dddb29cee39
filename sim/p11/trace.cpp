#include "sim/p11/trace.h"

#include <sys/time.h>
#include <unistd.h>

#include <ctime>
#include <sstream>

#include "common/format.h"
#include "common/user_dirs.h"

namespace qel::simp11 {

namespace {

std::string trim(const std::string& s) {
    std::size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return {};
    std::size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

std::string unquote(std::string s) {
    if (s.size() >= 2 && s.front() == '"' && s.back() == '"') return s.substr(1, s.size() - 2);
    return s;
}

}  // namespace

bool traceSwitchOn(const std::string& text) {
    // Traces { active = true; debug = 10; } with any line breaks.
    std::size_t section = text.find("Traces");
    if (section == std::string::npos) return false;
    std::size_t open = text.find('{', section);
    if (open == std::string::npos) return false;
    std::size_t close = text.find('}', open);
    std::string body = text.substr(open + 1, close == std::string::npos ? std::string::npos : close - open - 1);
    std::string active, debug = "0";
    std::stringstream entries(body);
    std::string entry;
    while (std::getline(entries, entry, ';')) {
        std::size_t eq = entry.find('=');
        if (eq == std::string::npos) continue;
        std::string key = trim(entry.substr(0, eq));
        std::string value = unquote(trim(entry.substr(eq + 1)));
        if (key == "active")
            active = value;
        else if (key == "debug")
            debug = value;
    }
    return active.find("true") != std::string::npos || debug != "0";
}

std::string traceConfigPath() { return qel::userdirs::configHome() + "/oberlane/QEL/qel3_pkcs11.conf"; }

std::string traceFilePath() { return qel::userdirs::stateHome() + "/kartello/Logs/qel3_pkcs11-trace.log"; }

void Trace::configure() {
    std::lock_guard lock(mutex_);
    enabled_ = false;
    // Without a home there is no private place for the trace.
    if (qel::userdirs::configHome().empty() || qel::userdirs::stateHome().empty()) return;
    std::ifstream in(traceConfigPath());
    if (!in) return;
    std::stringstream text;
    text << in.rdbuf();
    if (!traceSwitchOn(text.str())) return;
    std::string path = traceFilePath();
    qel::userdirs::makeDirs(path.substr(0, path.rfind('/')));
    out_.open(path, std::ios::app);
    enabled_ = out_.is_open();
}

void Trace::close() {
    std::lock_guard lock(mutex_);
    enabled_ = false;
    if (out_.is_open()) out_.close();
}

void Trace::write(const char* function, const std::string& arguments, CK_RV rv) {
    try {
        std::lock_guard lock(mutex_);
        if (!enabled_) return;
        timeval tv{};
        gettimeofday(&tv, nullptr);
        tm local{};
        localtime_r(&tv.tv_sec, &local);
        char stamp[32];
        std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
        out_ << stamp << qel::format(".%03ld [%d] ", static_cast<long>(tv.tv_usec / 1000), static_cast<int>(getpid()))
             << function << "(" << arguments << ") = " << rvName(rv) << "\n";
        out_.flush();
    } catch (...) {
        // A trace that cannot be written must not change the call's outcome.
    }
}

std::string rvName(CK_RV rv) {
    struct Name {
        CK_RV rv;
        const char* name;
    };
#define QEL_RV(x) \
    { x, #x }
    static const Name kNames[] = {
        QEL_RV(CKR_OK),
        QEL_RV(CKR_CANCEL),
        QEL_RV(CKR_HOST_MEMORY),
        QEL_RV(CKR_SLOT_ID_INVALID),
        QEL_RV(CKR_GENERAL_ERROR),
        QEL_RV(CKR_FUNCTION_FAILED),
        QEL_RV(CKR_ARGUMENTS_BAD),
        QEL_RV(CKR_NO_EVENT),
        QEL_RV(CKR_NEED_TO_CREATE_THREADS),
        QEL_RV(CKR_CANT_LOCK),
        QEL_RV(CKR_ATTRIBUTE_READ_ONLY),
        QEL_RV(CKR_ATTRIBUTE_SENSITIVE),
        QEL_RV(CKR_ATTRIBUTE_TYPE_INVALID),
        QEL_RV(CKR_ATTRIBUTE_VALUE_INVALID),
        QEL_RV(CKR_DATA_INVALID),
        QEL_RV(CKR_DATA_LEN_RANGE),
        QEL_RV(CKR_DEVICE_ERROR),
        QEL_RV(CKR_DEVICE_MEMORY),
        QEL_RV(CKR_DEVICE_REMOVED),
        QEL_RV(CKR_FUNCTION_CANCELED),
        QEL_RV(CKR_FUNCTION_NOT_PARALLEL),
        QEL_RV(CKR_FUNCTION_NOT_SUPPORTED),
        QEL_RV(CKR_KEY_HANDLE_INVALID),
        QEL_RV(CKR_KEY_TYPE_INCONSISTENT),
        QEL_RV(CKR_KEY_FUNCTION_NOT_PERMITTED),
        QEL_RV(CKR_MECHANISM_INVALID),
        QEL_RV(CKR_MECHANISM_PARAM_INVALID),
        QEL_RV(CKR_OBJECT_HANDLE_INVALID),
        QEL_RV(CKR_OPERATION_ACTIVE),
        QEL_RV(CKR_OPERATION_NOT_INITIALIZED),
        QEL_RV(CKR_PIN_INCORRECT),
        QEL_RV(CKR_PIN_INVALID),
        QEL_RV(CKR_PIN_LEN_RANGE),
        QEL_RV(CKR_PIN_EXPIRED),
        QEL_RV(CKR_PIN_LOCKED),
        QEL_RV(CKR_SESSION_CLOSED),
        QEL_RV(CKR_SESSION_COUNT),
        QEL_RV(CKR_SESSION_HANDLE_INVALID),
        QEL_RV(CKR_SESSION_PARALLEL_NOT_SUPPORTED),
        QEL_RV(CKR_SESSION_READ_ONLY),
        QEL_RV(CKR_SESSION_EXISTS),
        QEL_RV(CKR_SESSION_READ_ONLY_EXISTS),
        QEL_RV(CKR_SESSION_READ_WRITE_SO_EXISTS),
        QEL_RV(CKR_SIGNATURE_INVALID),
        QEL_RV(CKR_SIGNATURE_LEN_RANGE),
        QEL_RV(CKR_TEMPLATE_INCOMPLETE),
        QEL_RV(CKR_TEMPLATE_INCONSISTENT),
        QEL_RV(CKR_TOKEN_NOT_PRESENT),
        QEL_RV(CKR_TOKEN_NOT_RECOGNIZED),
        QEL_RV(CKR_TOKEN_WRITE_PROTECTED),
        QEL_RV(CKR_USER_ALREADY_LOGGED_IN),
        QEL_RV(CKR_USER_NOT_LOGGED_IN),
        QEL_RV(CKR_USER_PIN_NOT_INITIALIZED),
        QEL_RV(CKR_USER_TYPE_INVALID),
        QEL_RV(CKR_USER_ANOTHER_ALREADY_LOGGED_IN),
        QEL_RV(CKR_USER_TOO_MANY_TYPES),
        QEL_RV(CKR_RANDOM_SEED_NOT_SUPPORTED),
        QEL_RV(CKR_RANDOM_NO_RNG),
        QEL_RV(CKR_BUFFER_TOO_SMALL),
        QEL_RV(CKR_INFORMATION_SENSITIVE),
        QEL_RV(CKR_CRYPTOKI_NOT_INITIALIZED),
        QEL_RV(CKR_CRYPTOKI_ALREADY_INITIALIZED),
        QEL_RV(CKR_MUTEX_BAD),
        QEL_RV(CKR_MUTEX_NOT_LOCKED),
        QEL_RV(CKR_FUNCTION_REJECTED),
    };
#undef QEL_RV
    for (const Name& n : kNames)
        if (n.rv == rv) return n.name;
    return qel::format("0x%08lX", static_cast<unsigned long>(rv));
}

}  // namespace qel::simp11
