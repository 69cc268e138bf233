#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

// The project's version, handed in by the build.
#ifndef TQHSM_VERSION
#error "TQHSM_VERSION is not defined: the build passes the project version to every tool"
#endif

namespace tqhsm::tools {

namespace detail {

// The tool's name for messages written after main has returned; a plain array,
// so that no destructor of its own can run before the check that reads it.
inline char* ToolName() {
  static char name[64] = "tqhsm";
  return name;
}

// The buffer of std::cout in the tools: hands everything on to stdout, so that
// std::cout and printf stay in order, and keeps the reason of the first write
// that failed (stdio forgets it; an std::endl flush fails long before the end).
class CheckedStdoutBuf : public std::streambuf {
 public:
  int error() const { return m_nError; }

 protected:
  int_type overflow(int_type c) override {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    if (std::fputc(traits_type::to_char_type(c), stdout) == EOF) {
      note();
      return traits_type::eof();
    }
    return c;
  }
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    size_t done = std::fwrite(s, 1, static_cast<size_t>(n), stdout);
    if (done != static_cast<size_t>(n)) note();
    return static_cast<std::streamsize>(done);
  }
  int sync() override {
    if (std::fflush(stdout) == 0) return 0;
    note();
    return -1;
  }

 private:
  void note() {
    if (m_nError == 0) m_nError = errno != 0 ? errno : EIO;
  }
  int m_nError = 0;
};

// Never destroyed: std::cout is flushed once more after every destructor of
// the program has run.
inline CheckedStdoutBuf* StdoutBuf() {
  static CheckedStdoutBuf* buf = new CheckedStdoutBuf();
  return buf;
}

// Runs when the program ends (exit or a return from main): whatever the tool
// printed must have reached its standard output. A write that failed, in
// between or in the final flush, or an error that surfaces only when the
// descriptor is closed (NFS, for instance), is reported, and a successful
// status becomes 1; a status that already says failure is kept.
inline void CheckStandardOutput(int status, void*) {
  std::cout.flush();
  int err = StdoutBuf()->error();
  if (std::fflush(stdout) != 0 && err == 0) err = errno;
  bool failed = err != 0 || std::cout.bad() || std::ferror(stdout);
  if (!failed) {
    int fd = ::dup(STDOUT_FILENO);
    if (fd >= 0 && ::close(fd) != 0 && errno != EINTR) {
      failed = true;
      err = errno;
    }
  }
  if (!failed) return;
  std::fprintf(stderr, "%s: cannot write standard output%s%s\n", ToolName(), err ? ": " : "",
               err ? std::strerror(err) : "");
  ::_exit(status != 0 ? status : 1);
}

}  // namespace detail

// Parses the command line the same way for every tool: --help prints and ends
// the program with 0, --version prints "<tool> <version>" and ends it with 0,
// a usage error prints its message and ends it with 2. From here on the
// program's standard output is checked when it ends (see CheckStandardOutput).
// Returns true when the program goes on; otherwise exitCode holds its status.
inline bool ParseCommandLine(CLI::App& app, int argc, char** argv, int& exitCode) {
  if (app.get_name().empty() && argc > 0 && argv[0]) {
    const char* slash = std::strrchr(argv[0], '/');
    app.name(slash ? slash + 1 : argv[0]);
  }
  std::snprintf(detail::ToolName(), 64, "%s", app.get_name().c_str());
  static bool checking = false;
  if (!checking) {
    std::cout.flush();
    std::cout.rdbuf(detail::StdoutBuf());
    checking = ::on_exit(&detail::CheckStandardOutput, nullptr) == 0;
  }
  app.set_version_flag("--version", app.get_name() + " " + TQHSM_VERSION,
                       "Print the tool's name and version and exit");
  try {
    app.parse(argc, argv);
    return true;
  } catch (const CLI::ParseError& e) {
    exitCode = app.exit(e) == 0 ? 0 : 2;
    return false;
  }
}

}  // namespace tqhsm::tools
