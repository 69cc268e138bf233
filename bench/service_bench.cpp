// The HSM service on loopback: watch requests per second over one connection
// and with 8 clients at once (each on its own connection), with the service's
// real watch steps and with the steps left out (the transport alone), and the
// time of one attach, TLS 1.3 handshake included.
//
//   build/bench/service_bench [--benchmark_repetitions=5 ...]
//
// Certificates are made at start with scripts/make-certs.sh (the openssl
// command); the service runs in this process on 127.0.0.1 with a state
// directory of its own, and logs as it would by default (to /dev/null here).

#include <benchmark/benchmark.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cstdio>
#include <memory>
#include <string>

#include "Config.h"
#include "EvEvent.h"
#include "HSMService.h"
#include "ObSession.h"
#include "TQHSMHelper.h"

namespace {

using tqhsm::service::HSMService;

struct Setup {
  std::string m_sDir;
  std::string m_sVolume;
  std::unique_ptr<tqhsm::IniConfig> m_config;
  std::unique_ptr<HSMService> m_real;
  std::unique_ptr<HSMService> m_bare;  // the watch steps left out
};
Setup g;

std::string sourceDir() {
  std::string here = __FILE__;  // .../bench/service_bench.cpp
  for (int i = 0; i < 2; ++i) here = here.substr(0, here.rfind('/'));
  return here;
}

bool run(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

bool setUp(std::string& error) {
  char tmpl[] = "/tmp/tqhsm-service-bench.XXXXXX";
  if (!mkdtemp(tmpl)) return false;
  char real[PATH_MAX];
  g.m_sDir = realpath(tmpl, real) ? real : tmpl;
  const std::string certs = "bash '" + sourceDir() + "/scripts/make-certs.sh' '" + g.m_sDir + "'";
  if (!run(certs + " ca") || !run(certs + " issue localhost DNS:localhost IP:127.0.0.1") ||
      !run(certs + " issue scanner1")) {
    error = "cannot make certificates (is the openssl command there?)";
    return false;
  }
  g.m_sVolume = g.m_sDir + "/root/vol";
  mkdir((g.m_sDir + "/root").c_str(), 0755);
  mkdir(g.m_sVolume.c_str(), 0755);

  tqhsm::service::ServiceSettings s;
  s.m_sListenAddress = "127.0.0.1";
  s.m_nPort = 0;
  s.m_identity = {g.m_sDir + "/localhost.crt", g.m_sDir + "/localhost.key", g.m_sDir + "/ca.crt"};
  s.m_vecAllowedRoots = {g.m_sDir + "/root"};
  s.m_sStateDirectory = g.m_sDir + "/state";
  s.m_nMaxConnections = 64;
  g.m_real.reset(new HSMService(s));
  g.m_bare.reset(new HSMService(s));
  g.m_bare->setWatchFunction([](const std::string&, const std::string&) { return std::string(); });
  if (!g.m_real->Start(error) || !g.m_bare->Start(error)) return false;

  g.m_config = tqhsm::IniConfig::FromString("[HSM]\nStateDirectory = " + g.m_sDir +
                                            "/state\n[Client]\nName = bench-host\n[TLS]\n"
                                            "Certificate = " +
                                            g.m_sDir + "/scanner1.crt\nPrivateKey = " + g.m_sDir +
                                            "/scanner1.key\nCAFile = " + g.m_sDir + "/ca.crt\n");
  tqhsm::ConfigSource::Install(g.m_config.get());
  return true;
}

std::unique_ptr<CObNetwork> attach(int port, benchmark::State& state) {
  std::unique_ptr<CObNetwork> session(new CObNetwork());
  session->setServicePort(port);
  bool flag = false;
  CZoError e = session->Attach_RemoteService("localhost", "TQHSMService", "bench", 30, flag);
  if (e.IsError()) {
    state.SkipWithError(e.AsString().c_str());
    return nullptr;
  }
  return session;
}

// What a scan does for each deferred volume: one request and its answer.
void watchRequests(benchmark::State& state, HSMService& service) {
  TQHSMHelperInitArgs args;
  args.m_nRemoteClientId = 9;
  TQHSMHelper helper(args);
  std::unique_ptr<CObNetwork> session = attach(service.port(), state);
  if (!session) return;
  helper.m_pSession = session.release();
  helper.m_sRemoteClientName = "nas9";
  std::string error;
  for (auto _ : state) {
    if (!helper.startWatchingVolume(g.m_sVolume.c_str(), error)) {
      state.SkipWithError(error.c_str());
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_WatchRequest(benchmark::State& state) { watchRequests(state, *g.m_real); }
void BM_WatchRequestTransportOnly(benchmark::State& state) { watchRequests(state, *g.m_bare); }

// Connect, TLS handshake with both certificates verified, attach, close.
void BM_Attach(benchmark::State& state) {
  for (auto _ : state) {
    std::unique_ptr<CObNetwork> session = attach(g.m_bare->port(), state);
    if (!session) break;
    bool flag = false;
    session->Disconnect(300, flag);
  }
}

BENCHMARK(BM_WatchRequest)->UseRealTime();
BENCHMARK(BM_WatchRequest)->Threads(8)->UseRealTime();
BENCHMARK(BM_WatchRequestTransportOnly)->UseRealTime();
BENCHMARK(BM_WatchRequestTransportOnly)->Threads(8)->UseRealTime();
BENCHMARK(BM_Attach)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  // The service logs every request, as it does by default; not to a terminal.
  tqhsm::FileLogSink sink("/dev/null", 1);
  tqhsm::LogSink::Install(&sink);
  benchmark::Initialize(&argc, argv);
  std::string error;
  if (!setUp(error)) {
    std::fprintf(stderr, "service_bench: %s\n", error.c_str());
    return 1;
  }
  benchmark::RunSpecifiedBenchmarks();
  g.m_real.reset();
  g.m_bare.reset();
  tqhsm::ConfigSource::Install(nullptr);
  run("rm -rf '" + g.m_sDir + "'");
  return 0;
}
