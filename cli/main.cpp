// qel: the support command line of the Kartello suite.
#include <iostream>
#include <string>
#include <vector>

#include "cli/qel_cli.h"
#include "common/logger.h"

int main(int argc, char** argv) {
    qel::Logger::configure("/QelSupport", "Qel");
    std::vector<std::string> arguments(argv + 1, argv + argc);
    return qel::cli::runQel(arguments, std::cout, std::cerr, QEL_VERSION);
}
