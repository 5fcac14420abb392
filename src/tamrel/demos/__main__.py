"""Run the demonstrations: ``python -m tamrel.demos [output folder]``."""

import sys

from . import frailzone_demo, scan_demo, xgb2_demo


def main(argv=None):
    args = sys.argv[1:] if argv is None else argv
    frailzone_demo.run(*(args[:1]))
    scan_demo.run(*(args[:1]))
    xgb2_demo.run()


if __name__ == "__main__":
    main()
