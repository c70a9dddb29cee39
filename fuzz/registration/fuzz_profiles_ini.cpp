// A profiles.ini and a pkcs11.txt that may be anything. Every profile folder given out must be an
// absolute path free of control characters, and our entry must go into any module list once and
// come out of it entirely.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "token/browser_registration.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace qel::registration;
    const std::string text(reinterpret_cast<const char*>(data), size);
    const ProfileList list = parseProfilesIni(text, "/home/u/.mozilla/firefox/profiles.ini");
    for (const std::string& profile : list.profiles) {
        if (profile.empty() || profile.front() != '/') std::abort();
        for (char c : profile)
            if (static_cast<unsigned char>(c) < 0x20) std::abort();
    }
    Change change = Change::Failed;
    const std::string library = "/usr/lib/pkcs11/libsigilla-pkcs11.so";
    const std::string with = withModule(text, library, change);
    Change again = Change::Failed;
    if (withModule(with, library, again) != with || again != Change::Unchanged) std::abort();
    Change removed = Change::Failed;
    const std::string without = withoutModule(with, removed);
    if (removed != Change::Removed) std::abort();
    Change left = Change::Failed;
    withoutModule(without, left);
    if (left != Change::Absent) std::abort();
    return 0;
}
