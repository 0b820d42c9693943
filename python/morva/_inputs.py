"""The portfolio's inputs as the engine declares them, read once.

``_engine.inputs()`` gives the core's input table: one row per keyword of
``PortfolioProblem`` in constructor order, with its ``kind`` ("matrix",
"vector", "scalar", "ids", "scalar or vector", any of them "optional ..."),
its ``shape`` in the problem's sizes (n assets, k factors, g industry groups,
m_<block> rows of a constraint block), whether it is ``required``, ``held``
by the built problem as given (the templates and limits are lowered into
constraint rows and the box), whether it ``rolls`` (a ``PortfolioSequence``'s
date takes it) and whether the rolling path takes it ``in_place`` (the
dates' own changes and the projections' data: box and L1 costs). Every list
of inputs the package keeps is read from here.
"""

from __future__ import annotations

from typing import NamedTuple

from . import _engine


class Input(NamedTuple):
    name: str
    kind: str
    shape: tuple[str, ...]
    required: bool
    held: bool
    rolls: bool
    in_place: bool

    @property
    def per_asset(self) -> bool:
        return self.shape == ("n",)

    @property
    def per_row(self) -> str | None:
        """The constraint block with one entry of this input per row ("equality"), else None."""
        return self.shape[0][2:] if len(self.shape) == 1 and self.shape[0].startswith("m_") else None


TABLE = tuple(Input(**row) for row in _engine.inputs())
INPUTS = {row.name: row for row in TABLE}

# The built problem's inputs (``problem_data``'s keys), in constructor order: the
# positional ones first, then the keywords that rebuild it.
HELD = tuple(row.name for row in TABLE if row.held)
REQUIRED = tuple(row.name for row in TABLE if row.held and row.required)
SCALARS = tuple(row.name for row in TABLE if row.held and row.shape == ())
# The held constraint blocks: "equality" for equality_matrix and equality_rhs.
BLOCKS = tuple(row.shape[0][2:] for row in TABLE if row.held and len(row.shape) == 2 and row.shape[0].startswith("m_"))

# A date's changes in the order it takes them: a sequence's own, the
# projections' (in place too), then those that change the factored system.
_DATED = sorted((row for row in TABLE if row.held), key=lambda row: (not row.rolls, not row.in_place))
STEP = {row.name: row for row in TABLE if row.rolls}
IN_PLACE = tuple(row.name for row in _DATED if row.in_place)
STRUCTURAL = tuple(row.name for row in _DATED if not row.in_place)
# The box and the L1 costs: per asset, or one number for every asset.
PROJECTIONS = tuple(row.name for row in _DATED if row.in_place and not row.rolls)
# One value per asset, which a labelled date gives by asset.
PER_ASSET = tuple(row.name for row in _DATED if row.per_asset)
