#include "HelperSetup.h"

#include <cstdio>

namespace tqhsm {
namespace test {

std::unique_ptr<TQHSMHelper> MakeReadyHelper(TQHSMHelperInitArgs& args, const std::string& dir) {
  args.m_sJobResultsDir = dir;
  if (args.m_sCollectFileName.empty()) args.m_sCollectFileName = "StubCollect";
  std::unique_ptr<TQHSMHelper> h(new TQHSMHelper(args));
  h->m_bRulesInitialized = true;
  h->m_pLowLevelCtx = new TQHSMLowLevelCtx(0);
  std::string path = dir + "/" + args.m_sCollectFileName;
  h->m_stubCollect.Initialize(path);
  h->m_stubCollect.SetSeperator('|');
  h->m_sTempCollectPath = path + "_temp";
  h->m_tempCollect.Initialize(h->m_sTempCollectPath);
  h->m_tempCollect.SetSeperator('|');
  return h;
}

std::vector<HSMCollectFile> ReadRecords(const std::string& path) {
  std::vector<HSMCollectFile> out;
  FILE* f = fopen(path.c_str(), "r");
  if (!f) return out;
  HSMCollectFile rec;
  while (GetLineFromCollectFile(f, '|', rec)) out.push_back(rec);
  fclose(f);
  return out;
}

std::vector<std::string> ReadEntries(const std::string& path) {
  std::vector<std::string> out;
  for (const HSMCollectFile& r : ReadRecords(path)) out.push_back(r.m_sEntry);
  return out;
}

}  // namespace test
}  // namespace tqhsm
