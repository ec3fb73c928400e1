// How a run ended. It becomes the process's exit status, so that a deployment script can tell.
#pragma once

#include "platform/CWinApp.h"
#include "platform/FileNames.h"

#include <stdlib.h>
#include <wchar.h>

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

// What an outcome means, as the README's table of exit statuses says it.
inline const char* OutcomeMeaning(InstallOutcome outcome)
{
    switch (outcome)
    {
    case OUTCOME_INSTALLED:
        return "installed";
    case OUTCOME_LEFT_WITHOUT_INSTALLING:
        return "left without installing";
    case OUTCOME_REFUSED_FOR_COUNTRY:
        return "refused: the package is made for another country";
    case OUTCOME_PACKAGE_INCOMPLETE:
        return "the package is incomplete or damaged; nothing was touched";
    case OUTCOME_TARGET_NOT_OPENED:
        return "the target could not be opened; the previous file is unchanged";
    case OUTCOME_WRITE_FAILED:
        return "the database could not be written; the previous file is unchanged";
    case OUTCOME_DATE_NOT_RECORDED:
        return "installed, but the date could not be recorded in Dravik's settings";
    case OUTCOME_WRITE_FAILED_PREVIOUS_SET_ASIDE:
        return "the database could not be written and the file is damaged; its previous contents are kept "
               "aside";
    }
    return "unknown";
}

inline void SetOutcome(InstallOutcome outcome)
{
    if (CWinApp* pApp = AfxGetApp())
        pApp->m_nExitCode = outcome;
}

// What the run's attempts have left of the target: whole (as it was, or with the new database), or damaged by
// a write in place that failed half-way and could not undo itself, its previous contents in a copy.
enum TargetCondition
{
    TARGET_WHOLE,
    TARGET_DAMAGED_WITH_COPY,
};

// The target's condition with, while it is damaged, the copy's path. The path is kept as the \\?\ path the
// next attempt takes the copy up by: as a person writes it, in the system's code page, it may have lost
// characters, or name no place at all (a volume's folder).
class CTargetState
{
public:
    CTargetState() : m_pszKeptIn(NULL) {}
    ~CTargetState() { free(m_pszKeptIn); }
    CTargetState(const CTargetState&) = delete;
    CTargetState& operator=(const CTargetState&) = delete;

    TargetCondition GetCondition() const
    {
        return m_pszKeptIn != NULL ? TARGET_DAMAGED_WITH_COPY : TARGET_WHOLE;
    }
    // The copy of the previous contents; NULL while the target is whole.
    const wchar_t* GetKeptIn() const { return m_pszKeptIn; }
    // Damaged, its previous contents in pszKeptIn; whole, when that is NULL.
    void SetKeptIn(const wchar_t* pszKeptIn)
    {
        wchar_t* pszCopy = pszKeptIn != NULL ? wcscpy(AllocPath(wcslen(pszKeptIn)), pszKeptIn) : NULL;
        free(m_pszKeptIn);
        m_pszKeptIn = pszCopy;
    }

private:
    wchar_t* m_pszKeptIn;
};
