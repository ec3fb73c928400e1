// A run with an administrator's rights follows only the junctions and links that administrators made,
// where the system offers that; the token and the mitigation calls come through the system-call table,
// since Wine's process is always elevated and its policy calls are stubs.
#include "platform/RedirectionGuard.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

using namespace qbtest;

namespace
{
bool g_elevated, g_system;
BOOL WINAPI FakeToken(HANDLE token, TOKEN_INFORMATION_CLASS infoClass, LPVOID info, DWORD size, PDWORD needed)
{
    if (infoClass == TokenElevation)
    {
        *needed = sizeof(TOKEN_ELEVATION);
        if (size < *needed)
            return FALSE;
        ((TOKEN_ELEVATION*)info)->TokenIsElevated = g_elevated;
        return TRUE;
    }
    if (infoClass == TokenUser && g_system)
    {
        static SID system = {SID_REVISION, 1, SECURITY_NT_AUTHORITY, {SECURITY_LOCAL_SYSTEM_RID}};
        *needed = sizeof(TOKEN_USER);
        if (size < *needed)
            return FALSE;
        ((TOKEN_USER*)info)->User = SID_AND_ATTRIBUTES{&system, 0};
        return TRUE;
    }
    return kRealSystemCalls.GetTokenInformation(token, infoClass, info, size, needed);
}

int g_asked;    // how often the policy was asked for
bool g_known;   // the system has the calls
bool g_takesIt; // and the policy reads back as in force
BOOL WINAPI FakeSet(PROCESS_MITIGATION_POLICY policy, PVOID buffer, SIZE_T size)
{
    ++g_asked;
    EXPECT_EQ(ProcessRedirectionTrustPolicy, policy);
    EXPECT_EQ(sizeof(DWORD), size);
    EXPECT_EQ(1u, *(DWORD*)buffer) << "enforced, not audited";
    SetLastError(ERROR_PROC_NOT_FOUND);
    return g_known;
}
BOOL WINAPI FakeGet(HANDLE, PROCESS_MITIGATION_POLICY, PVOID buffer, SIZE_T)
{
    *(DWORD*)buffer = g_takesIt ? 1 : 0;
    return g_known;
}
} // namespace

TEST(RedirectionGuard, IsOnForAnAdministratorsRunsWhereTheSystemHasIt)
{
    ScopedSysCall token(sys.GetTokenInformation, FakeToken);
    ScopedSysCall set(sys.SetProcessMitigationPolicy, FakeSet);
    ScopedSysCall get(sys.GetProcessMitigationPolicy, FakeGet);
    const struct
    {
        const char* run;
        bool elevated, system, known, takesIt;
        RedirectionGuardState state;
    } cases[] = {
        {"a standard user", false, false, true, true, REDIRECTION_GUARD_NOT_NEEDED},
        {"an elevated administrator", true, false, true, true, REDIRECTION_GUARD_ON},
        {"the system account", false, true, true, true, REDIRECTION_GUARD_ON},
        {"a system without the calls", true, false, false, false, REDIRECTION_GUARD_UNAVAILABLE},
        {"a system that says yes and does nothing", true, false, true, false, REDIRECTION_GUARD_UNAVAILABLE},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.run);
        g_elevated = c.elevated;
        g_system = c.system;
        g_known = c.known;
        g_takesIt = c.takesIt;
        g_asked = 0;
        AfxGuardRedirections();
        EXPECT_EQ(c.state, AfxRedirectionGuardState());
        EXPECT_EQ(c.state == REDIRECTION_GUARD_NOT_NEEDED ? 0 : 1, g_asked);
    }
}
