// tqhsm-service: the HSM service "TQHSMService" of a client. Scans that run on
// other machines for this client's files attach to it over TLS and send, at
// their end, the volumes that hold data to migrate; the service puts each on
// this machine's HSM watch list with the same steps a local scan takes.
//
// Runs in the foreground (for systemd); SIGTERM or SIGINT stops it cleanly.

#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "CommandLine.h"
#include "Config.h"
#include "EvEvent.h"
#include "HSMService.h"
#include "ServiceSettings.h"

namespace {

const char* const kTag = "TQHSMService";

const char* const kDescription = R"(tqhsm-service: the HSM service TQHSMService of this machine.

Scans that run elsewhere for this machine's files (tqhsm-scan --remote-client-id)
attach to it over TLS 1.3, both ends showing certificates of one CA, and ask it to
put volumes on this machine's HSM watch list. It accepts only directories under
its allowed roots, reached without a symbolic link.

Configuration (INI, --config or $TQHSM_CONFIG), section [HSMService]:
  ListenAddress, Port, Certificate, PrivateKey, CAFile, AllowedPeers,
  AllowedRoots, StateDirectory, MaxConnections, HandshakeTimeout,
  RequestTimeout, IdleTimeout (see the README, "Remote scans").

Exit status: 0 stopped by SIGTERM or SIGINT (or --check-config found no problem);
1 the configuration has a problem or the service cannot start; 2 bad usage.)";

}  // namespace

int main(int argc, char** argv) {
  CLI::App app(kDescription, "tqhsm-service");
  std::string configPath, logPath;
  bool checkOnly = false;
  bool foreground = false;
  app.add_option("--config", configPath, "Configuration file (default: $TQHSM_CONFIG)");
  app.add_option("--log", logPath, "Log file (default: $TQHSM_LOG, else standard error)");
  app.add_flag("--check-config", checkOnly,
               "Check the configuration and the files and directories it names, say what is "
               "wrong, and exit");
  app.add_flag("--foreground", foreground, "Run in the foreground (the default, for systemd)");
  int exitCode = 0;
  if (!tqhsm::tools::ParseCommandLine(app, argc, argv, exitCode)) return exitCode;
  (void)foreground;

  if (!logPath.empty()) setenv("TQHSM_LOG", logPath.c_str(), 1);
  std::unique_ptr<tqhsm::IniConfig> file;
  std::unique_ptr<tqhsm::ScopedBackend<tqhsm::ConfigSource>> fileScope;
  if (!configPath.empty()) {
    file = tqhsm::IniConfig::FromFile(configPath);
    fileScope.reset(new tqhsm::ScopedBackend<tqhsm::ConfigSource>(file.get()));
  }
  const tqhsm::ConfigSource& config = tqhsm::ConfigSource::Current();

  tqhsm::service::ServiceSettings settings;
  std::vector<std::string> problems, warnings;
  tqhsm::service::LoadServiceSettings(config, settings, problems);
  if (problems.empty()) tqhsm::service::CheckServiceSettings(settings, problems, warnings);
  for (const std::string& w : warnings)
    std::fprintf(stderr, "tqhsm-service: warning: %s\n", w.c_str());
  for (const std::string& p : problems) std::fprintf(stderr, "tqhsm-service: %s\n", p.c_str());

  if (checkOnly) {
    if (!problems.empty()) return 1;
    std::printf("tqhsm-service: the configuration is good\n");
    std::printf("  listen:          %s port %d\n", settings.m_sListenAddress.c_str(),
                settings.m_nPort);
    std::printf("  certificate:     %s\n", settings.m_identity.m_sCertificate.c_str());
    std::printf("  private key:     %s\n", settings.m_identity.m_sPrivateKey.c_str());
    std::printf("  CA:              %s\n", settings.m_identity.m_sCAFile.c_str());
    std::printf("  allowed peers:   %s\n",
                settings.m_vecAllowedPeers.empty()
                    ? "any certificate of that CA"
                    : tqhsm::service::JoinList(settings.m_vecAllowedPeers).c_str());
    std::printf("  allowed roots:   %s\n",
                tqhsm::service::JoinList(settings.m_vecAllowedRoots).c_str());
    std::printf("  state directory: %s\n", settings.m_sStateDirectory.c_str());
    std::printf("  sessions:        at most %d; handshake %d s, request %d s, idle %d s\n",
                settings.m_nMaxConnections, settings.m_nHandshakeTimeout,
                settings.m_nRequestTimeout, settings.m_nIdleTimeout);
    return 0;
  }

  EvDebug log;
  if (!problems.empty()) {
    for (const std::string& p : problems) log.Error(kTag, "%s", p.c_str());
    log.Error(kTag, "Not started: the configuration has %zu problem(s).", problems.size());
    return 1;
  }
  for (const std::string& w : warnings) log.DebugLvl(kTag, -1, "Warning: %s", w.c_str());

  // The watch list of this process is the service's.
  tqhsm::service::StateDirectoryConfig serviceConfig(config, settings.m_sStateDirectory);
  tqhsm::ScopedBackend<tqhsm::ConfigSource> serviceScope(&serviceConfig);

  // Signals are taken by this thread alone; every thread started from here on
  // inherits the blocked set.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  tqhsm::service::HSMService service(settings);
  std::string error;
  if (!service.Start(error)) {
    std::fprintf(stderr, "tqhsm-service: cannot start: %s\n", error.c_str());
    log.Error(kTag, "Cannot start: %s", error.c_str());
    return 1;
  }
  std::printf("tqhsm-service: listening on %s port %d\n", settings.m_sListenAddress.c_str(),
              service.port());
  std::fflush(stdout);

  while (true) {
    int sig = 0;
    if (sigwait(&stopSignals, &sig) != 0) continue;
    if (sig == SIGHUP) {
      log.DebugLvl(kTag, 0,
                   "SIGHUP: the configuration is read at start only; restart "
                   "tqhsm-service to apply a change.");
      continue;
    }
    log.DebugLvl(kTag, 0, "%s received: stopping.", sig == SIGTERM ? "SIGTERM" : "SIGINT");
    break;
  }
  service.Stop();
  return 0;
}
