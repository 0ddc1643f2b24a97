#!/usr/bin/env python3
"""The folders that a Windows program file names, and a check that none is of the build machine.

usage: programfolders.py EXE [BUILD_FOLDER ...]

A library compiled into the program may carry folder names of the machine that built it (OpenSSL's
"OPENSSLDIR", "ENGINESDIR" and "MODULESDIR", file names kept for messages, debug information). On
Windows a name like "/root/x" is a folder on the current drive, which any user may create. Every
text of the program (ASCII and UTF-16) is searched; the check fails when one holds a BUILD_FOLDER
(the source tree, the build tree, the dependency cache, the home folder) or a folder rooted at a
top-level folder of this machine ("/usr/...", "/tmp/...")."""

import os
import re
import sys

MIN_TEXT = 4
OPENSSL_FOLDER = re.compile(r'\b(?:OPENSSLDIR|ENGINESDIR|MODULESDIR): "([^"]+)"')
# Starts a path of its own: the text's start, a blank, a quote, "=" or a compiler's -I/-L.
PATH_START = r'(?:^|(?<=[\s"\'=(,;])|(?<=-[IL]))'
# A path with a drive letter, up to the end of the text or a quote.
DRIVE_PATH = re.compile(PATH_START + r'[A-Za-z]:[\\/][A-Za-z0-9_][^"\'<>|*?\r\n]*')


def texts(exe):
    """Every run of printable characters in the file, read as ASCII and as UTF-16LE."""
    with open(exe, "rb") as handle:
        data = handle.read()
    found = [m.group().decode("ascii") for m in re.finditer(rb"[\x20-\x7e]{%d,}" % MIN_TEXT, data)]
    found += [m.group().decode("utf-16-le") for m in re.finditer(rb"(?:[\x20-\x7e]\x00){%d,}" % MIN_TEXT, data)]
    return found


def top_level_folders():
    return sorted(name for name in os.listdir("/") if os.path.isdir(os.path.join("/", name)))


def rooted_path_pattern():
    """A path that begins at one of this machine's top-level folders."""
    names = "|".join(re.escape(name) for name in top_level_folders())
    return re.compile(PATH_START + r'/(?:%s)(?:/[^\s"\']*)?(?=$|[\s"\'])' % names)


def named_folders(exe):
    """The folders the program names: OpenSSL's compiled-in folders, every path with a drive letter
    and every path rooted at a top-level folder of this machine. A name whose last part has an
    extension ("cert.pem") is a file: its folder counts. Driveless names keep their form."""
    rooted = rooted_path_pattern()
    folders = set()
    for text in texts(exe):
        names = OPENSSL_FOLDER.findall(text) + DRIVE_PATH.findall(text) + rooted.findall(text)
        for name in names:
            name = name.rstrip("\\/ ")
            last = re.split(r"[\\/]", name)[-1]
            if "." in last.strip("."):
                name = re.split(r"[\\/][^\\/]*$", name)[0]
            if len(name) > 3:
                folders.add(name)
    return sorted(folders)


def build_machine_names(exe, build_folders):
    """The texts of the program that name a folder of the build machine."""
    rooted = rooted_path_pattern()
    forbidden = set()
    for folder in build_folders:
        if folder.strip("/"):
            forbidden.add(os.path.abspath(folder))
            forbidden.add(os.path.realpath(folder))
    found = []
    for text in texts(exe):
        if rooted.search(text) or any(folder in text for folder in forbidden):
            found.append(text)
    return found


def main():
    if len(sys.argv) < 2:
        print(__doc__)
        return 2
    exe = sys.argv[1]
    found = build_machine_names(exe, sys.argv[2:])
    if found:
        print("%s names folders of the build machine:" % exe)
        for text in sorted(set(found)):
            print("  %s" % text)
        return 1
    print("%s names no folder of the build machine; it names: %s" % (exe, ", ".join(named_folders(exe)) or "none"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
