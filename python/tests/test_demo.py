"""The built-in demo: it runs from the command line and its portfolio obeys
the constraints the demo claims."""

from __future__ import annotations

import os
import subprocess
import sys

import numpy as np
import pytest

import _morva
from morva import demo


def test_demo_command_solves_and_summarises():
    env = dict(os.environ)
    package_root = os.path.dirname(os.path.dirname(demo.__file__))
    env["PYTHONPATH"] = os.pathsep.join([package_root, os.path.dirname(_morva.__file__), env.get("PYTHONPATH", "")])
    completed = subprocess.run(
        [sys.executable, "-m", "morva", "demo"], capture_output=True, text=True, timeout=120, env=env
    )
    assert completed.returncode == 0, completed.stderr
    lines = completed.stdout.splitlines()
    assert "status            solved" in lines
    for label in ("iterations", "solve time", "ex-ante risk", "active risk", "expected return"):
        assert any(line.startswith(label) for line in lines), label
    assert sum(1 for line in lines if line.startswith("  ") and "%" in line) == demo.TOP_HOLDINGS


@pytest.mark.parametrize(("assets", "factors", "seed"), [(400, 12, 7), (120, 5, 3)])
def test_demo_portfolio_meets_its_constraints(assets, factors, seed):
    model = demo.synthetic_model(assets, factors, seed)
    again = demo.synthetic_model(assets, factors, seed)
    assert np.array_equal(model.factors, again.factors) and np.array_equal(model.benchmark, again.benchmark)
    result = demo.build_problem(model).solve()
    weights = result.weights
    assert result.status == "solved"
    assert abs(weights.sum() - 1.0) < 1e-6
    assert weights.min() > -1e-6 and weights.max() < demo.MAX_WEIGHT + 1e-6
    for industry in range(demo.INDUSTRIES):
        members = model.industry_ids == industry
        assert abs(weights[members].sum() - model.benchmark[members].sum()) < 1e-6
    # The factor-form variance equals the dense quadratic form.
    sigma = np.diag(model.specific_variance) + model.factors @ model.omega @ model.factors.T
    assert demo.portfolio_variance(model, weights) == pytest.approx(weights @ sigma @ weights, rel=1e-12)
