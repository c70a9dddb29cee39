// sigilla-cache: clears the card file cache of one card or of every card, for support and for
// Kartello's update (a card whose contents changed is read anew).
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include "card/card_cache.h"

namespace {

int usage() {
    std::fprintf(stderr,
                 "usage: sigilla-cache clear [CARD-SERIAL]\n"
                 "  clears the cached card files of the card with that serial (hexadecimal, as in the\n"
                 "  token's label), or of every card when no serial is given\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3 || std::strcmp(argv[1], "clear") != 0) return usage();
    try {
        if (argc == 3) {
            const int removed = qel::cardcache::clearCard(argv[2]);
            std::printf(removed ? "cache of card %s cleared\n" : "no cache for card %s\n", argv[2]);
        } else {
            const int removed = qel::cardcache::clearAll();
            std::printf("cache cleared (%d card%s)\n", removed, removed == 1 ? "" : "s");
        }
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "sigilla-cache: %s\n", e.what());
        return 1;
    }
}
