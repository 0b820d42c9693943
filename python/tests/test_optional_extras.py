"""The core install needs only NumPy: extras load on use and say what to install."""

from __future__ import annotations

import subprocess
import sys

import pytest

import _morva
import morva
from conftest import positional, small_arrays


def test_importing_the_package_loads_no_extra():
    code = (
        "import sys, morva, morva.labels, morva.distributed, morva.cli, morva.frontier\n"
        "print(sorted(m for m in ('pandas', 'dask', 'distributed', 'matplotlib', 'tqdm') if m in sys.modules))"
    )
    completed = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert completed.returncode == 0, completed.stderr
    assert completed.stdout.strip() == "[]"


def frontier():
    return morva.efficient_frontier(_morva.PortfolioProblem(*positional(small_arrays())), [1.0, 2.0])


@pytest.mark.parametrize(
    ("missing", "call", "extra"),
    [
        ("pandas", lambda: __import__("morva.labels").labels.LabelledProblem(None, None, None, None), "pandas"),
        ("pandas", lambda: frontier().to_frame(), "pandas"),
        ("distributed", lambda: __import__("morva.distributed").distributed.solve_batch([], []), "dask"),
        ("matplotlib.pyplot", lambda: frontier().plot(), "plot"),
        ("matplotlib.pyplot", lambda: frontier().plot_weights(), "plot"),
    ],
)
def test_a_missing_extra_names_what_to_install(monkeypatch, missing, call, extra):
    monkeypatch.setitem(sys.modules, missing, None)
    with pytest.raises(ImportError) as caught:
        call()
    assert f"the optional dependency '{missing}'" in str(caught.value)
    assert str(caught.value).endswith(f"pip install 'morva[{extra}]'")

