#!/usr/bin/env python3
"""Fails when a test of a build tree holds other resource locks than its program declares.

usage: resourcelocks.py CTEST TREE DECLARED

DECLARED (written by tests/CMakeLists.txt) holds one line per test program that takes locks: the
program's file name, a blank, and its locks joined by ';'. Every test of TREE, as ctest reads it
(`ctest --show-only=json-v1`), must hold exactly the locks of its program: the first file of its
command that ends in ".exe" or ".py" (a test program under the Wine wrapper, or a Python driver);
a program that declares none holds none. Every declared program must have tests in the tree."""

import json
import os
import subprocess
import sys


def read_declared(path):
    declared = {}
    with open(path) as f:
        for line in f:
            if line.strip():
                program, locks = line.split()
                declared[program] = set(locks.split(";"))
    return declared


def program_of(command):
    for part in command:
        name = os.path.basename(part)
        if name.endswith((".exe", ".py")):
            return name
    return None


def main():
    ctest, tree, declared_path = sys.argv[1:]
    declared = read_declared(declared_path)
    shown = subprocess.run([ctest, "--test-dir", tree, "--show-only=json-v1"], check=True,
                           capture_output=True, text=True).stdout
    faults = []
    seen = set()
    for test in json.loads(shown)["tests"]:
        program = program_of(test.get("command", []))
        seen.add(program)
        held = set()
        for prop in test.get("properties", []):
            if prop["name"] == "RESOURCE_LOCK":
                held = set(prop["value"])
        expected = declared.get(program, set())
        if held != expected:
            faults.append("%s: holds %s, %s declares %s"
                          % (test["name"], sorted(held), program, sorted(expected)))
    for program in sorted(set(declared) - seen):
        faults.append("%s declares locks but has no test in %s" % (program, tree))
    for fault in faults:
        print(fault)
    if faults:
        sys.exit(1)
    print("every test of %s holds the locks its program declares" % tree)


if __name__ == "__main__":
    main()
