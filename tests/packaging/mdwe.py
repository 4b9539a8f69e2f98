#!/usr/bin/python3
"""Runs a command under the system-call filter that systemd's MemoryDenyWriteExecute=yes installs: no memory
that is writable and executable at once, and none made executable later.  Usage: mdwe.py COMMAND [ARG...]"""
import errno
import mmap
import os
import sys

import seccomp

SHM_EXEC = 0o100000
refused = seccomp.ERRNO(errno.EPERM)
rules = seccomp.SyscallFilter(defaction=seccomp.ALLOW)
both = mmap.PROT_WRITE | mmap.PROT_EXEC
rules.add_rule(refused, "mmap", seccomp.Arg(2, seccomp.MASKED_EQ, both, both))
for call in ("mprotect", "pkey_mprotect"):
    rules.add_rule(refused, call, seccomp.Arg(2, seccomp.MASKED_EQ, mmap.PROT_EXEC, mmap.PROT_EXEC))
rules.add_rule(refused, "shmat", seccomp.Arg(2, seccomp.MASKED_EQ, SHM_EXEC, SHM_EXEC))
rules.load()
os.execvp(sys.argv[1], sys.argv[1:])
