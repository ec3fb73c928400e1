#!/bin/sh
# Prints the Windows architecture whose programs this machine can run under Wine: i686 where 32-bit
# x86 code runs, x86_64 where it cannot (some virtual machines lack the processor's 32-bit compatibility
# mode, and Linux then refuses every 32-bit program, Wine's 32-bit loader included).
if /usr/lib/wine/wine --version >/dev/null 2>&1; then
    echo i686
else
    echo x86_64
fi
