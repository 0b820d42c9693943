"""Command line: ``python -m morva demo``."""

from __future__ import annotations

import argparse
import sys


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m morva", description="morva portfolio optimiser")
    commands = parser.add_subparsers(dest="command", required=True)
    demo = commands.add_parser("demo", help="solve a built-in synthetic portfolio and summarise it")
    demo.add_argument("--assets", type=int, default=400, help="number of assets (default 400)")
    demo.add_argument("--factors", type=int, default=12, help="number of risk factors (default 12)")
    demo.add_argument("--seed", type=int, default=7, help="seed of the synthetic model (default 7)")
    arguments = parser.parse_args(argv)

    from morva.demo import run_demo

    return run_demo(assets=arguments.assets, factors=arguments.factors, seed=arguments.seed)


if __name__ == "__main__":
    sys.exit(main())
