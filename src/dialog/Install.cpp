// "Install": writes the database where the target path says, removes the host's stale price list,
// records the creation date in the host's settings, and ends the dialog.
#include "dialog/Outcome.h"
#include "dialog/QuillbrookDlg.h"
#include "package/CompressedPayload.h"
#include "package/PackageIds.h"
#include "package/PackageIntegrity.h"
#include "package/PackageResources.h"
#include "platform/CAtomicFile.h"
#include "platform/FileNames.h"
#include "platform/MappedRead.h"
#include "platform/RunLog.h"
#include "platform/SystemCalls.h"
#include "registry/HostRegistry.h"

namespace
{
const char kPackageIncompleteText[] = "This Pricelist Setup has been incorrectly generated, setup aborted.";
const char kPackageUnreadableText[] = "This Pricelist Setup could not be read, setup aborted.";
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

// Checks and holds the way to the target (CTargetFolder.h), making its missing folders when bCreate; but
// nothing is made on the way to a path that names no file on a disk (a device, a named stream), which is
// refused as a target that cannot be opened.
BOOL OpenTargetFolder(CTargetFolder& folder, const CString& strTargetPath, BOOL bCreate,
                      CFileException* pError)
{
    wchar_t* pszTarget = LongFullPath(strTargetPath);
    DWORD dwError = ERROR_INVALID_NAME;
    const BOOL bOpen =
        pszTarget != NULL && IsFilePath(pszTarget) && folder.Open(pszTarget, bCreate, &dwError);
    free(pszTarget);
    if (!bOpen)
        pError->Set((LONG)dwError, strTargetPath);
    return bOpen;
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
// leads to the database just installed, nor when it is a folder, a junction or a link. A target path
// without a folder (relative, "C:name") gives no folder to look in: joined to an empty folder, the name
// would lead to the drive's root.
void RemoveStaleFile(const CTargetFolder& folder, const CString& strTargetPath, const CString& strStaleValue)
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

    CString strStalePath = strTargetPath.Left(nSeparator) + "\\" + strStaleName;
    CString strWhyNot = "the target's folder is not known";
    if (folder.IsOpen() && folder.RemovePlainFile(CWideText(strStaleName), &strWhyNot))
        AfxLog("stale file %s: removed", (const char*)strStalePath);
    else
        AfxLog("stale file %s: left (%s)", (const char*)strStalePath, (const char*)strWhyNot);
}
} // namespace

void CQuillbrookDlg::SayPackageIncomplete()
{
    // A package whose bytes could not all be read (its file on a share that dropped, or a failing disk) is
    // not said to be badly made: the system's reason comes with it.
    const DWORD dwUnreadable = AfxMappedReadError();
    if (!m_bUnattended)
        AfxMessageBox(dwUnreadable == ERROR_SUCCESS
                          ? CString(kPackageIncompleteText)
                          : kPackageUnreadableText + ("\n(" + AfxErrorText(dwUnreadable) + ")"),
                      MB_OK, 0);
    SetRunOutcome(OUTCOME_PACKAGE_INCOMPLETE);
}

void CQuillbrookDlg::SetRunOutcome(InstallOutcome outcome)
{
    // A target that an attempt of this run damaged stays the news, however the run goes on and ends,
    // until a later attempt makes it whole.
    SetOutcome(m_target.GetCondition() == TARGET_WHOLE ? outcome : OUTCOME_WRITE_FAILED_PREVIOUS_SET_ASIDE);
}

void CQuillbrookDlg::EndWith(InstallOutcome outcome)
{
    SetRunOutcome(outcome);
    CDialog::OnOK();
}

BOOL CQuillbrookDlg::WriteDatabase(CTargetFolder& folder, CByteSource& payload)
{
    // The target's folder is made where missing, unless the way to it is held already. The target changes
    // from the old database to the complete new one in one step. While another process (above all the host)
    // holds it open, the user is asked to close it and try again. Where an earlier attempt left it damaged,
    // the copy of what it had before is what a failure puts back.
    CAtomicFile file;
    CFileException error;
    while (!(folder.IsOpen() || OpenTargetFolder(folder, m_strTargetPath, TRUE, &error)) ||
           !file.Open(m_strTargetPath, &error, m_target.GetKeptIn(), &folder))
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
        if (file.IsReplaced() || !file.MayReplaceAgain())
            return FailWrite(file, error);
        if (!AskToRetry(m_bUnattended, m_strTargetPath, error))
        {
            file.Abort();
            EndWith(OUTCOME_TARGET_NOT_OPENED);
            return FALSE;
        }
    }
    m_target.SetKeptIn(NULL);
    AfxLog("database written: %lu bytes", (DWORD)payload.GetLength());
    return TRUE;
}

BOOL CQuillbrookDlg::FailWrite(const CAtomicFile& file, const CFileException& error)
{
    // What became of the file: as it was, or replaced without the certainty that this is on the disk, or
    // damaged with its previous contents in a copy (this attempt's, or the earlier one's while nothing has
    // put them back), or put back as it was before an earlier attempt damaged it.
    const bool bWasDamaged = m_target.GetCondition() == TARGET_DAMAGED_WITH_COPY;
    m_target.SetKeptIn(file.IsReplaced() ? NULL : file.PreviousContentsKeptIn());
    CString strState = kLeftAsItWasText;
    if (file.IsReplaced())
        strState = kNotOnDiskText;
    else if (m_target.GetCondition() == TARGET_DAMAGED_WITH_COPY)
        strState = PreviousSetAsideText(DisplayPath(m_target.GetKeptIn()));
    else if (bWasDamaged)
        strState = kPutBackText;
    AfxLog("the database could not be written (%s, error %ld): %s",
           (const char*)AfxErrorText((DWORD)error.m_lOsError), error.m_lOsError, (const char*)strState);

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
    // the run goes on as after an install. Only where the way to it could be checked: a target behind a
    // link a user planted is refused as any that cannot be opened. The way stays held until the run ends.
    // Not after an attempt of this run damaged it: the new bytes read back may be in the system's cache
    // only, where a write that could not reach the disk left them, and the copy of its previous contents
    // goes only once it is written whole.
    AfxLog("target: %s", (const char*)m_strTargetPath);
    CTargetFolder folder;
    CFileException error;
    const BOOL bAlreadyThere = m_target.GetCondition() == TARGET_WHOLE &&
                               OpenTargetFolder(folder, m_strTargetPath, FALSE, &error) &&
                               payload.pSource->IsHeldBy(folder);
    // A package whose bytes could not all be read since its check is refused while nothing has changed.
    if (AfxMappedReadError() != ERROR_SUCCESS)
    {
        AfxLog("package: could not be read (%s)", (const char*)AfxErrorText(AfxMappedReadError()));
        SayPackageIncomplete();
        CDialog::OnOK();
        return;
    }
    if (bAlreadyThere)
        AfxLog("the target already holds this database: left alone");
    else if (!WriteDatabase(folder, *payload.pSource))
        return;

    RemoveStaleFile(folder, m_strTargetPath,
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
