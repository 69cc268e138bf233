#pragma once

#include <memory>
#include <string>
#include <vector>

#include "CollectFile.h"
#include "TQHSMHelper.h"

namespace tqhsm {
namespace test {

// A helper as a successful Initialize leaves it, without running Initialize:
// rules read, a low-level context, StubCollect and StubCollectTemp open in dir
// with separator '|'.
std::unique_ptr<TQHSMHelper> MakeReadyHelper(TQHSMHelperInitArgs& args, const std::string& dir);

// Every record of a collect file.
std::vector<HSMCollectFile> ReadRecords(const std::string& path);
// The entry texts of a collect file.
std::vector<std::string> ReadEntries(const std::string& path);

}  // namespace test
}  // namespace tqhsm
