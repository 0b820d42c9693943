"""The module's Python surface: names, final read-only classes, signatures
that agree with the argument parser, docstrings and the stub file."""

from __future__ import annotations

import ast
import inspect
from pathlib import Path
from types import GetSetDescriptorType

import pytest

import _morva
import morva
from conftest import infeasible_keywords, positional, small_arrays

PUBLIC_NAMES = [
    "PortfolioProblem",
    "PortfolioSequence",
    "SolveResult",
    "InfeasibilityCertificate",
    "solve_mean_variance_factor",
    "solve_batch",
]

SOLVER = (
    "max_iterations=10000, absolute_tolerance=1.0e-6, relative_tolerance=1.0e-5, rho=1.0, adaptive_rho=True, "
    "over_relaxation=1.6, scaling_iterations=10, infeasibility_tolerance=1.0e-5, polish=True"
)
PORTFOLIO_KEYWORDS = (
    "factors, omega, specific_variance, expected_returns, *, risk_aversion=1.0, budget=1.0, lower_bounds=None, "
    "upper_bounds=None, equality_matrix=None, equality_rhs=None, inequality_matrix=None, inequality_rhs=None, "
    "previous_weights=None, turnover_penalty=0.0, l1_turnover_costs=None, benchmark_weights=None, "
    "industry_ids=None, industry_targets=None, style_matrix=None, style_lower=None, style_upper=None, "
    "max_weight=None, max_short=None"
)
# Parameter lists as documented (the receiver omitted).
SIGNATURES = {
    "PortfolioProblem": PORTFOLIO_KEYWORDS,
    "PortfolioProblem.solve": f"*, warm_start=None, {SOLVER}, raise_on_failure=True",
    "PortfolioProblem.sequence": f"*, {SOLVER}",
    "PortfolioProblem.to_json": "",
    "PortfolioProblem.from_json": "text",
    "PortfolioSequence.solve_next": (
        "*, expected_returns=None, previous_weights=None, benchmark_weights=None, budget=None, "
        "equality_rhs=None, inequality_rhs=None, raise_on_failure=True"
    ),
    "SolveResult.to_json": "",
    "solve_mean_variance_factor": f"{PORTFOLIO_KEYWORDS}, warm_start=None, {SOLVER}, raise_on_failure=True",
    "solve_batch": f"problems, steps, *, chain_previous_weights=False, {SOLVER}, raise_on_failure=True",
}


def documented_signature(parameters: str) -> inspect.Signature:
    namespace: dict = {}
    exec(f"def documented({parameters}): pass", namespace)
    return inspect.signature(namespace["documented"])


def without_receiver(signature: inspect.Signature) -> inspect.Signature:
    """Drops the `self` of a method looked up on its class."""
    parameters = list(signature.parameters.values())
    if parameters and parameters[0].name == "self" and parameters[0].kind is inspect.Parameter.POSITIONAL_ONLY:
        parameters = parameters[1:]
    return signature.replace(parameters=parameters)


def resolve(dotted: str):
    target = _morva
    for part in dotted.split("."):
        target = getattr(target, part)
    return target


@pytest.fixture(scope="module")
def objects():
    arrays = small_arrays(3)
    problem = _morva.PortfolioProblem(*positional(arrays))
    result = problem.solve()
    infeasible = _morva.PortfolioProblem(*positional(arrays), **infeasible_keywords()).solve(raise_on_failure=False)
    return {
        "problem": problem,
        "sequence": problem.sequence(),
        "result": result,
        "certificate": infeasible.certificate,
    }


def test_module_exposes_exactly_the_six_names_in_order():
    names = [name for name in vars(_morva) if not name.startswith("__")]
    assert names == PUBLIC_NAMES
    assert morva.__all__ == PUBLIC_NAMES
    own = {"PortfolioProblem": morva._problem.PortfolioProblem, "solve_batch": morva.solving.solve_batch,
           "solve_mean_variance_factor": morva.solving.solve_mean_variance_factor}
    for name in PUBLIC_NAMES:
        assert getattr(morva, name) is own.get(name, getattr(_morva, name))


@pytest.mark.parametrize("name", PUBLIC_NAMES[:4])
def test_classes_are_final(name):
    cls = getattr(_morva, name)
    assert cls.__module__ == "_morva"
    with pytest.raises(TypeError):
        type("Derived", (cls,), {})


@pytest.mark.parametrize("name", ["PortfolioSequence", "SolveResult", "InfeasibilityCertificate"])
def test_result_classes_have_no_python_constructor(name):
    cls = getattr(_morva, name)
    with pytest.raises(TypeError):
        cls()
    with pytest.raises(TypeError):
        cls.__new__(cls)


@pytest.mark.parametrize("name", PUBLIC_NAMES[:4])
def test_class_attributes_cannot_be_changed(name):
    cls = getattr(_morva, name)
    with pytest.raises((TypeError, AttributeError)):
        cls.extra = 1
    with pytest.raises((TypeError, AttributeError)):
        cls.__repr__ = lambda self: "x"


READ_ONLY = [
    ("problem", "dimension"),
    ("sequence", "dimension"),
    ("sequence", "factorizations"),
    *[
        ("result", attribute)
        for attribute in (
            "status objective primal_residual dual_residual complementarity iterations solve_time_seconds "
            "final_rho rho_updates polished convergence_hints weights certificate"
        ).split()
    ],
    *[("certificate", attribute) for attribute in "kind equality_dual inequality_dual bound_dual direction".split()],
]


@pytest.mark.parametrize(("owner", "attribute"), READ_ONLY)
def test_attributes_are_read_only(objects, owner, attribute):
    instance = objects[owner]
    before = repr(getattr(instance, attribute))
    with pytest.raises(AttributeError):
        setattr(instance, attribute, 1)
    with pytest.raises(AttributeError):
        delattr(instance, attribute)
    assert repr(getattr(instance, attribute)) == before


@pytest.mark.parametrize("owner", ["problem", "sequence", "result", "certificate"])
def test_instances_take_no_new_attributes(objects, owner):
    with pytest.raises(AttributeError):
        objects[owner].extra = 1


@pytest.mark.parametrize("dotted", sorted(SIGNATURES))
def test_text_signatures_match_the_documented_parameters(dotted):
    assert without_receiver(inspect.signature(resolve(dotted))) == documented_signature(SIGNATURES[dotted])


def test_from_json_is_a_static_method():
    assert isinstance(inspect.getattr_static(_morva.PortfolioProblem, "from_json"), staticmethod)


def default_arguments(signature: inspect.Signature) -> dict:
    return {
        name: parameter.default
        for name, parameter in signature.parameters.items()
        if parameter.default is not inspect.Parameter.empty
    }


def call_every_keyword(dotted: str, objects: dict):
    """Calls the callable with every parameter of its signature by keyword
    (defaults as documented, required ones with valid values)."""
    arrays = small_arrays(3)
    problem = objects["problem"]
    keywords = default_arguments(without_receiver(inspect.signature(resolve(dotted))))
    if dotted in ("PortfolioProblem", "solve_mean_variance_factor"):
        keywords.update(arrays)
    if dotted == "PortfolioProblem.from_json":
        keywords["text"] = problem.to_json()
    if dotted == "solve_batch":
        keywords.update(problems=[problem], steps=[[{}]])
    if dotted == "PortfolioProblem":
        return _morva.PortfolioProblem(**keywords)
    if dotted == "solve_mean_variance_factor":
        return _morva.solve_mean_variance_factor(**keywords)
    if dotted == "solve_batch":
        return _morva.solve_batch(**keywords)
    if dotted == "PortfolioSequence.solve_next":
        return problem.sequence().solve_next(**keywords)
    if dotted == "SolveResult.to_json":
        return objects["result"].to_json(**keywords)
    return getattr(problem, dotted.split(".")[1])(**keywords)


def call_with_nothing_optional(dotted: str, objects: dict):
    arrays = small_arrays(3)
    problem = objects["problem"]
    calls = {
        "PortfolioProblem": lambda: _morva.PortfolioProblem(*positional(arrays)),
        "PortfolioProblem.solve": problem.solve,
        "PortfolioProblem.sequence": problem.sequence,
        "PortfolioProblem.to_json": problem.to_json,
        "PortfolioProblem.from_json": lambda: _morva.PortfolioProblem.from_json(problem.to_json()),
        "PortfolioSequence.solve_next": lambda: problem.sequence().solve_next(),
        "SolveResult.to_json": objects["result"].to_json,
        "solve_mean_variance_factor": lambda: _morva.solve_mean_variance_factor(*positional(arrays)),
        "solve_batch": lambda: _morva.solve_batch([problem], [[{}]]),
    }
    return calls[dotted]()


def fingerprint(value):
    """What must agree between two calls: weights, iteration counts, texts."""
    if isinstance(value, list):
        return [fingerprint(item) for item in value]
    if isinstance(value, _morva.SolveResult):
        return (
            value.status,
            value.iterations,
            value.weights.tolist(),
            value.objective,
            value.primal_residual,
            value.dual_residual,
            value.final_rho,
            value.rho_updates,
            value.polished,
        )
    if isinstance(value, _morva.PortfolioProblem):
        return value.to_json()
    if isinstance(value, _morva.PortfolioSequence):
        return (value.dimension, value.factorizations, fingerprint(value.solve_next()))
    return value


@pytest.mark.parametrize("dotted", sorted(SIGNATURES))
def test_parser_accepts_every_signature_keyword_with_its_documented_default(dotted, objects):
    # The documented defaults must be the parser's own: spelling every one out
    # gives exactly the result of omitting them.
    assert fingerprint(call_every_keyword(dotted, objects)) == fingerprint(call_with_nothing_optional(dotted, objects))


@pytest.mark.parametrize("dotted", sorted(SIGNATURES))
def test_parser_refuses_unknown_keywords_and_extra_positionals(dotted, objects):
    target = {
        "PortfolioProblem.solve": objects["problem"].solve,
        "PortfolioProblem.sequence": objects["problem"].sequence,
        "PortfolioProblem.to_json": objects["problem"].to_json,
        "PortfolioSequence.solve_next": objects["sequence"].solve_next,
        "SolveResult.to_json": objects["result"].to_json,
    }.get(dotted) or resolve(dotted)
    signature = inspect.signature(target)
    positional_count = sum(
        1 for p in signature.parameters.values() if p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
    )
    with pytest.raises(TypeError, match="unexpected keyword argument 'not_a_parameter'|takes no keyword arguments"):
        target(not_a_parameter=1)
    with pytest.raises(TypeError, match="positional argument|takes no arguments"):
        target(*([None] * (positional_count + 1)))


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (
            lambda a: _morva.PortfolioProblem(a["factors"], a["omega"], a["specific_variance"]),
            r"^PortfolioProblem\(\) missing required argument 'expected_returns' \(pos 4\)$",
        ),
        (
            lambda a: _morva.PortfolioProblem(*positional(a), factors=a["factors"]),
            r"^argument for PortfolioProblem\(\) given by name \('factors'\) and position \(1\)$",
        ),
        (
            lambda a: _morva.PortfolioProblem(*positional(a), None),
            r"^PortfolioProblem\(\) takes exactly 4 positional arguments \(5 given\)$",
        ),
        (
            lambda a: _morva.PortfolioProblem(*positional(a))
            .solve(1),
            r"^PortfolioProblem.solve\(\) takes no positional arguments$",
        ),
        (
            lambda a: _morva.solve_batch(problems=[]),
            r"^solve_batch\(\) missing required argument 'steps' \(pos 2\)$",
        ),
        (
            lambda a: _morva.PortfolioProblem(*positional(a), **{"risk_aversion": 1.0, "bad": 1}),
            r"^PortfolioProblem\(\) got an unexpected keyword argument 'bad'$",
        ),
    ],
)
def test_call_shape_errors(call, message):
    with pytest.raises(TypeError, match=message):
        call(small_arrays(3))


def test_keyword_names_built_at_run_time_are_matched():
    arrays = small_arrays(3)
    name = "".join(["risk_", "aversion"])  # not the interned literal
    problem = _morva.PortfolioProblem(*positional(arrays), **{name: 2.0})
    assert '"risk_aversion":2.0' in problem.to_json()


DOCSTRINGS = [
    (lambda: _morva.PortfolioProblem, "A reusable factor mean-variance portfolio specification."),
    (lambda: _morva.solve_mean_variance_factor,
     "Solves a factor mean-variance problem without constructing a reusable class."),
    (lambda: _morva.PortfolioProblem.from_json,
     "Rebuilds a problem from a ``to_json`` dump, re-running the same\nvalidation as construction (roadmap 3.3)."),
    (lambda: _morva.PortfolioProblem.sequence,
     "Builds a rolling solve sequence over this problem's fixed structure.\n\n"
     "Equilibration and reduced factorizations are computed once and reused\n"
     "for every date; warm starts chain automatically."),
    (lambda: _morva.SolveResult.to_json,
     "Serializes the full solver result — weights, every dual multiplier\n"
     "block, residuals, diagnostics, and any infeasibility certificate —\n"
     "to a JSON string for bug reports and reproduction (roadmap 3.3).\n\n"
     "Pair it with ``PortfolioProblem.to_json`` so a report carries both\n"
     "the problem and what Morva returned on it."),
    (lambda: _morva.PortfolioSequence,
     "A rolling rebalance sequence with cached factorizations and chained warm\nstarts."),
    (lambda: _morva.PortfolioSequence.dimension, "Number of portfolio weights."),
    (lambda: _morva.PortfolioSequence.factorizations,
     "Reduced factorizations built since construction (including the\n"
     "initial one). A stable count across dates demonstrates reuse."),
    (lambda: _morva.SolveResult.polished,
     "Whether the returned weights are the polished iterate: `True` only\n"
     "when the solve succeeded and the direct active-set solve improved\n"
     "the worst KKT residual and still met the stopping tolerances (see\n"
     "the `polish` solver option)."),
    (lambda: _morva.SolveResult.certificate,
     "Infeasibility proof; present only when the status is\n`'primal infeasible'` or `'dual infeasible'`."),
    (lambda: _morva.InfeasibilityCertificate,
     "Proof that a solve stopped because the problem itself is pathological\n"
     "(status `'primal infeasible'` or `'dual infeasible'`).\n\n"
     "Certificates are normalized to unit infinity norm and reported in the\n"
     "original data space. For a primal certificate the multiplier arrays are a\n"
     "Farkas combination of the constraints that admits no common portfolio;\n"
     "for a dual certificate `direction` is a ray along which the objective\n"
     "decreases without bound."),
    (lambda: _morva.InfeasibilityCertificate.equality_dual,
     "Farkas weights on the equality rows (budget first, when present);\n`None` for dual certificates."),
    (lambda: _morva.InfeasibilityCertificate.inequality_dual,
     "Farkas weights on the inequality rows; `None` for dual certificates."),
    (lambda: _morva.InfeasibilityCertificate.bound_dual,
     "Farkas weights on the boxes (positive parts cite upper bounds,\n"
     "negative parts lower bounds); `None` for dual certificates."),
    (lambda: _morva.InfeasibilityCertificate.direction,
     "Unbounded descent direction in weight space; `None` for primal\ncertificates."),
]


@pytest.mark.parametrize(("target", "expected"), DOCSTRINGS)
def test_docstrings(target, expected):
    assert target().__doc__ == expected


def test_docstrings_with_prescribed_openings_and_endings():
    to_json = _morva.PortfolioProblem.to_json.__doc__
    assert to_json.startswith("Serializes the full problem specification to a JSON string\n(roadmap 3.3).\n\n")
    assert "PortfolioProblem.from_json" in to_json
    assert to_json.endswith("because JSON has no representation for infinities.")
    solve_next = _morva.PortfolioSequence.solve_next.__doc__
    assert solve_next.endswith("A rejected date leaves the sequence unchanged, so the caller can skip\nit and keep rolling.")
    batch = _morva.solve_batch.__doc__
    assert "(roadmap 3.2)" in batch and "``RAYON_NUM_THREADS``" in batch


STUB = Path(__file__).resolve().parents[1] / "_morva.pyi"


def stub_parameters(node: ast.FunctionDef) -> list[tuple[str, str, bool]]:
    arguments = node.args
    positional_args = arguments.posonlyargs + arguments.args
    defaults = [False] * (len(positional_args) - len(arguments.defaults)) + [True] * len(arguments.defaults)
    result = [(a.arg, "POSITIONAL_OR_KEYWORD", d) for a, d in zip(positional_args, defaults)]
    result += [(a.arg, "KEYWORD_ONLY", d is not None) for a, d in zip(arguments.kwonlyargs, arguments.kw_defaults)]
    return [entry for entry in result if entry[0] not in ("self", "cls")]


def runtime_parameters(target) -> list[tuple[str, str, bool]]:
    return [
        (name, p.kind.name, p.default is not inspect.Parameter.empty)
        for name, p in without_receiver(inspect.signature(target)).parameters.items()
    ]


def test_stub_file_matches_the_module():
    tree = ast.parse(STUB.read_text())
    top = {node.name: node for node in tree.body if isinstance(node, (ast.ClassDef, ast.FunctionDef))}
    assert set(top) == set(PUBLIC_NAMES)
    for name, node in top.items():
        runtime = getattr(_morva, name)
        if isinstance(node, ast.FunctionDef):
            assert stub_parameters(node) == runtime_parameters(runtime), name
            continue
        members = {item.name: item for item in node.body if isinstance(item, ast.FunctionDef)}
        public = {attribute for attribute in vars(runtime) if not attribute.startswith("_")}
        assert public == set(members) - {"__new__"}, name
        for member, definition in members.items():
            target = runtime if member == "__new__" else getattr(runtime, member)
            if member != "__new__" and isinstance(inspect.getattr_static(runtime, member), GetSetDescriptorType):
                continue
            assert stub_parameters(definition) == runtime_parameters(target), f"{name}.{member}"


def stub_callables() -> dict[str, ast.FunctionDef]:
    """Every function of the stub by its dotted name (``Class.method``;
    ``Class`` for ``__new__``)."""
    tree = ast.parse(STUB.read_text())
    found = {}
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            found[node.name] = node
        elif isinstance(node, ast.ClassDef):
            for item in node.body:
                if isinstance(item, ast.FunctionDef):
                    found[node.name if item.name == "__new__" else f"{node.name}.{item.name}"] = item
    return found


def stub_defaults(node: ast.FunctionDef) -> dict[str, tuple[object, str]]:
    """Each defaulted parameter's value and annotation text."""
    arguments = node.args
    positional_args = arguments.posonlyargs + arguments.args
    pairs = list(zip(positional_args[len(positional_args) - len(arguments.defaults):], arguments.defaults))
    pairs += [(a, d) for a, d in zip(arguments.kwonlyargs, arguments.kw_defaults) if d is not None]
    return {a.arg: (ast.literal_eval(d), ast.unparse(a.annotation)) for a, d in pairs}


# The annotation a default's type calls for in the stub: numbers accept
# anything float() takes, counts anything operator.index() takes.
ANNOTATION_OF_DEFAULT = {bool: "_Flag", int: "SupportsIndex", float: "_Float"}


@pytest.mark.parametrize("dotted", [name for name in sorted(SIGNATURES) if SIGNATURES[name]])
def test_stub_defaults_are_the_text_signature_defaults(dotted):
    runtime = {
        name: parameter.default
        for name, parameter in without_receiver(inspect.signature(resolve(dotted))).parameters.items()
        if parameter.default is not inspect.Parameter.empty
    }
    stub = stub_defaults(stub_callables()[dotted])
    assert set(stub) == set(runtime)
    for name, (value, annotation) in stub.items():
        # Same value and type: 10000 and 10000.0, or True and 1, must not pass.
        assert (type(value), value) == (type(runtime[name]), runtime[name]), f"{dotted}: {name}"
        if value is None:
            assert annotation.endswith("| None"), f"{dotted}: {name}"
        else:
            assert annotation == ANNOTATION_OF_DEFAULT[type(value)], f"{dotted}: {name}"
