#!/usr/bin/env python3
"""Fails when a 32-bit Windows program imports a C runtime time function of 32 bits.

usage: timeimports.py OBJDUMP EXE

In the 32-bit C runtime (msvcrt.dll) the classic time functions take and give a 32-bit time_t,
which ends on 2038-01-19; the program must use the 64-bit ones (_time64, _gmtime64, ...) or the
system's FILETIME calendar instead. Every import of the program from msvcrt.dll is read from its
import table (objdump -p) and checked against the 32-bit names."""

import subprocess
import sys

THIRTY_TWO_BIT = {
    "time", "_time32", "gmtime", "_gmtime32", "_gmtime32_s", "localtime", "_localtime32", "_localtime32_s",
    "mktime", "_mktime32", "_mkgmtime", "_mkgmtime32", "ctime", "_ctime32", "_ctime32_s", "_wctime",
    "_wctime32", "_wctime32_s", "difftime", "_difftime32", "_ftime", "_ftime32", "_ftime32_s",
}


def msvcrt_imports(objdump, exe):
    text = subprocess.run([objdump, "-p", exe], check=True, capture_output=True, text=True).stdout
    names = []
    in_msvcrt = False
    for line in text.splitlines():
        if "DLL Name:" in line:
            in_msvcrt = line.split("DLL Name:", 1)[1].strip().lower() == "msvcrt.dll"
            continue
        fields = line.split()
        # An import line: its address, its hint and its name.
        if in_msvcrt and len(fields) == 3 and fields[1].isdigit():
            names.append(fields[2])
    return names


def main():
    objdump, exe = sys.argv[1:3]
    imports = msvcrt_imports(objdump, exe)
    if not imports:
        print("no imports from msvcrt.dll found in %s" % exe)
        return 1
    found = sorted(set(imports) & THIRTY_TWO_BIT)
    if found:
        print("%s imports 32-bit time functions: %s" % (exe, ", ".join(found)))
        return 1
    print("%s: %d imports from msvcrt.dll, none of them a 32-bit time function" % (exe, len(imports)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
