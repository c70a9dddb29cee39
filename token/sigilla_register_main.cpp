// sigilla-register: makes the card usable in the user's browsers by registering Sigilla in their
// NSS databases, or takes it out with --remove.
#include <iostream>
#include <string>
#include <vector>

#include "token/browser_registration.h"

int main(int argc, char** argv) {
    return qel::registration::registerCommand(std::vector<std::string>(argv + 1, argv + argc), std::cout, std::cerr);
}
