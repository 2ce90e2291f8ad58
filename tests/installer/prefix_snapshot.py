#!/usr/bin/env python3
"""Lists what a Wine prefix holds: every file and folder under drive_c, and every registry key
and value of the machine's and the user's hive, one per line, sorted.

    prefix_snapshot.py <prefix>                  the list, on standard output
    prefix_snapshot.py <prefix> --since <list>   what is there now and was not in <list>

Lines: "file <path under drive_c>", "key <HKLM|HKCU>\\<key>", "value <HKLM|HKCU>\\<key>\\:<name>"
("@" names a key's default value). Letter case is kept as the prefix has it; paths and keys are
compared without regard to case, as Windows does."""

import os
import re
import sys

HIVES = {"system.reg": "HKLM", "user.reg": "HKCU"}
SECTION = re.compile(r'^\[(.*)\]( \d+)?$')
VALUE = re.compile(r'^(@|"((?:[^"\\]|\\.)*)")=')


def unescape(text):
    return re.sub(r'\\(.)', r'\1', text)


def registry(prefix):
    for file_name, hive in HIVES.items():
        key = None
        with open(os.path.join(prefix, file_name), encoding="utf-8", errors="replace") as f:
            for line in f:
                line = line.rstrip("\n")
                m = SECTION.match(line)
                if m:
                    key = hive + "\\" + unescape(m.group(1))
                    yield "key " + key
                    continue
                if key is None:
                    continue
                m = VALUE.match(line)
                if m:
                    name = "@" if m.group(1) == "@" else unescape(m.group(2))
                    yield "value " + key + "\\:" + name


def files(prefix):
    root = os.path.join(prefix, "drive_c")
    for folder, dirs, names in os.walk(root):
        for name in dirs + names:
            yield "file " + os.path.relpath(os.path.join(folder, name), root)


def snapshot(prefix):
    return sorted(set(registry(prefix)) | set(files(prefix)))


def main():
    prefix = sys.argv[1]
    now = snapshot(prefix)
    if len(sys.argv) == 4 and sys.argv[2] == "--since":
        with open(sys.argv[3], encoding="utf-8") as f:
            before = {line.rstrip("\n").lower() for line in f}
        now = [line for line in now if line.lower() not in before]
    for line in now:
        print(line)


if __name__ == "__main__":
    main()
