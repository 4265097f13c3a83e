"""Metadata filters as SQLite evaluates them.

Each framework's filter language is parsed (in its own module) into the small
tree below: comparisons of one metadata field (or the id or text column) with a
value, joined by and / or / not. Every comparison becomes an indexed range scan
of the `fields` table, which holds one row per metadata field of each document
(and one per element of a list, and the flattened fields of nested dicts); the
keys it yields are combined with numpy set operations, which beat SQLite's
INTERSECT and EXCEPT by an order of magnitude on large key sets.

Values are compared as Python compares them: numbers with numbers (True is 1),
strings with strings; a value of another type never matches. In the `value`
column, which has no type affinity, SQLite orders NULL < numbers < text < blobs,
so a range over numbers stops at '' and one over text at x''; a float NaN is
stored as the empty blob, which equals and orders with nothing.
"""

from __future__ import annotations

import json
import math
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass
from datetime import UTC, datetime
from typing import Any

import numpy as np
import numpy.typing as npt

__all__ = ["And", "Condition", "FilterError", "Not", "Or", "evaluate", "field_rows", "iso_timestamp", "plan"]

_I64 = (-(1 << 63), (1 << 63) - 1)


class FilterError(ValueError):
    """A filter that cannot be evaluated: an unknown operator, a value of a type
    the operator cannot take, a malformed condition."""


@dataclass(frozen=True)
class Condition:
    """`field` (a metadata path such as "a.b", or the column "id" or "text" when
    `column` is set) compared with `value` by `op`. With `dates`, strings that
    are ISO 8601 dates compare as the points in time they name."""

    field: str
    op: str
    value: Any
    column: bool = False
    dates: bool = False


@dataclass(frozen=True)
class And:
    parts: tuple[Filter, ...]


@dataclass(frozen=True)
class Or:
    parts: tuple[Filter, ...]


@dataclass(frozen=True)
class Not:
    part: Filter


Filter = Condition | And | Or | Not

# Matches nothing / everything.
NOTHING: Filter = Or(())
EVERYTHING: Filter = And(())

OPERATORS = frozenset(
    [
        "eq",
        "ne",
        "gt",
        "gte",
        "lt",
        "lte",
        "in",
        "nin",
        "contains",
        "any",
        "all",
        "text_match",
        "text_match_insensitive",
    ]
    + ["is_empty", "exists"]
)
_RANGE_SQL = {"gt": ">", "gte": ">=", "lt": "<", "lte": "<="}


# -- documents' side: the rows of the fields table ----------------------------


def _looks_like_iso_date(value: str) -> bool:
    # A full YYYY-MM-DD prefix, optionally followed by a time: cheap to reject.
    return (
        len(value) >= 10
        and value[:4].isdigit()
        and value[4] == "-"
        and value[5:7].isdigit()
        and value[7] == "-"
        and value[8:10].isdigit()
        and (len(value) == 10 or value[10] in "Tt ")
    )


def iso_timestamp(value: Any) -> float | None:
    """Seconds since the epoch of an ISO 8601 date string or a datetime, or
    None for anything else. A date without a time zone is taken as UTC."""
    if isinstance(value, datetime):
        moment = value
    elif isinstance(value, str) and _looks_like_iso_date(value):
        try:
            moment = datetime.fromisoformat(value)
        except ValueError:
            return None
    else:
        return None
    if moment.tzinfo is None:
        moment = moment.replace(tzinfo=UTC)
    try:
        return moment.timestamp()
    except (OverflowError, ValueError, OSError):
        return None


def canonical_json(value: Any) -> str:
    """The text a list or dict value is compared by."""
    return json.dumps(value, sort_keys=True, separators=(",", ":"), ensure_ascii=False)


def scalar_value(value: Any) -> Any:
    """A scalar as the value column holds it: bools as 0 and 1, integers outside
    int64 as floats, NaN as the empty blob (equal to nothing)."""
    if isinstance(value, bool):
        return int(value)
    if isinstance(value, int):
        return value if _I64[0] <= value <= _I64[1] else float(value)
    if isinstance(value, float):
        return b"" if math.isnan(value) else value
    return value


def field_rows(meta: dict[str, Any], prefix: str = "") -> Iterator[tuple[str, int, Any, float | None]]:
    """(name, kind, value, stamp) for each field of a metadata dict: kind 0 for a
    scalar (None included), 2 for a list or dict (value its canonical JSON) with
    kind 1 rows for the list's distinct scalar elements, and the fields of a
    nested dict under "parent.child"."""
    for key, value in meta.items():
        name = prefix + key
        if isinstance(value, (list, tuple)):
            yield name, 2, canonical_json(value), None
            seen = set()
            for element in value:
                if element is None or isinstance(element, (bool, int, float, str)):
                    stored = scalar_value(element)
                    marker = (type(stored), stored)
                    if marker not in seen:
                        seen.add(marker)
                        yield name, 1, stored, None
        elif isinstance(value, dict):
            yield name, 2, canonical_json(value), None
            yield from field_rows(value, name + ".")
        else:
            stamp = iso_timestamp(value) if isinstance(value, str) else None
            yield name, 0, scalar_value(value), stamp


# -- filters' side: each condition as SQL over the fields table ---------------


@dataclass(frozen=True)
class _Sql:
    """A query yielding document keys."""

    sql: str
    params: tuple[Any, ...]


@dataclass(frozen=True)
class _All:
    """The keys every part yields."""

    parts: tuple[_Plan, ...]


@dataclass(frozen=True)
class _Any:
    """The keys some part yields."""

    parts: tuple[_Plan, ...]


@dataclass(frozen=True)
class _Except:
    """Every stored key but those the part yields."""

    part: _Plan


@dataclass(frozen=True)
class _Everything:
    """Every stored key."""


_Plan = _Sql | _All | _Any | _Except | _Everything
_NO_KEYS: _Plan = _Any(())


def _fields(where: str, *params: Any) -> _Sql:
    return _Sql(f"SELECT key FROM fields WHERE name = ? AND {where}", params)


def _is_number(value: Any) -> bool:
    return isinstance(value, (int, float))  # bool is an int


def _plan_column(cond: Condition) -> _Plan:
    """A condition on the id or text column of the documents themselves."""
    column = {"id": "id", "text": "text"}[cond.field]
    op, value = cond.op, cond.value

    def docs(where: str, *params: Any) -> _Sql:
        return _Sql(f"SELECT key FROM docs WHERE {where}", params)

    if op in ("eq", "ne"):
        if value is None:
            plan: _Plan = docs(f"{column} IS NULL")
        elif isinstance(value, str):
            plan = docs(f"{column} = ?", value)
        else:
            plan = _NO_KEYS
        return _Except(plan) if op == "ne" else plan
    if op in ("in", "nin"):
        plan = _Any(tuple(_plan_column(Condition(cond.field, "eq", v, column=True)) for v in _sequence(cond)))
        return _Except(plan) if op == "nin" else plan
    if op in _RANGE_SQL:
        if not isinstance(value, str):
            raise FilterError(f"the {cond.field} of a document is text: '{op}' needs a string, got {_kind(value)}")
        return docs(f"{column} {_RANGE_SQL[op]} ?", value)
    if op in ("contains", "text_match"):
        return docs(f"instr({column}, ?) > 0", _text(cond))
    if op == "text_match_insensitive":
        return docs(f"instr(velmora_fold({column}), ?) > 0", _text(cond).casefold())
    if op == "exists":
        plan = docs(f"{column} IS NOT NULL")
        return plan if value else _Except(plan)
    if op == "is_empty":
        return _Except(docs(f"{column} IS NOT NULL AND {column} != ''"))
    raise FilterError(f"operator '{op}' does not apply to the document's {cond.field}")


def _kind(value: Any) -> str:
    return "None" if value is None else type(value).__name__


def _text(cond: Condition) -> str:
    if not isinstance(cond.value, str):
        raise FilterError(f"'{cond.op}' on {cond.field!r} needs a string, got {_kind(cond.value)}")
    return cond.value


def _sequence(cond: Condition) -> Sequence[Any]:
    if not isinstance(cond.value, (list, tuple)):
        raise FilterError(f"'{cond.op}' on {cond.field!r} needs a list of values, got {_kind(cond.value)}")
    return cond.value


def _plan_equal(name: str, value: Any, dates: bool) -> _Plan:
    if value is None:
        # Missing or null.
        return _Except(_fields("kind IN (0, 2) AND value IS NOT NULL", name))
    if isinstance(value, (list, tuple, dict)):
        return _fields("kind = 2 AND value = ?", name, canonical_json(value))
    if isinstance(value, datetime):
        stamp = iso_timestamp(value)
        return _NO_KEYS if stamp is None else _fields("stamp = ?", name, stamp)
    if not isinstance(value, (bool, int, float, str)):
        raise FilterError(f"cannot compare {name!r} with a value of type {type(value).__name__}")
    plan: _Plan = _fields("kind = 0 AND value = ?", name, scalar_value(value))
    if dates and isinstance(value, str):
        stamp = iso_timestamp(value)
        if stamp is not None:
            plan = _Any((plan, _fields("stamp = ?", name, stamp)))
    return plan


def _plan_range(name: str, op: str, value: Any, dates: bool) -> _Plan:
    sql_op = _RANGE_SQL[op]
    upward = op in ("gt", "gte")
    if isinstance(value, datetime) or (dates and isinstance(value, str)):
        stamp = iso_timestamp(value)
        if stamp is None:
            raise FilterError(
                f"'{op}' on {name!r}: strings compare only as ISO 8601 dates (such as 2024-05-01T12:00:00), "
                f"got {value!r}"
            )
        return _fields(f"stamp {sql_op} ?", name, stamp)
    if _is_number(value):
        if isinstance(value, float) and math.isnan(value):
            return _NO_KEYS
        bound = " AND value < ''" if upward else ""
        return _fields(f"kind = 0 AND value {sql_op} ?{bound}", name, scalar_value(value))
    if isinstance(value, str):
        bound = " AND value < x''" if upward else " AND value >= ''"
        return _fields(f"kind = 0 AND value {sql_op} ?{bound}", name, value)
    raise FilterError(f"'{op}' on {name!r} needs a number or a string, got {_kind(value)}")


def _plan_element(name: str, value: Any) -> _Plan:
    if value is None:
        return _fields("kind = 1 AND value IS NULL", name)
    if not isinstance(value, (bool, int, float, str)):
        raise FilterError(f"list elements of {name!r} are compared with numbers and strings, got {_kind(value)}")
    return _fields("kind = 1 AND value = ?", name, scalar_value(value))


def _substring(name: str, value: str, fold: bool) -> _Sql:
    if fold:
        return _fields("kind = 0 AND value >= '' AND value < x'' AND instr(velmora_fold(value), ?) > 0", name, value)
    return _fields("kind = 0 AND value >= '' AND value < x'' AND instr(value, ?) > 0", name, value)


def _plan(node: Filter) -> _Plan:
    if isinstance(node, And):
        return _All(tuple(_plan(p) for p in node.parts))
    if isinstance(node, Or):
        return _Any(tuple(_plan(p) for p in node.parts))
    if isinstance(node, Not):
        return _Except(_plan(node.part))
    if node.op not in OPERATORS:
        raise FilterError(f"unknown filter operator {node.op!r}")
    if node.column:
        return _plan_column(node)
    name, op, value = node.field, node.op, node.value
    if op == "eq":
        return _plan_equal(name, value, node.dates)
    if op == "ne":
        return _Except(_plan_equal(name, value, node.dates))
    if op in _RANGE_SQL:
        return _plan_range(name, op, value, node.dates)
    if op in ("in", "nin"):
        plan: _Plan = _Any(tuple(_plan_equal(name, v, node.dates) for v in _sequence(node)))
        return _Except(plan) if op == "nin" else plan
    if op == "contains":
        element = _plan_element(name, value)
        return _Any((element, _substring(name, value, False))) if isinstance(value, str) else element
    if op in ("any", "all"):
        elements = tuple(_plan_element(name, v) for v in _sequence(node))
        return _Any(elements) if op == "any" else _All(elements)
    if op in ("text_match", "text_match_insensitive"):
        fold = op == "text_match_insensitive"
        text = _text(node)
        return _substring(name, text.casefold() if fold else text, fold)
    if op == "is_empty":
        return _Except(
            _fields(
                "kind IN (0, 2) AND value IS NOT NULL"
                " AND NOT ((kind = 0 AND value = '') OR (kind = 2 AND value = '[]'))",
                name,
            )
        )
    # exists
    present = _fields("kind IN (0, 2)", name)
    return present if value else _Except(present)


Keys = npt.NDArray[np.uint64]
KeysOf = Callable[[str, tuple[Any, ...]], Keys]


def plan(node: Filter) -> _Plan:
    """The queries of keys a filter takes (FilterError for one it cannot
    mean); its repr names its result."""
    return _plan(node)


def evaluate(planned: _Plan, keys_of: KeysOf, universe: Callable[[], Keys], limit: int) -> Keys:
    """The sorted keys of the documents a plan matches: `keys_of(sql, params)`
    runs one query of keys (unique, in any order), `universe()` gives every key
    (sorted), and every key is below `limit`. Sets are combined as boolean
    masks of `limit` entries, or as sorted arrays where keys are too sparse for
    masks to pay."""
    if limit <= 4 * len(universe()) + (1 << 20):
        return np.flatnonzero(_mask(planned, keys_of, universe, limit)).astype(np.uint64)
    return _run(planned, keys_of, universe)


def _mask(plan: _Plan, keys_of: KeysOf, universe: Callable[[], Keys], limit: int) -> npt.NDArray[np.bool_]:
    if isinstance(plan, _Sql):
        mask = np.zeros(limit, dtype=bool)
        mask[keys_of(plan.sql, plan.params)] = True
        return mask
    if isinstance(plan, _Everything):
        mask = np.zeros(limit, dtype=bool)
        mask[universe()] = True
        return mask
    if isinstance(plan, _Except):
        return _mask(_Everything(), keys_of, universe, limit) & ~_mask(plan.part, keys_of, universe, limit)
    if isinstance(plan, _Any):
        mask = np.zeros(limit, dtype=bool)
        for part in plan.parts:
            mask |= _mask(part, keys_of, universe, limit)
        return mask
    # _All: the positive parts intersected, then the excepted ones taken out.
    positive = [p for p in plan.parts if not isinstance(p, _Except)]
    negative = [p.part for p in plan.parts if isinstance(p, _Except)]
    result = _mask(positive[0] if positive else _Everything(), keys_of, universe, limit)
    for part in positive[1:]:
        result &= _mask(part, keys_of, universe, limit)
    for excepted in negative:
        result &= ~_mask(excepted, keys_of, universe, limit)
    return result


def _sorted(keys: Keys) -> Keys:
    if len(keys) > 1 and not bool(np.all(keys[1:] > keys[:-1])):
        return np.sort(keys)
    return keys


def _run(plan: _Plan, keys_of: KeysOf, universe: Callable[[], Keys]) -> Keys:
    if isinstance(plan, _Sql):
        return _sorted(keys_of(plan.sql, plan.params))
    if isinstance(plan, _Everything):
        return universe()
    if isinstance(plan, _Except):
        return np.setdiff1d(universe(), _run(plan.part, keys_of, universe), assume_unique=True)
    if isinstance(plan, _Any):
        found = [_run(p, keys_of, universe) for p in plan.parts]
        if not found:
            return np.empty(0, dtype=np.uint64)
        return found[0] if len(found) == 1 else np.unique(np.concatenate(found))
    # _All: the positive parts intersected, then the excepted ones subtracted,
    # so that "a and not b" never builds the complement of b.
    positive = [p for p in plan.parts if not isinstance(p, _Except)]
    negative = [p.part for p in plan.parts if isinstance(p, _Except)]
    result = universe() if not positive else _run(positive[0], keys_of, universe)
    for part in positive[1:]:
        if result.size == 0:
            return result
        result = np.intersect1d(result, _run(part, keys_of, universe), assume_unique=True)
    for excepted in negative:
        if result.size == 0:
            break
        result = np.setdiff1d(result, _run(excepted, keys_of, universe), assume_unique=True)
    return result
