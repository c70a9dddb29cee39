#pragma once

namespace qel {

/// Web pages the link buttons open.
namespace links {
inline constexpr const char* portalProduction = "https://portail.e-qel.oberlane.org/";
inline constexpr const char* portalTest = "https://portail.test.e-qel.oberlane.org/";
inline constexpr const char* diagQEL = "https://diag.e-qel.oberlane.org/";
inline constexpr const char* testSsl = "https://tls-test.e-qel.oberlane.org/";
/// The issuer's support contact form, for every "contact support" entry.
inline constexpr const char* contactSupport = "https://www.e-qel.oberlane.org/form/contact";
}  // namespace links

}  // namespace qel
