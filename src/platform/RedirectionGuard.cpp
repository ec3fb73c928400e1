#include "RedirectionGuard.h"
#include "RunningAccount.h"
#include "SystemCalls.h"

namespace
{
RedirectionGuardState g_state = REDIRECTION_GUARD_NOT_NEEDED;
}

void AfxGuardRedirections()
{
    if (!AfxIsElevatedOrSystem())
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
