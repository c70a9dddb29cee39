#pragma once
#include <iosfwd>
#include <string>
#include <vector>

namespace qel::cli {

/// The help text of `qel --help`: commands, options and exit statuses.
std::string helpText();

/// Runs the command line `arguments` (without the program name): human output on `out`, messages
/// on `err`, or one JSON document on `out` with `--json`. Returns the exit status (exit_codes.h).
/// Never throws.
int runQel(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err, const std::string& version);

}  // namespace qel::cli
