#!/usr/bin/env python3
"""Generates the C++ of the aai binding from the interface description.

    aaigen.py --idl idl/aai.idl --out <dir>       writes every generated file under <dir>
    aaigen.py --idl idl/aai.idl --list            prints the relative paths it would write

Errors in the description are printed as 'file:line: error: message'; then nothing is written.
"""
import argparse
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from aaigen import emitters  # noqa: E402
from aaigen.model import DescriptionError  # noqa: E402
from aaigen.output import Output  # noqa: E402
from aaigen.parser import parse_file  # noqa: E402


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--idl", required=True)
    ap.add_argument("--out")
    ap.add_argument("--list", action="store_true")
    args = ap.parse_args()
    try:
        model = parse_file(args.idl, os.path.relpath(args.idl))
    except DescriptionError as e:
        print(e, file=sys.stderr)
        return 1
    except OSError as e:
        print(f"{args.idl}: error: {e.strerror}", file=sys.stderr)
        return 1
    out = Output()
    for emit in emitters.ALL:
        emit(model, out)
    if args.list:
        print("\n".join(sorted(out.files)))
    elif args.out:
        out.write(args.out)
    else:
        ap.error("give --out or --list")
    return 0


if __name__ == "__main__":
    sys.exit(main())
