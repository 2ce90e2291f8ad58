#!/usr/bin/env python3
"""Mends a widl 7 fault in stubless (-Oif) proxy code before it is compiled.

For a top-level `[out, string] LPWSTR *` parameter widl describes the parameter with
        FC_RP [allocated_on_stack] [pointer_deref]  -> FC_OP [simple_pointer] -> FC_C_WSTRING
but the parameter's "type offset" in the procedure format string points at the FC_OP (the
pointee) instead of at the FC_RP descriptor. Across processes the string is then lost: the
call returns S_OK and the caller's pointer stays NULL. For `[out, string, size_is(,n)]
LPWSTR **` the offset lands one FC_OP level deeper, on the array of strings.

The mend sets such a parameter's type offset to that of its FC_RP descriptor, which is what
the descriptor chain means. Only the offset table entry changes; the bytes on the wire do not.

The generated file must have exactly the shape described above; anything unexpected (a
different number of parameters to mend, a different set of methods, a descriptor that does
not look as expected) stops the build with a non-zero exit code.

Usage:
  fix-widl-proxy.py --input X_p.widl.c --output X_p.c --count N [--expect Iface::Method.param ...]
"""

import argparse
import os
import re
import sys

PROG = "fix-widl-proxy"

RE_OFFSET_MARK = re.compile(r"^/\*\s*(\d+)(?:\s+\((.*)\))?\s*\*/\s*$")
RE_RP_DEREF = re.compile(r"^0x11,\s*0x14,\s*/\*\s*FC_RP \[allocated_on_stack\] \[pointer_deref\]\s*\*/$")
RE_SHORT = re.compile(r"^NdrFcShort\((0x[0-9a-fA-F]+)\),\s*(?:/\*\s*(.*?)\s*\*/)?$")
RE_OP_SIMPLE = re.compile(r"^0x13,\s*0x8,\s*/\*\s*FC_OP \[simple_pointer\]\s*\*/$")
RE_OP = re.compile(r"^0x13,\s*0x0,\s*/\*\s*FC_OP\s*\*/$")
RE_UP_SIMPLE = re.compile(r"^0x12,\s*0x8,\s*/\*\s*FC_UP \[simple_pointer\]\s*\*/$")
RE_WSTRING = re.compile(r"^0x25,\s*/\*\s*FC_C_WSTRING\s*\*/$")
RE_PTR_ARRAY = re.compile(r"^0x(?:21|1b),\s*/\*\s*FC_(?:BOGUS_ARRAY|CARRAY)\s*\*/$")
RE_ANY_POINTER = re.compile(r"^0x1[1-4],\s*0x[0-9a-fA-F]+,")
RE_TYPE_OFFSET = re.compile(r"^(\s*)NdrFcShort\((0x[0-9a-fA-F]+)\),(\s*)/\*\s*type offset = (\d+)\s*\*/\s*$")
RE_FLAGS = re.compile(r"^\s*NdrFcShort\((0x[0-9a-fA-F]+)\),\s*/\*\s*flags:\s*(.*?)\s*\*/\s*$")


class ShapeError(Exception):
    pass


def find_array(lines, name):
    """Line range (first, end) of the body of the initializer of `name`."""
    start = None
    for i, line in enumerate(lines):
        if re.match(r"^static const MIDL_(?:TYPE|PROC)_FORMAT_STRING\s+%s\s*=" % re.escape(name), line):
            start = i
            break
    if start is None:
        raise ShapeError(f"no initializer of {name} found")
    for j in range(start + 1, len(lines)):
        if lines[j].startswith("};"):
            return start + 1, j
    raise ShapeError(f"initializer of {name} is not terminated")


def split_entries(lines, first, end):
    """Entries of a format string: offset -> (label, [stripped lines up to the next mark])."""
    entries = {}
    current = None
    for i in range(first, end):
        m = RE_OFFSET_MARK.match(lines[i].strip())
        if m:
            current = int(m.group(1))
            entries[current] = (m.group(2) or "", [])
        elif current is not None:
            text = lines[i].strip()
            if text:
                entries[current][1].append(text)
    return entries


def code_lines(entries, offset, at_least):
    """At least `at_least` stripped lines from `offset` on, across the following offset marks."""
    if offset not in entries:
        raise ShapeError(f"type format string has no entry at offset {offset}")
    out = []
    for off in sorted(o for o in entries if o >= offset):
        out.extend(entries[off][1])
        if len(out) >= at_least:
            break
    return out


def string_targets(entries):
    """Maps each offset that widl wrongly uses for a string out-parameter to its FC_RP offset."""
    targets = {}
    for offset, (label, body) in sorted(entries.items()):
        if len(body) < 2 or not RE_RP_DEREF.match(body[0]):
            continue
        m = RE_SHORT.match(body[1])
        if not m or int(m.group(1), 16) != 2:
            continue  # the pointee lies elsewhere: widl got this one right
        pointee = offset + 4
        if m.group(2) and f"({pointee})" not in m.group(2):
            raise ShapeError(f"FC_RP at {offset}: comment '{m.group(2)}' does not name offset {pointee}")
        if pointee not in entries:
            raise ShapeError(f"FC_RP at {offset} ({label}): no entry at its pointee {pointee}")
        p = entries[pointee][1]
        if p and RE_OP_SIMPLE.match(p[0]):
            # LPWSTR *: FC_RP -> FC_OP [simple_pointer] -> FC_C_WSTRING
            nxt = code_lines(entries, pointee, 2)
            if len(nxt) < 2 or not RE_WSTRING.match(nxt[1]):
                raise ShapeError(f"FC_RP at {offset} ({label}): FC_OP at {pointee} is not followed by FC_C_WSTRING")
            targets[pointee] = (offset, label)
        elif p and RE_OP.match(p[0]):
            # LPWSTR **: FC_RP -> FC_OP -> (Offset= 2) conformant array whose element pointer
            # (the first pointer described after the array header) is FC_UP -> FC_C_WSTRING
            if len(p) < 2:
                raise ShapeError(f"FC_OP at {pointee}: offset word missing")
            m2 = RE_SHORT.match(p[1])
            if not m2:
                raise ShapeError(f"FC_OP at {pointee}: unexpected offset word '{p[1]}'")
            if int(m2.group(1), 16) != 2:
                continue  # not the shape widl gets wrong
            array = pointee + 4
            body2 = code_lines(entries, array, 64)
            if not body2 or not RE_PTR_ARRAY.match(body2[0]):
                raise ShapeError(f"FC_RP at {offset} ({label}): no conformant array at {array}")
            first_ptr = next((k for k in range(1, len(body2)) if RE_ANY_POINTER.match(body2[k])), None)
            if (first_ptr is None or first_ptr + 1 >= len(body2) or not RE_UP_SIMPLE.match(body2[first_ptr])
                    or not RE_WSTRING.match(body2[first_ptr + 1])):
                raise ShapeError(f"FC_RP at {offset} ({label}): the array at {array} is not an array of strings")
            targets[array] = (offset, label)
    return targets


def mend(lines, expected_count, expected_names):
    t_first, t_end = find_array(lines, "__MIDL_TypeFormatString")
    p_first, p_end = find_array(lines, "__MIDL_ProcFormatString")
    targets = string_targets(split_entries(lines, t_first, t_end))

    mended = []
    procedure = None
    parameter = None
    flags = None
    for i in range(p_first, p_end):
        line = lines[i]
        m = RE_OFFSET_MARK.match(line.strip())
        if m:
            label = m.group(2) or ""
            if label.startswith("procedure "):
                procedure = label[len("procedure "):]
                parameter = None
            elif label.startswith("parameter "):
                parameter = label[len("parameter "):]
            else:
                parameter = None
            flags = None
            continue
        mf = RE_FLAGS.match(line)
        if mf:
            flags = [f.strip() for f in mf.group(2).split(",")]
            continue
        mt = RE_TYPE_OFFSET.match(line)
        if not mt:
            continue
        value = int(mt.group(2), 16)
        if value != int(mt.group(4)):
            raise ShapeError(f"{procedure}.{parameter}: type offset 0x{value:x} disagrees with its comment")
        if value not in targets:
            continue
        where = f"{procedure}.{parameter}"
        if procedure is None or parameter is None or flags is None:
            raise ShapeError(f"type offset {value} used outside a recognisable parameter (line {i + 1})")
        if "out" not in flags or "in" in flags or "srv size=8" not in flags:
            raise ShapeError(f"{where}: points at string pointee {value} but its flags are {flags}")
        rp, _ = targets[value]
        lines[i] = f"{mt.group(1)}NdrFcShort(0x{rp:x}),{mt.group(3)}/* type offset = {rp} */\n"
        mended.append((where, value, rp))

    names = [w for w, _, _ in mended]
    if len(mended) != expected_count:
        raise ShapeError(f"expected {expected_count} string out-parameters to mend, found {len(mended)}: "
                         f"{', '.join(names) or 'none'}")
    if expected_names and sorted(expected_names) != sorted(names):
        raise ShapeError(f"mended parameters {sorted(names)} differ from the expected {sorted(expected_names)}")
    return mended


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--input", required=True, help="proxy C file as widl wrote it")
    ap.add_argument("--output", required=True, help="mended proxy C file (written only on success)")
    ap.add_argument("--count", required=True, type=int, help="number of parameters that must be mended")
    ap.add_argument("--expect", action="append", default=[], metavar="IFACE::METHOD.PARAM",
                    help="a parameter that must be among the mended ones (repeatable)")
    args = ap.parse_args()

    try:
        with open(args.input, encoding="utf-8", newline="") as f:
            lines = f.readlines()
        mended = mend(lines, args.count, args.expect)
    except (OSError, ShapeError) as e:
        print(f"{PROG}: error: {args.input}: {e}", file=sys.stderr)
        print(f"{PROG}: error: the generated proxy no longer has the shape this mend expects; "
              f"check the widl version and the IDL before building the proxy DLL", file=sys.stderr)
        return 1

    tmp = args.output + ".tmp"
    with open(tmp, "w", encoding="utf-8", newline="") as f:
        f.writelines(lines)
    os.replace(tmp, args.output)
    detail = ", ".join(f"{w} ({old}->{new})" for w, old, new in mended)
    print(f"{PROG}: {os.path.basename(args.output)}: mended {len(mended)} type offsets: {detail}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
