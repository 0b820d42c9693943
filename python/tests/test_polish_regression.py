"""Polishing of books with many assets at their bounds.

On each of these problems the first active-set solve once lost its accuracy
to the rounding of its capacitance, so that polishing was refused and the
solve returned the ADMM iterate, up to 1e-2 from the optimum in the weights.
The reference weights and objective are those of a solve at tolerances 1e-10;
polished, the default tolerances reach them within 3.4e-7 (weights) and
2e-9 (objective, relative to max(1, |f|)).
"""

from __future__ import annotations

import gzip
import json
import pathlib

import numpy as np
import pytest

import _morva

CASES = sorted((pathlib.Path(__file__).parent / "data" / "polish_regression").glob("*.json.gz"))


def test_the_cases_are_present():
    assert len(CASES) == 4


@pytest.mark.parametrize("path", CASES, ids=lambda path: path.name.split(".")[0])
def test_polishes_to_the_reference(path):
    case = json.loads(gzip.decompress(path.read_bytes()))
    problem = _morva.PortfolioProblem.from_json(json.dumps(case["problem"]))
    result = problem.solve()
    assert result.status == "solved"
    assert result.polished
    np.testing.assert_allclose(result.weights, case["reference_weights"], rtol=0.0, atol=1e-6)
    reference = case["reference_objective"]
    assert abs(result.objective - reference) <= 1e-8 * max(1.0, abs(reference))
