// "Install": writes the database where the target path says, removes the host's stale price list,
// records the creation date in the host's settings, and ends the dialog.
#include "dialog/Outcome.h"
#include "dialog/QuillbrookDlg.h"
#include "package/PackageIds.h"
#include "package/PackageResources.h"
#include "platform/CAtomicFile.h"
#include "platform/FileNames.h"
#include "platform/RunLog.h"
#include "platform/SystemCalls.h"
#include "registry/HostRegistry.h"

namespace
{
const char kPackageIncompleteText[] = "This Pricelist Setup has been incorrectly generated, setup aborted.";
const char kSuccessText[] = "Pricelist successfully installed";

const char kLeftAsItWasText[] = "The file has been left as it was.";

// A write in place failed half-way and the previous contents could not be put back.
CString PreviousSetAsideText(const CString& strKeptIn)
{
    return "The file is damaged, and its previous contents could not be put back: they are kept in " +
           strKeptIn + ".";
}

// The price list is in place, but the host will not know its date.
CString DateNotRecordedText(const CString& strReason)
{
    return "Pricelist installed, but its date could not be recorded in Dravik's settings\n(" + strReason +
           ")\nDravik will go on showing the date of the previous pricelist.";
}

// The database carried by the package, straight from the executable's mapped resources.
struct Payload
{
    const void* pData;
    DWORD cbData;
};

bool FindPayload(Payload* pPayload)
{
    const BYTE* pbData;
    if (LookUpPackageEntry(PACKAGE_PAYLOAD_TYPE, MDB_DATABASE, &pbData, &pPayload->cbData) !=
        PACKAGE_ENTRY_FOUND)
        return false;
    pPayload->pData = pbData;
    return true;
}

// Where the folders of a \\?\ path begin: past \\?\C:\, \\?\UNC\server\share\ or \\?\Volume{...}\; NULL
// when the path is its root.
wchar_t* FirstFolder(wchar_t* pszLong)
{
    wchar_t* p = pszLong + 4;
    for (int nSeparators = wcsncmp(p, L"UNC\\", 4) == 0 ? 3 : 1; nSeparators > 0 && p != NULL; nSeparators--)
    {
        p = wcschr(p, L'\\');
        if (p != NULL)
            ++p;
    }
    return p;
}

// Creates the folder of the target and every missing folder above it, one level at a time through the
// long-path form: a forward slash separates folders as a backslash does, and a path of 248 characters or
// more (beyond the 8-bit folder functions) is made as any other. Whatever goes wrong shows later, when the
// file cannot be opened there. Nothing here needs the shell's library.
void CreateFolderWithParents(const CString& strTargetPath)
{
    wchar_t* pszFolder = LongFullPath(strTargetPath);
    wchar_t* pszName = pszFolder != NULL ? wcsrchr(pszFolder, L'\\') : NULL;
    if (pszName != NULL)
        *pszName = L'\0';
    const DWORD dwAttributes = pszName != NULL ? ::GetFileAttributesW(pszFolder) : INVALID_FILE_ATTRIBUTES;
    wchar_t* pszLevel = pszName != NULL ? FirstFolder(pszFolder) : NULL;
    if ((dwAttributes != INVALID_FILE_ATTRIBUTES && (dwAttributes & FILE_ATTRIBUTE_DIRECTORY)) ||
        pszLevel == NULL || *pszLevel == L'\0')
    {
        free(pszFolder);
        return;
    }

    DWORD dwResult;
    for (;;)
    {
        wchar_t* pszEnd = wcschr(pszLevel, L'\\');
        if (pszEnd != NULL)
            *pszEnd = L'\0';
        dwResult = sys.CreateDirectoryW(pszFolder, NULL) ? ERROR_SUCCESS : ::GetLastError();
        if (dwResult == ERROR_ALREADY_EXISTS)
            dwResult = ERROR_SUCCESS;
        if (pszEnd == NULL)
            break;
        *pszEnd = L'\\';
        pszLevel = pszEnd + 1;
    }
    AfxLog("making the folder %s: %s", (const char*)DisplayPath(pszFolder),
           (const char*)AfxErrorText(dwResult));
    free(pszFolder);
}

// Asks whether to try opening the target again; never asks when nobody is there to answer.
bool AskToRetry(BOOL bUnattended, const CString& strTargetPath, const CFileException& error)
{
    if (bUnattended)
        return false;
    AfxLog("asking the user to close Dravik and try again");
    CString strMessage = "Couldn't open file " + strTargetPath + "\n(" +
                         AfxErrorText((DWORD)error.m_lOsError) +
                         ")\nPlease close Dravik before installing this pricelist";
    return AfxMessageBox(strMessage, MB_RETRYCANCEL | MB_ICONERROR, 0) != IDCANCEL;
}

// The host's stale price list keeps its own name but is looked for beside the new database. It is
// removed only when that name is a plain file name directly in the target's folder, and never when it
// leads to the database just installed. A target path without a folder (relative, "C:name") gives no
// folder to look in: joined to an empty folder, the name would lead to the drive's root.
void RemoveStaleFile(const CString& strTargetPath, const CString& strStaleValue)
{
    // The host may write its path with forward slashes, which the system takes as separators too.
    int nSeparator = strTargetPath.ReverseFind('\\');
    if (strTargetPath.ReverseFind('/') > nSeparator)
        nSeparator = strTargetPath.ReverseFind('/');
    if (strStaleValue.IsEmpty() || nSeparator < 0)
    {
        AfxLog("stale file: none to remove (%s)",
               strStaleValue.IsEmpty() ? "no setting" : "no target folder");
        return;
    }
    CString strStaleName = strStaleValue.Mid(strStaleValue.ReverseFind('\\') + 1);
    if (strStaleName.IsEmpty() || strStaleName == "." || strStaleName == ".." ||
        strStaleName.ReverseFind('/') >= 0 || strStaleName.ReverseFind(':') >= 0)
    {
        AfxLog("stale file: %s is no plain file name, left alone", (const char*)strStaleValue);
        return;
    }

    // Only a file seen to be another: where either cannot be opened or identified, the stale name might
    // be the new database under another spelling.
    CString strStalePath = strTargetPath.Left(nSeparator) + "\\" + strStaleName;
    if (!CFile::AreDistinctFiles(strStalePath, strTargetPath))
    {
        AfxLog("stale file %s: absent, or not seen to be another file than the database; left alone",
               (const char*)strStalePath);
        return;
    }
    CFileException error;
    if (CFile::Remove(strStalePath, &error))
        AfxLog("stale file %s: removed", (const char*)strStalePath);
    else
        AfxLog("stale file %s: left (%s)", (const char*)strStalePath,
               (const char*)AfxErrorText((DWORD)error.m_lOsError));
}
} // namespace

void CQuillbrookDlg::SayPackageIncomplete()
{
    if (!m_bUnattended)
        AfxMessageBox(kPackageIncompleteText, MB_OK, 0);
    SetOutcome(OUTCOME_PACKAGE_INCOMPLETE);
}

void CQuillbrookDlg::EndWith(InstallOutcome outcome)
{
    SetOutcome(outcome);
    CDialog::OnOK();
}

BOOL CQuillbrookDlg::WriteDatabase(const void* pData, DWORD cbData)
{
    CreateFolderWithParents(m_strTargetPath);

    // The target changes from the old database to the complete new one in one step. While another
    // process (above all the host) holds it open, the user is asked to close it and try again.
    CAtomicFile file;
    CFileException error;
    while (!file.Open(m_strTargetPath, &error))
    {
        if (!AskToRetry(m_bUnattended, m_strTargetPath, error))
        {
            EndWith(OUTCOME_TARGET_NOT_OPENED);
            return FALSE;
        }
    }

    if (!file.Write(pData, cbData, &error))
    {
        // Nothing has changed on the disk, unless a file written in place could not be put back as it
        // was, which is said with where its previous contents are. Attended, the dialog stays so that the
        // user can make room and try again; unattended, the run ends with its status and no box to answer.
        const CString& strKeptIn = file.PreviousContentsKeptIn();
        const InstallOutcome outcome =
            strKeptIn.IsEmpty() ? OUTCOME_WRITE_FAILED : OUTCOME_WRITE_FAILED_PREVIOUS_SET_ASIDE;
        if (m_bUnattended)
        {
            EndWith(outcome);
            return FALSE;
        }
        AfxMessageBox("Couldn't write file " + m_strTargetPath + "\n(" +
                          AfxErrorText((DWORD)error.m_lOsError) + ")\n" +
                          (strKeptIn.IsEmpty() ? CString(kLeftAsItWasText) : PreviousSetAsideText(strKeptIn)),
                      MB_OK | MB_ICONERROR, 0);
        SetOutcome(outcome);
        return FALSE;
    }

    while (!file.Replace(&error))
    {
        if (!AskToRetry(m_bUnattended, m_strTargetPath, error))
        {
            file.Abort();
            EndWith(OUTCOME_TARGET_NOT_OPENED);
            return FALSE;
        }
    }
    AfxLog("database written: %lu bytes", cbData);
    return TRUE;
}

void CQuillbrookDlg::OnOK()
{
    // Without a target an attended run waits for "Browse..."; an unattended one asks for a file once,
    // unless nobody could answer the save dialog.
    if (m_strTargetPath.IsEmpty())
    {
        if (!m_bUnattended)
            return;
        if (!AfxHasVisibleDesktop())
        {
            EndWith(OUTCOME_TARGET_NOT_OPENED);
            return;
        }
        OnBrowse();
    }

    // A path that cannot be used was said when it came: attended, only "Browse..." leads on from it.
    if (m_pszTargetProblem != NULL)
    {
        if (m_bUnattended)
            EndWith(OUTCOME_TARGET_NOT_OPENED);
        return;
    }

    // The package's integrity was checked as the dialog was made; a package generated without a database
    // is refused before anything is created, written, removed or stored.
    Payload payload;
    if (!FindPayload(&payload))
    {
        AfxLog("package: no database in it");
        SayPackageIncomplete();
        CDialog::OnOK();
        return;
    }

    // The target may hold exactly this database already: another machine of the office put it on the
    // shared folder, or this package ran before. It is left alone then, even while Dravik has it open, and
    // the run goes on as after an install.
    AfxLog("target: %s", (const char*)m_strTargetPath);
    if (CFile::HasContents(m_strTargetPath, payload.pData, payload.cbData))
        AfxLog("the target already holds this database: left alone");
    else if (!WriteDatabase(payload.pData, payload.cbData))
        return;

    RemoveStaleFile(m_strTargetPath,
                    ReadRegistryString(LoadPackageString(REG_SETTINGS_KEY), "CheminTarifsMgr", ""));

    // The creation date, stored as the package gives it. The host learns the price list's date only
    // from there, so a date that could not be stored is said (a standard user may not write the
    // machine's settings): the price list is installed, but the host goes on showing the old date.
    CString strDateKey = LoadCountryKey();
    CString strDate = LoadPackageString(REG_TARIFF_DATE);
    if (strDateKey.IsEmpty() || strDate.IsEmpty())
        AfxLog("date: not stored, the package gives no %s", strDate.IsEmpty() ? "date" : "country key");
    if (!strDateKey.IsEmpty() && !strDate.IsEmpty() &&
        !WriteRegistryString(strDateKey, "date_creation_tarif", strDate, 1))
    {
        const DWORD dwReason = ::GetLastError();
        if (!m_bUnattended)
            AfxMessageBox(DateNotRecordedText(AfxErrorText(dwReason)), MB_OK | MB_ICONWARNING, 0);
        EndWith(OUTCOME_DATE_NOT_RECORDED);
        return;
    }

    if (!m_bUnattended)
        AfxMessageBox(kSuccessText, MB_OK, 0);
    EndWith(OUTCOME_INSTALLED);
}
