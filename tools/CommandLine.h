#pragma once

#include <CLI/CLI.hpp>

namespace tqhsm::tools {

// Parses the command line the same way for every tool: --help prints and ends
// the program with 0, a usage error prints its message and ends it with 2.
// Returns true when the program goes on; otherwise exitCode holds its status.
inline bool ParseCommandLine(CLI::App& app, int argc, char** argv, int& exitCode) {
  try {
    app.parse(argc, argv);
    return true;
  } catch (const CLI::ParseError& e) {
    exitCode = app.exit(e) == 0 ? 0 : 2;
    return false;
  }
}

}  // namespace tqhsm::tools
