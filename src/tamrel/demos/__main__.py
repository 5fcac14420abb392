"""Run the demonstrations: ``python -m tamrel.demos [output folder]``."""

import argparse

from . import frailzone_demo, report_demo, scan_demo, xgb2_demo

_DEFAULT_OUT = "tamrel_demo_output"


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="python -m tamrel.demos",
        description="Run tamrel's demonstrations on data that scikit-learn ships: weak regions of a model "
                    "(FrailZone), a scan of every feature and pair (FrailScan), depth-2 boosted trees (XGB2) and a "
                    "validation report. Prints the tables and writes the figures, report.html and report.json.")
    parser.add_argument("out_dir", nargs="?", default=_DEFAULT_OUT,
                        help=f"folder for the figures and the report (default: {_DEFAULT_OUT})")
    args = parser.parse_args(argv)
    frailzone_demo.run(args.out_dir)
    scan_demo.run(args.out_dir)
    xgb2_demo.run()
    report_demo.run(args.out_dir)


if __name__ == "__main__":
    main()
