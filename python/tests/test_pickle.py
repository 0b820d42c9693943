"""Problems pickle through their exact JSON dump; results and certificates
unpickle as plain records with the same attributes and the same JSON."""

from __future__ import annotations

import multiprocessing
import pickle
from concurrent.futures import ProcessPoolExecutor
from types import GetSetDescriptorType

import numpy as np
import pytest

import _morva
import morva
from conftest import infeasible_keywords, positional, small_arrays, unbounded_arrays
from morva import demo

PROTOCOLS = range(pickle.HIGHEST_PROTOCOL + 1)
# Every read-only attribute of the extension's result except the containers.
RESULT_SCALARS = tuple(
    name for name, member in vars(_morva.SolveResult).items()
    if isinstance(member, GetSetDescriptorType) and name not in ("convergence_hints", "weights", "certificate")
)
CERTIFICATE_ARRAYS = ("equality_dual", "inequality_dual", "bound_dual", "direction")


def templated_problem() -> _morva.PortfolioProblem:
    """Every kind of data a dump carries: template rows, turnover anchors, open box sides."""
    arrays = small_arrays(6, 2)
    return _morva.PortfolioProblem(
        *positional(arrays),
        lower_bounds=np.array([-np.inf, 0.0, 0.0, -0.1, 0.0, 0.0]),
        upper_bounds=np.array([0.5, np.inf, 0.5, 0.5, 0.5, 0.5]),
        previous_weights=np.full(6, 1 / 6),
        turnover_penalty=0.3,
        l1_turnover_costs=0.002,
        benchmark_weights=np.linspace(1, 2, 6) / np.linspace(1, 2, 6).sum(),
        industry_ids=[0, 1, 0, 1, 2, 2],
        max_weight=0.4,
    )


PROBLEMS = {
    "small": lambda: _morva.PortfolioProblem(*positional(small_arrays())),
    "templated": templated_problem,
    "demo": lambda: demo.build_problem(demo.synthetic_model(150, 6, 11)),
}


def same_bits(a: np.ndarray, b: np.ndarray) -> bool:
    return a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes()


@pytest.mark.parametrize("protocol", PROTOCOLS)
@pytest.mark.parametrize("build", PROBLEMS.values(), ids=PROBLEMS.keys())
def test_problem_round_trip_keeps_the_dump_and_solves_bit_for_bit(build, protocol):
    problem = build()
    copy = pickle.loads(pickle.dumps(problem, protocol=protocol))
    assert type(copy) is _morva.PortfolioProblem and copy is not problem
    assert copy.to_json() == problem.to_json()
    assert same_bits(copy.solve().weights, problem.solve().weights)


def solved():
    return _morva.PortfolioProblem(*positional(small_arrays())).solve()


def primal_infeasible():
    return _morva.PortfolioProblem(*positional(small_arrays(3)), **infeasible_keywords()).solve(raise_on_failure=False)


def dual_infeasible():
    arrays = unbounded_arrays()
    return _morva.solve_mean_variance_factor(
        arrays.pop("factors"), arrays.pop("omega"), arrays.pop("specific_variance"), arrays.pop("expected_returns"),
        raise_on_failure=False, **arrays,
    )


def unfinished():
    return templated_problem().solve(max_iterations=3, polish=False, raise_on_failure=False)


RESULTS = {"solved": solved, "primal": primal_infeasible, "dual": dual_infeasible, "unfinished": unfinished}


def assert_same_result(record, result) -> None:
    for name in RESULT_SCALARS:
        got, expected = getattr(record, name), getattr(result, name)
        assert type(got) is type(expected), name
        assert got == expected or (isinstance(got, float) and np.isnan(got) and np.isnan(expected)), name
    assert record.convergence_hints == result.convergence_hints
    assert same_bits(record.weights, result.weights)
    assert record.to_json() == result.to_json()
    assert repr(record) == repr(result)
    if result.certificate is None:
        assert record.certificate is None
        return
    assert record.certificate.kind == result.certificate.kind
    assert repr(record.certificate) == repr(result.certificate)
    for name in CERTIFICATE_ARRAYS:
        expected, got = getattr(result.certificate, name), getattr(record.certificate, name)
        assert (got is None) == (expected is None), name
        assert expected is None or same_bits(got, expected), name


@pytest.mark.parametrize("protocol", PROTOCOLS)
@pytest.mark.parametrize("make", RESULTS.values(), ids=RESULTS.keys())
def test_results_unpickle_as_records_equal_to_the_original(make, protocol):
    result = make()
    record = pickle.loads(pickle.dumps(result, protocol=protocol))
    assert isinstance(record, morva.SolveResultRecord)
    assert_same_result(record, result)
    again = pickle.loads(pickle.dumps(record, protocol=protocol))
    assert_same_result(again, result)


def test_the_attribute_list_is_the_result_surface():
    assert RESULT_SCALARS == ("status", "objective", "primal_residual", "dual_residual", "complementarity",
                              "iterations", "solve_time_seconds", "final_rho", "rho_updates", "polished")


def test_the_statuses_cover_every_certificate_kind():
    kinds = {name: make().certificate for name, make in RESULTS.items()}
    assert kinds["solved"] is None and kinds["unfinished"] is None
    assert kinds["primal"].kind == "primal" and kinds["dual"].kind == "dual"


@pytest.mark.parametrize("make", [primal_infeasible, dual_infeasible])
def test_certificates_pickle_alone_as_records(make):
    certificate = make().certificate
    record = pickle.loads(pickle.dumps(certificate, protocol=5))
    assert isinstance(record, morva.CertificateRecord)
    assert repr(record) == repr(certificate)
    for name in CERTIFICATE_ARRAYS:
        expected = getattr(certificate, name)
        assert (getattr(record, name) is None) == (expected is None)
        assert expected is None or same_bits(getattr(record, name), expected)


def test_protocol_5_carries_the_arrays_out_of_band():
    result = demo.build_problem(demo.synthetic_model(150, 6, 11)).solve()
    buffers: list[pickle.PickleBuffer] = []
    payload = pickle.dumps(result, protocol=5, buffer_callback=buffers.append)
    assert buffers, "the weights should travel as an out-of-band buffer"
    assert sum(memoryview(b).nbytes for b in buffers) >= result.weights.nbytes
    record = pickle.loads(payload, buffers=buffers)
    assert_same_result(record, result)


def test_record_arrays_and_hints_are_fresh_copies():
    record = pickle.loads(pickle.dumps(primal_infeasible()))
    record.weights[:] = 7.0
    record.certificate.bound_dual[:] = 7.0
    record.convergence_hints.append("changed")
    assert not np.any(record.weights == 7.0)
    assert not np.any(record.certificate.bound_dual == 7.0)
    assert "changed" not in record.convergence_hints


def _solve_in_child(problem):
    return problem.solve()


def test_problems_and_results_cross_a_process_boundary():
    problems = [build() for build in PROBLEMS.values()]
    with ProcessPoolExecutor(max_workers=1, mp_context=multiprocessing.get_context("spawn")) as pool:
        records = list(pool.map(_solve_in_child, problems))
    for problem, record in zip(problems, records):
        assert isinstance(record, morva.SolveResultRecord)
        assert same_bits(record.weights, problem.solve().weights)
