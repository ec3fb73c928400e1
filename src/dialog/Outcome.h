// How a run ended. It becomes the process's exit status, so that a deployment script can tell.
#pragma once

#include "platform/CWinApp.h"

enum InstallOutcome
{
    OUTCOME_INSTALLED = 0,
    OUTCOME_LEFT_WITHOUT_INSTALLING = 1,
    OUTCOME_REFUSED_FOR_COUNTRY = 2,
    OUTCOME_PACKAGE_INCOMPLETE = 3,
    OUTCOME_TARGET_NOT_OPENED = 4,
    OUTCOME_WRITE_FAILED = 5,
    OUTCOME_DATE_NOT_RECORDED = 6,
    OUTCOME_WRITE_FAILED_PREVIOUS_SET_ASIDE = 7,
};

inline void SetOutcome(InstallOutcome outcome)
{
    if (CWinApp* pApp = AfxGetApp())
        pApp->m_nExitCode = outcome;
}
