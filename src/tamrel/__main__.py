"""``python -m tamrel report ...``: the package's command line."""

import sys

_USAGE = "usage: python -m tamrel report DATA --target COLUMN (--model FILE | --prediction COLUMN) [options]\n" \
         "       python -m tamrel report --help"


def main(argv=None):
    args = sys.argv[1:] if argv is None else list(argv)
    if not args or args[0] in ("-h", "--help"):
        print(_USAGE)
        return 0 if args else 2
    if args[0] != "report":
        print(f"tamrel: error: unknown command {args[0]!r}\n{_USAGE}", file=sys.stderr)
        return 2
    from .report.cli import main as report

    return report(args[1:])


if __name__ == "__main__":
    sys.exit(main())
