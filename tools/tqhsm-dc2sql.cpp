// tqhsm-dc2sql: converts data-classification rules into SQL queries.
//
//   tqhsm-dc2sql "find files where lastAccessedDays < 30;"
//   tqhsm-dc2sql < rules.txt          (one rule per line)
//
// For each rule it prints three lines: the query, and the high and low
// free-space percentages the rule sets. Exit status: 0 when every conversion
// succeeded, 1 when one did not, 2 for a usage error.

#include <CLI/CLI.hpp>

#include <climits>
#include <iostream>
#include <string>
#include <vector>

#include "CommandLine.h"
#include "TQDCClient.h"

namespace {

// A query never grows past this: each token yields at most its text and a
// blank, or an id of at most eleven characters, and an age term at most some
// thirty characters for a keyword of at least twelve.
size_t QueryRoom(const std::string& rule) { return 4096 + 16 * rule.size(); }

// Converts one rule and prints it; returns the conversion's result (1 or 0).
int ConvertAndPrint(const std::string& rule) {
  if (rule.find('\0') != std::string::npos) {
    std::cerr << "tqhsm-dc2sql: a rule holds a NUL byte and was not converted\n";
    return 0;
  }
  const size_t room = QueryRoom(rule);
  if (rule.size() > (INT_MAX - 4096) / 16) {
    std::cerr << "tqhsm-dc2sql: a rule of " << rule.size() << " bytes is too long to convert\n";
    return 0;
  }
  std::vector<char> query(room, '\0');
  unsigned int highFree = 0;
  unsigned int lowFree = 0;
  int result = convert_dc_to_sql(rule.c_str(), query.data(), static_cast<int>(room), &highFree,
                                 &lowFree);
  std::cout << "query: " << query.data() << "\n"
            << "high free space: " << highFree << "\n"
            << "low free space: " << lowFree << "\n";
  return result;
}

bool IsBlank(const std::string& line) {
  return line.find_first_not_of(" \t") == std::string::npos;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "Converts data-classification rules into SQL queries and prints each query with the "
      "high and low free-space percentages that the rule sets. Without a rule argument, "
      "reads one rule per line from standard input. A rule that begins with '-' (such as "
      "-no_convert-...) goes after '--'."};
  app.name("tqhsm-dc2sql");
  std::string rule;
  CLI::Option* ruleOption =
      app.add_option("rule", rule, "the rule, e.g. \"find files where modifiedDays > 7;\"");
  int exitCode = 0;
  if (!tqhsm::tools::ParseCommandLine(app, argc, argv, exitCode)) return exitCode;

  if (ruleOption->count() > 0) return ConvertAndPrint(rule) == 1 ? 0 : 1;

  bool allConverted = true;
  bool anyRule = false;
  std::string line;
  while (std::getline(std::cin, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (IsBlank(line)) continue;
    anyRule = true;
    if (ConvertAndPrint(line) != 1) allConverted = false;
  }
  if (std::cin.bad()) {
    std::cerr << "tqhsm-dc2sql: reading standard input failed\n";
    return 1;
  }
  if (!anyRule) {
    std::cerr << "tqhsm-dc2sql: no rule given (as an argument or on standard input)\n"
              << app.help();
    return 2;
  }
  return allConverted ? 0 : 1;
}
