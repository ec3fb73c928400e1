#include "RedirectionGuard.h"
#include "RunningAccount.h"
#include "SystemCalls.h"

namespace
{
RedirectionGuardState g_state = REDIRECTION_GUARD_NOT_NEEDED;
}

void AfxGuardRedirections(BOOL bWritesSharedData)
{
    if (!bWritesSharedData && !AfxIsElevatedOrSystem())
    {
        g_state = REDIRECTION_GUARD_NOT_NEEDED;
        return;
    }
    // Asked for, then read back: a system that does not know the policy may still say yes.
    PROCESS_MITIGATION_REDIRECTION_TRUST_POLICY policy = {};
    policy.EnforceRedirectionTrust = 1;
    PROCESS_MITIGATION_REDIRECTION_TRUST_POLICY inForce = {};
    g_state = sys.SetProcessMitigationPolicy(ProcessRedirectionTrustPolicy, &policy, sizeof policy) &&
                      sys.GetProcessMitigationPolicy(::GetCurrentProcess(), ProcessRedirectionTrustPolicy,
                                                     &inForce, sizeof inForce) &&
                      inForce.EnforceRedirectionTrust
                  ? REDIRECTION_GUARD_ON
                  : REDIRECTION_GUARD_UNAVAILABLE;
}

RedirectionGuardState AfxRedirectionGuardState()
{
    return g_state;
}

const char* AfxRedirectionGuardText()
{
    switch (g_state)
    {
    case REDIRECTION_GUARD_NOT_NEEDED:
        break;
    case REDIRECTION_GUARD_ON:
        return "on: junctions that non-administrators made are not followed; the run checks symbolic links "
               "on the way to its files itself";
    case REDIRECTION_GUARD_UNAVAILABLE:
        return "not available on this system: the run checks junctions and symbolic links on the way to its "
               "files itself";
    }
    return "not needed: the run has no more rights than whoever could plant a junction or a link";
}

BOOL AfxChecksLinksOnTheWay()
{
    return g_state != REDIRECTION_GUARD_NOT_NEEDED;
}
