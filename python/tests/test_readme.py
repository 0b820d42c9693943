"""The README's usage examples run as written."""

from __future__ import annotations

import re
from pathlib import Path

import pytest

README = Path(__file__).resolve().parents[2] / "README.md"
SECTION = "## Usage: "
WALKTHROUGH = "## Walkthrough: a rolling backtest"


def usage_blocks(title: str = SECTION) -> list[str]:
    """The python code blocks of a section (the usage section by default), in order."""
    text = README.read_text(encoding="utf-8")
    start = text.index(title)
    end = text.find("\n## ", start + len(title))
    section = text[start:] if end < 0 else text[start:end]
    return re.findall(r"```python\n(.*?)```", section, flags=re.DOTALL)


def run_section(title: str, tmp_path, monkeypatch, name: str = "readme") -> dict:
    """Runs a section's blocks in order in one namespace, in tmp_path; returns the namespace."""
    for module in ("pandas", "matplotlib"):
        pytest.importorskip(module)
    monkeypatch.chdir(tmp_path)
    namespace: dict = {"__name__": name}
    for number, block in enumerate(usage_blocks(title)):
        exec(compile(block, f"README {title!r} block {number}", "exec"), namespace)
    return namespace


def test_the_walkthrough_runs(tmp_path, monkeypatch, capsys):
    run_section("## Walkthrough: from a returns table", tmp_path, monkeypatch, "__main__")
    assert (tmp_path / "goals.png").read_bytes()[:4] == b"\x89PNG"
    assert "target risk 0.05 is outside the achievable range [0.090221, 0.139865]" in capsys.readouterr().out


def test_the_usage_section_has_an_example_per_capability():
    blocks = usage_blocks()
    for needle in ("pickle.loads", "LabelledProblem", "labels.solve_batch", "cli.main", "distributed.solve_batch",
                   "efficient_frontier"):
        assert sum(needle in block for block in blocks) == 1, needle


def test_usage_examples_run(tmp_path, monkeypatch, capsys):
    for module in ("pandas", "distributed", "matplotlib"):
        pytest.importorskip(module)
    monkeypatch.chdir(tmp_path)
    namespace: dict = {"__name__": "__main__"}  # the examples run as a script would, guarded blocks too
    for number, block in enumerate(usage_blocks()):
        exec(compile(block, f"README usage block {number}", "exec"), namespace)
    assert (tmp_path / "frontier.png").read_bytes()[:4] == b"\x89PNG"
    out = capsys.readouterr().out
    assert "expected_returns has no entry for asset 'stock 7'" in out
    assert "industry 45102010" in out and "industry -1" in out
    assert "results" in namespace and "books" in namespace  # the guarded Dask block and the labelled batch ran


def test_the_backtest_walkthrough_runs(tmp_path, monkeypatch, capsys):
    run_section(WALKTHROUGH, tmp_path, monkeypatch)
    assert (tmp_path / "backtest.png").read_bytes()[:4] == b"\x89PNG"
    out = capsys.readouterr().out
    assert "information ratio" in out and "(36, 60) 0.0" in out and out.rstrip().endswith("2 1")


def test_the_fundamental_walkthrough_runs(tmp_path, monkeypatch, capsys):
    namespace = run_section("## Walkthrough: a fundamental risk model and a 130/30 book", tmp_path, monkeypatch)
    assert (tmp_path / "risk.png").read_bytes()[:4] == b"\x89PNG"
    weights = namespace["result"].weights.groupby(namespace["sectors"]).sum()
    assert 0.05 - 1e-9 <= weights["Energy"] <= 0.12 + 1e-9 and weights["Utilities"] <= 0.10 + 1e-9
    assert namespace["weights"].abs().sum() == pytest.approx(1.6, abs=1e-9)  # the limit binds
    assert capsys.readouterr().out.rstrip().endswith("True")


def test_the_sparse_exposures_example_runs(tmp_path, monkeypatch, capsys):
    pytest.importorskip("scipy")
    run_section("## The model", tmp_path, monkeypatch)
    assert capsys.readouterr().out == "solved\n"
