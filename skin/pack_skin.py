#!/usr/bin/env python3
"""Packs the skin files into one zip: deflated entries at the top level, fixed
time stamps so that the same input always gives the same bytes.

Usage: pack_skin.py OUT.zip FILE...
"""
import os
import sys
import zipfile


def main(argv):
    if len(argv) < 3:
        sys.stderr.write("usage: pack_skin.py OUT.zip FILE...\n")
        return 2
    out = argv[1]
    tmp = out + ".tmp"
    with zipfile.ZipFile(tmp, "w", compression=zipfile.ZIP_DEFLATED) as z:
        for path in sorted(argv[2:], key=os.path.basename):
            info = zipfile.ZipInfo(os.path.basename(path), date_time=(2020, 1, 1, 0, 0, 0))
            info.compress_type = zipfile.ZIP_DEFLATED
            info.external_attr = 0o644 << 16
            with open(path, "rb") as f:
                z.writestr(info, f.read())
    os.replace(tmp, out)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
