"""The morva command: solve, explain and demo, with exit status 0, 1 or 2."""

from __future__ import annotations

import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import _morva
from conftest import infeasible_keywords, positional, small_arrays, unbounded_arrays
import morva
from morva import cli, demo


def solved_problem() -> _morva.PortfolioProblem:
    return demo.build_problem(demo.synthetic_model(60, 4, 2))


def infeasible_problem() -> _morva.PortfolioProblem:
    return _morva.PortfolioProblem(*positional(small_arrays(3)), **infeasible_keywords())


def unbounded_problem() -> _morva.PortfolioProblem:
    arrays = unbounded_arrays()
    return _morva.PortfolioProblem(*positional(arrays), lower_bounds=arrays["lower_bounds"],
                                   upper_bounds=arrays["upper_bounds"])


PROBLEMS = {"solved": solved_problem, "infeasible": infeasible_problem, "unbounded": unbounded_problem}


@pytest.fixture
def files(tmp_path: Path) -> dict[str, Path]:
    paths = {name: tmp_path / f"{name}.json" for name in PROBLEMS}
    for name, build in PROBLEMS.items():
        paths[name].write_text(build().to_json())
    return paths


def run(capsys, *argv: str) -> tuple[int, str, str]:
    status = cli.main(list(argv))
    out, err = capsys.readouterr()
    return status, out, err


def test_solve_prints_a_summary_and_writes_the_result(files, tmp_path, capsys):
    out_file = tmp_path / "result.json"
    status, out, err = run(capsys, "solve", str(files["solved"]), "--out", str(out_file))
    assert (status, err) == (0, "")
    expected = morva.solve(solved_problem())
    lines = out.splitlines()
    assert "status            solved" in lines
    assert f"iterations        {expected.iterations}" in lines
    top = int(np.argmax(expected.weights))
    assert any(line.startswith(f"  asset {top:5d}") for line in lines)
    written = json.loads(out_file.read_text())
    assert written["status"] == "Solved"
    assert np.array_equal(np.array(written["x"]), expected.weights)


def test_solve_to_standard_output_and_solver_options(files, capsys):
    status, out, _ = run(capsys, "solve", str(files["solved"]), "--out", "-", "--no-polish", "--rho", "0.5")
    expected = morva.solve(solved_problem(), polish=False, rho=0.5)
    assert status == 0
    dump = json.loads(out)
    assert dump["polished"] is False and dump["iterations"] == expected.iterations
    assert np.array_equal(np.array(dump["x"]), expected.weights)
    status, out, _ = run(capsys, "solve", str(files["solved"]), "--max-iterations", "2", "--no-polish")
    assert status == 1
    assert "status            maximum iterations reached" in out.splitlines()


def test_reference_flag_solves_under_the_reference_rules(files, capsys):
    status, out, _ = run(capsys, "solve", str(files["solved"]), "--out", "-", "--reference")
    expected = solved_problem().solve()
    dump = json.loads(out)
    assert status == 0 and dump["iterations"] == expected.iterations
    assert np.array_equal(np.array(dump["x"]), expected.weights)


def test_infeasible_problems_exit_1_and_are_explained(files, capsys):
    status, out, _ = run(capsys, "solve", str(files["infeasible"]))
    assert status == 1 and "status            primal infeasible" in out.splitlines()
    status, out, _ = run(capsys, "explain", str(files["infeasible"]))
    result = morva.solve(infeasible_problem(), raise_on_failure=False)
    assert status == 1
    assert out.splitlines()[0] == f"status: primal infeasible after {result.iterations} iterations"
    for hint in result.convergence_hints:
        assert f"  - {hint}" in out.splitlines()
    # The cap x₀ + x₁ ≤ 0.2 and the boxes of the three assets take part.
    assert "inequality caps: inequality row 0 with weight +" in out
    assert "the budget (sum of weights = 1)" in out


def test_unbounded_problems_exit_1_and_name_the_direction(files, capsys):
    result = morva.solve(unbounded_problem(), raise_on_failure=False)
    assert result.status == "dual infeasible"
    status, out, _ = run(capsys, "explain", str(files["unbounded"]))
    assert status == 1
    assert "the objective is unbounded below" in out
    # The riskless long-short ray x₀ − x₁: both assets are cited, with opposite signs.
    direction = result.certificate.direction
    for asset in (0, 1):
        assert f"    asset {asset}: {direction[asset]:+.3f}" in out.splitlines()
    assert np.sign(direction[0]) == -np.sign(direction[1])


def test_explain_on_a_solved_problem(files, capsys):
    status, out, _ = run(capsys, "explain", str(files["solved"]))
    assert status == 0
    assert out.startswith("status: solved after ")
    assert "no infeasibility certificate" in out


@pytest.mark.parametrize(
    ("content", "message"),
    [
        ('{"expected_returns": [1.0]}', "missing field `covariance` at line 1 column"),
        ("not json", " at line 1 column "),
        (None, "trailing characters at line 1 column"),
        (b"\xff\xfe", "codec can't decode"),
    ],
    ids=["missing field", "syntax", "trailing", "not utf-8"],
)
def test_unreadable_input_exits_2_with_the_reader_message(tmp_path, capsys, content, message):
    path = tmp_path / "broken.json"
    if content is None:
        content = solved_problem().to_json() + " {}"
    if isinstance(content, bytes):
        path.write_bytes(content)
    else:
        path.write_text(content)
    for command in ("solve", "explain"):
        status, out, err = run(capsys, command, str(path))
        assert (status, out) == (2, "")
        assert err.startswith(f"morva: {path}: ") and message in err


def test_missing_file_and_refused_options_exit_2(files, tmp_path, capsys):
    status, _, err = run(capsys, "solve", str(tmp_path / "nowhere.json"))
    assert status == 2 and "No such file or directory" in err
    status, out, err = run(capsys, "solve", str(files["solved"]), "--over-relaxation", "2.0")
    assert (status, out) == (2, "") and "over_relaxation" in err


def package_environment() -> dict:
    env = dict(os.environ)
    roots = [os.path.dirname(os.path.dirname(cli.__file__)), os.path.dirname(_morva.__file__)]
    env["PYTHONPATH"] = os.pathsep.join([*roots, env.get("PYTHONPATH", "")])
    return env


@pytest.mark.parametrize("launcher", ["module", "script"])
def test_the_command_runs_as_a_module_and_as_a_script(files, launcher):
    script = shutil.which("morva", path=os.path.dirname(sys.executable))
    if launcher == "script" and script is None:
        pytest.skip("the morva console script is not installed next to this interpreter")
    command = [sys.executable, "-m", "morva"] if launcher == "module" else [script]
    for name, expected in (("solved", 0), ("infeasible", 1)):
        completed = subprocess.run(
            [*command, "solve", str(files[name])], capture_output=True, text=True, timeout=120, env=package_environment()
        )
        assert completed.returncode == expected, completed.stderr


def test_labelled_dumps_are_explained_in_their_labels(tmp_path, capsys):
    pd = pytest.importorskip("pandas")
    from morva.labels import LabelledProblem

    arrays, names = small_arrays(3), ["ACME", "BOLT", "CORE"]
    keywords = infeasible_keywords()
    labelled = LabelledProblem(
        pd.DataFrame(arrays["factors"], index=names, columns=["f1", "f2"]), arrays["omega"],
        dict(zip(names, arrays["specific_variance"])), dict(zip(names, arrays["expected_returns"])),
        upper_bounds=0.5, inequality_matrix=pd.DataFrame(keywords["inequality_matrix"], index=["pair cap"], columns=names),
        inequality_rhs={"pair cap": 0.2})
    path = tmp_path / "labelled.json"
    path.write_text(labelled.to_json())
    status, out, _ = run(capsys, "explain", str(path))
    assert status == 1
    assert "inequality caps: pair cap with weight +" in out and "asset CORE with weight" in out
    assert "inequality row 0" not in out and "asset 2" not in out
    result = labelled.solve(raise_on_failure=False)
    for hint in result.convergence_hints:  # the hints, relabelled, as the labelled API gives them
        assert f"  - {hint}" in out.splitlines()
    status, out, _ = run(capsys, "solve", str(path))
    top = result.weights.idxmax()
    assert status == 1 and any(line.startswith(f"  asset {top}  ") for line in out.splitlines())


def test_an_unreachable_budget_is_infeasible_not_unreadable(tmp_path, capsys):
    path = tmp_path / "budget.json"
    path.write_text(_morva.PortfolioProblem(*positional(small_arrays(3)), budget=7.0).to_json())
    reason = "budget 7 is impossible under the box constraints: reachable sum is [0, 3]"
    for command, first in (("solve", "status            primal infeasible (before any iteration)"),
                           ("explain", "status: primal infeasible before any iteration")):
        status, out, err = run(capsys, command, str(path))
        assert (status, err) == (1, "") and out.splitlines()[0] == first and reason in out
    status, out, err = run(capsys, "solve", str(path), "--out", "-")
    assert (status, out) == (1, "") and reason in err
    completed = subprocess.run([sys.executable, "-m", "morva", "solve", str(path)], capture_output=True, text=True,
                               timeout=120, env=package_environment())
    assert completed.returncode == 1 and reason in completed.stdout


def test_a_reader_that_goes_away_ends_the_command_quietly(files):
    """`morva solve ... | head`: the pipe's read end is closed before the command writes."""
    process = subprocess.Popen([sys.executable, "-m", "morva", "solve", str(files["solved"]), "--out", "-"],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=package_environment())
    process.stdout.close()
    _, err = process.communicate(timeout=120)
    assert (process.returncode, err.decode()) == (cli.BROKEN_PIPE, "")
