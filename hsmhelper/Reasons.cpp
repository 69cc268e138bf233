#include "TQHSMHelper.h"

// The names and texts of the decision reasons. The names are written to
// reports and JSON and read back by scripts: they never change once made.

namespace {

struct ReasonNames {
  const char* name;
  const char* text;
};

const ReasonNames kReasons[] = {
    {"none", "no decision"},
    {"not_initialized", "the rules were not read (Initialize)"},
    {"rules_off", "archive rules disabled (RulesFlag)"},
    {"bad_arguments", "no path or no stat record"},
    {"locked", "locked (mandatory lock)"},
    {"not_above_one_block", "not larger than one file-system block"},
    {"too_recently_accessed", "too recently accessed (DaysOld)"},
    {"too_recently_modified", "too recently modified (DaysOldMTime)"},
    {"too_small", "too small (MinFileSizeKB)"},
    {"too_large", "too large (MaxFileSizeKB)"},
    {"inspection_failed", "inspection failed"},
    {"open", "open"},
    {"stub_kept", "stub kept"},
    {"stub_pruned", "stub pruned"},
    {"collected", "collected"},
    {"sent_for_restubbing", "sent for re-stubbing"},
    {"not_stored", "a candidate StubCollect could not take (see the log)"},
    {"volume_without_budget", "volume without budget (needs no more data)"},
    {"changed_since_listed", "changed since the first pass"},
};

static_assert(sizeof kReasons / sizeof kReasons[0] == static_cast<size_t>(TQHSMReason::kCount),
              "one name and text per reason");

const ReasonNames* lookUp(TQHSMReason reason) {
  size_t i = static_cast<size_t>(reason);
  return i < static_cast<size_t>(TQHSMReason::kCount) ? &kReasons[i] : nullptr;
}

}  // namespace

const char* TQHSMReasonName(TQHSMReason reason) {
  const ReasonNames* r = lookUp(reason);
  return r ? r->name : "unknown";
}

const char* TQHSMReasonText(TQHSMReason reason) {
  const ReasonNames* r = lookUp(reason);
  return r ? r->text : "unknown";
}
