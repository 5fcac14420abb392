"""Run the demonstrations: ``python -m tamrel.demos``."""

from . import frailzone_demo


def main():
    frailzone_demo.run()


if __name__ == "__main__":
    main()
