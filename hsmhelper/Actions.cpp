#include "TQHSMHelper.h"

// The helper's owner is told of every act on a file of the scanned tree (a
// stub deleted, a file re-stubbed), so that it can account for them; without
// an observer nothing is built.

TQHSMActionObserver::~TQHSMActionObserver() = default;

void TQHSMHelper::TellAction(TQHSMAction::Kind kind, const char* path, const char* cachedStub,
                             const ReparseData& af, const char* error) {
  if (!m_pActionObserver) return;
  TQHSMAction action;
  action.m_eKind = kind;
  action.m_pPath = path;
  action.m_pCachedStub = cachedStub;
  action.m_ulParvisNumber = af.afParvisNumber;
  action.m_ulCopyPrecedence = af.afCopyPrecedence;
  action.m_ulAfileId = af.afileId;
  action.m_bDryRun = m_bDryRun;
  action.m_pError = error;
  m_pActionObserver->OnAction(action);
}
