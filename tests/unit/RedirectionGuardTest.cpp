// A run with an administrator's rights follows only the junctions and links that administrators made,
// where the system offers that. Wine's process is always elevated and its policy calls are stubs: the token
// and the calls come through the system-call table.
#include "platform/RedirectionGuard.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

using namespace qbtest;

namespace
{
bool g_elevated, g_system, g_known, g_takesIt;
int g_asked;

BOOL WINAPI FakeToken(HANDLE token, TOKEN_INFORMATION_CLASS infoClass, LPVOID info, DWORD size, PDWORD needed)
{
    static SID system = {SID_REVISION, 1, SECURITY_NT_AUTHORITY, {SECURITY_LOCAL_SYSTEM_RID}};
    *needed = 64;
    if (infoClass == TokenElevation && size >= sizeof(TOKEN_ELEVATION))
        ((TOKEN_ELEVATION*)info)->TokenIsElevated = g_elevated;
    else if (infoClass == TokenUser && g_system && size >= sizeof(TOKEN_USER))
        ((TOKEN_USER*)info)->User = SID_AND_ATTRIBUTES{&system, 0};
    else if (infoClass == TokenElevation || (infoClass == TokenUser && g_system))
        return FALSE;
    else
        return kRealSystemCalls.GetTokenInformation(token, infoClass, info, size, needed);
    return TRUE;
}
} // namespace

TEST(RedirectionGuard, IsOnForAnAdministratorsRunsWhereTheSystemHasIt)
{
    ScopedSysCall token(sys.GetTokenInformation, FakeToken);
    ScopedSysCall set(
        sys.SetProcessMitigationPolicy,
        +[](PROCESS_MITIGATION_POLICY policy, PVOID buffer, SIZE_T size) WINAPI {
            ++g_asked;
            EXPECT_EQ(ProcessRedirectionTrustPolicy, policy);
            EXPECT_EQ(sizeof(DWORD), size);
            EXPECT_EQ(1u, *(DWORD*)buffer) << "enforced, not audited";
            return (BOOL)g_known;
        });
    ScopedSysCall get(
        sys.GetProcessMitigationPolicy, +[](HANDLE, PROCESS_MITIGATION_POLICY, PVOID buffer, SIZE_T) WINAPI {
            *(DWORD*)buffer = g_takesIt;
            return (BOOL)g_known;
        });
    const struct
    {
        const char* run;
        bool elevated, system, sharedData, known, takesIt;
        RedirectionGuardState state;
    } cases[] = {
        {"a standard user", false, false, false, true, true, REDIRECTION_GUARD_NOT_NEEDED},
        {"a standard user in the data folder all share", false, false, true, true, true,
         REDIRECTION_GUARD_ON},
        {"an elevated administrator", true, false, false, true, true, REDIRECTION_GUARD_ON},
        {"the system account", false, true, false, true, true, REDIRECTION_GUARD_ON},
        {"a system without the calls", true, false, false, false, false, REDIRECTION_GUARD_UNAVAILABLE},
        {"a system that says yes and does nothing", true, false, false, true, false,
         REDIRECTION_GUARD_UNAVAILABLE},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.run);
        g_elevated = c.elevated;
        g_system = c.system;
        g_known = c.known;
        g_takesIt = c.takesIt;
        g_asked = 0;
        AfxGuardRedirections(c.sharedData);
        EXPECT_EQ(c.state, AfxRedirectionGuardState());
        EXPECT_EQ(c.state == REDIRECTION_GUARD_NOT_NEEDED ? 0 : 1, g_asked);
        EXPECT_EQ(c.state != REDIRECTION_GUARD_NOT_NEEDED, AfxChecksLinksOnTheWay()) << "links checked too";
    }
}
