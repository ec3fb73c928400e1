// "Install": writes the database where the target path says, removes the host's stale price list,
// records the creation date in the host's settings, and ends the dialog.
#include "dialog/Outcome.h"
#include "dialog/QuillbrookDlg.h"
#include "package/CompressedPayload.h"
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
const char kPutBackText[] = "The file has been put back as it was before the first attempt.";
const char kNotOnDiskText[] =
    "The file holds the previous or the new pricelist, whole, but the change may not be on the disk: install "
    "the pricelist again.";

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

// The database carried by the package, straight from the executable's mapped resources: stored as it is,
// or compressed and decoded as it is written.
struct Payload
{
    CMemorySource stored;
    CZstdSource compressed;
    CByteSource* pSource;
};

bool FindPayload(Payload* pPayload)
{
    const BYTE* pbData;
    DWORD cbData;
    DecodedPayload decoded;
    if (LookUpPackageEntry(PACKAGE_PAYLOAD_TYPE, MDB_DATABASE, &pbData, &cbData) == PACKAGE_ENTRY_FOUND)
    {
        pPayload->stored.Attach(pbData, cbData);
        pPayload->pSource = &pPayload->stored;
        return true;
    }
    // The integrity entry that the package was checked against says what the frame decodes to.
    if (LookUpPackageEntry(PACKAGE_COMPRESSED_PAYLOAD_TYPE, MDB_DATABASE, &pbData, &cbData) ==
            PACKAGE_ENTRY_FOUND &&
        LoadDecodedPayload(&decoded))
    {
        pPayload->compressed.Attach(pbData, cbData, decoded.cbSize, decoded.ullHash,
                                    COMPRESSED_WINDOW_LOG_MAX);
        pPayload->pSource = &pPayload->compressed;
        AfxLog("package: the database is compressed, %lu bytes decoded from %lu", (DWORD)decoded.cbSize,
               cbData);
        return true;
    }
    return false;
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

// No room for a new file is a write that failed, not a file in the way: nothing to ask Dravik about.
bool IsDiskFull(const CFileException& error)
{
    return error.m_lOsError == ERROR_DISK_FULL || error.m_lOsError == ERROR_HANDLE_DISK_FULL;
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

void CQuillbrookDlg::SetRunOutcome(InstallOutcome outcome)
{
    // A target that an attempt of this run damaged stays the news, however the run goes on and ends,
    // until a later attempt makes it whole.
    SetOutcome(m_strDamagedKeptIn.IsEmpty() ? outcome : OUTCOME_WRITE_FAILED_PREVIOUS_SET_ASIDE);
}

void CQuillbrookDlg::EndWith(InstallOutcome outcome)
{
    SetRunOutcome(outcome);
    CDialog::OnOK();
}

BOOL CQuillbrookDlg::WriteDatabase(CByteSource& payload)
{
    CreateFolderWithParents(m_strTargetPath);

    // The target changes from the old database to the complete new one in one step. While another
    // process (above all the host) holds it open, the user is asked to close it and try again. Where an
    // earlier attempt left it damaged, the copy of what it had before is what a failure puts back.
    CAtomicFile file;
    CFileException error;
    while (!file.Open(m_strTargetPath, &error, m_strDamagedKeptIn))
    {
        if (IsDiskFull(error))
            return FailWrite(file, error);
        if (!AskToRetry(m_bUnattended, m_strTargetPath, error))
        {
            EndWith(OUTCOME_TARGET_NOT_OPENED);
            return FALSE;
        }
    }

    if (!file.Write(payload, &error))
        return FailWrite(file, error);

    while (!file.Replace(&error))
    {
        if (file.IsReplaced())
            return FailWrite(file, error);
        if (!AskToRetry(m_bUnattended, m_strTargetPath, error))
        {
            file.Abort();
            EndWith(OUTCOME_TARGET_NOT_OPENED);
            return FALSE;
        }
    }
    m_strDamagedKeptIn.Empty();
    AfxLog("database written: %lu bytes", (DWORD)payload.GetLength());
    return TRUE;
}

BOOL CQuillbrookDlg::FailWrite(const CAtomicFile& file, const CFileException& error)
{
    // What became of the file: as it was (or as it was before a first attempt damaged it), or damaged with
    // its previous contents in a copy, or replaced without the certainty that this is on the disk.
    const bool bWasDamaged = !m_strDamagedKeptIn.IsEmpty();
    m_strDamagedKeptIn = file.PreviousContentsKeptIn();
    CString strState = kLeftAsItWasText;
    if (!m_strDamagedKeptIn.IsEmpty())
        strState = PreviousSetAsideText(m_strDamagedKeptIn);
    else if (file.IsReplaced())
        strState = kNotOnDiskText;
    else if (bWasDamaged)
        strState = kPutBackText;
    AfxLog("the database could not be written: %s", (const char*)strState);

    // Attended, the dialog stays so that the user can make room and try again; unattended, the run ends
    // with its status and no box to answer.
    if (m_bUnattended)
    {
        EndWith(OUTCOME_WRITE_FAILED);
        return FALSE;
    }
    AfxMessageBox("Couldn't write file " + m_strTargetPath + "\n(" + AfxErrorText((DWORD)error.m_lOsError) +
                      ")\n" + strState,
                  MB_OK | MB_ICONERROR, 0);
    SetRunOutcome(OUTCOME_WRITE_FAILED);
    return FALSE;
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
    if (payload.pSource->IsHeldBy(m_strTargetPath))
        AfxLog("the target already holds this database: left alone");
    else if (!WriteDatabase(*payload.pSource))
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
