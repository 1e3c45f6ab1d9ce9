"""Stand-in for Bloomberg's closed `bql` client, for tests, demos and benchmarks.

It answers the calls this package makes (service, data items, ranges, universes, requests, query
texts, single and batched execution, response elements with `.df()`) from the small deterministic
sample data under sim/data/bql/. It is put on sys.path by tests and examples only, never installed.

Behaviour of the sample service:

* Securities are named by parse key ('IBM US Equity', any case) or FIGI. An unknown security gives
  one row of missing values (None for text fields, NaN/NaT otherwise); ``droppe()`` removes such rows.
* Field names are looked up case-insensitively; an unknown field raises ``BqlError`` when executed.
* Dated items (px_last, ...) answer the trading days in the range (weekdays except 1 January and
  25 December) with columns "DATE", "CURRENCY" and the item's column; no trading day gives no row.
* The economic calendar takes country codes ('US', 'JP', 'IN', 'NP', 'CA', 'GB', 'DE', 'AU', 'CN')
  as its universe; unreleased events have a missing "ACTUAL".
* Columns are named by the request's dict keys, by the field as written in a query text, or by the
  field name when a single item is passed.

Scripting for tests:

* ``register(answer, item=..., universe=..., when=...)`` makes matching requests answer ``answer``
  instead of the sample data: a DataFrame (for every element), a dict {element name: DataFrame}, an
  exception (raised for that request) or a callable(request) returning one of these or None (None
  falls through). The newest registration wins. ``scripted(...)`` does the same for a ``with`` block.
* ``calls`` (module-wide) and ``Service.calls`` record every execution as ``Call(kind, requests)``.
* ``reset()`` drops every registration and clears the module-wide record.
"""
from __future__ import annotations

import ast
import collections
import contextlib
import re

import numpy as np
import pandas as pd

from . import _sample

__all__ = ["Service", "Request", "BqlError", "register", "unregister", "scripted", "reset", "calls"]


class BqlError(Exception):
    """An error reported by the (stand-in) BQL service for a request."""


Call = collections.namedtuple("Call", ["kind", "requests"])

calls: list = []
_scripts: list = []


# ---- request building blocks ---------------------------------------------------------------

class DateRange:
    def __init__(self, start, end):
        self.start = start
        self.end = end

    def __repr__(self):
        return f"range({self.start!r}, {self.end!r})"

    def __eq__(self, other):
        return isinstance(other, DateRange) and (self.start, self.end) == (other.start, other.end)

    __hash__ = None


class Universe:
    def __init__(self, ids):
        self.ids = list(ids)

    def __repr__(self):
        return f"univ.list({self.ids!r})"


class Condition:
    def __init__(self, field, op, value):
        self.field = field
        self.op = op
        self.value = value

    def __repr__(self):
        return f"{self.field}.{self.op}({self.value!r})"


class ItemField:
    """``item['ticker']``: a column of an item's answer, usable in conditions."""

    def __init__(self, name):
        self.name = name

    def in_(self, values):
        return Condition(self.name, "in", list(values))

    def __eq__(self, other):  # noqa: D105 - builds a condition, as BQL does
        return Condition(self.name, "eq", other)

    __hash__ = None


class DataItem:
    def __init__(self, name, params, dropped=False, condition=None):
        self.name = name
        self.params = dict(params)
        self.dropped = dropped
        self.condition = condition

    @property
    def field(self):
        return self.name.upper()

    def droppe(self):
        return DataItem(self.name, self.params, True, self.condition)

    def matches(self, condition):
        if not isinstance(condition, Condition):
            raise TypeError("matches() expects a condition such as item['ticker'].in_([...])")
        return DataItem(self.name, self.params, self.dropped, condition)

    def __getitem__(self, column):
        return ItemField(column)

    def __repr__(self):
        args = ", ".join(f"{k}={v!r}" for k, v in self.params.items())
        text = f"{self.name}({args})"
        if self.condition is not None:
            text += f".matches({self.condition!r})"
        return text + (".droppe()" if self.dropped else "")


class _DataNamespace:
    def __getattr__(self, name):
        if name.startswith("_"):
            raise AttributeError(name)

        def make(**params):
            return DataItem(name, params)

        make.__name__ = name
        return make


class _FuncNamespace:
    @staticmethod
    def range(start, end):
        return DateRange(start, end)


class _UnivNamespace:
    @staticmethod
    def list(ids):
        if isinstance(ids, str):
            ids = [ids]
        return Universe(ids)


def _ids_of(universe):
    if isinstance(universe, Universe):
        ids = universe.ids
    elif isinstance(universe, str):
        ids = [universe]
    elif isinstance(universe, (list, tuple)):
        ids = list(universe)
    else:
        raise TypeError(f"unsupported universe of type {type(universe).__name__}")
    seen, out = set(), []
    for i in ids:
        key = (type(i), i) if isinstance(i, (str, int, float)) else (type(i), id(i))
        if key not in seen:
            seen.add(key)
            out.append(i)
    return out


class Request:
    def __init__(self, universe, items, preferences=None, with_params=None):
        self.universe = universe
        self.ids = _ids_of(universe)
        if isinstance(items, DataItem):
            fields = {items.name: items}
        elif isinstance(items, dict) and items and all(isinstance(v, DataItem) for v in items.values()):
            fields = {str(k): v for k, v in items.items()}
        else:
            raise TypeError("items must be a data item or a non-empty dict of data items")
        if preferences is not None and not isinstance(preferences, dict):
            raise TypeError("preferences must be a dict")
        self.items = items
        self.fields = fields
        self.preferences = preferences
        self.with_params = with_params
        self.text = None
        self._parse_error = None

    def __repr__(self):
        if self.text is not None:
            return f"Request({self.text!r})"
        return f"Request({self.universe!r}, {self.fields!r}, preferences={self.preferences!r})"


_QUERY = re.compile(r"^\s*get\s*\((?P<fields>.*)\)\s*for\s*\((?P<univ>.*)\)\s*$", re.S | re.I)
_FIELD = re.compile(r"^\s*([A-Za-z_][A-Za-z0-9_]*)\s*(\(\s*\))?\s*$")


def _parse_query(text):
    req = Request.__new__(Request)
    req.text = text
    req.universe = None
    req.ids = []
    req.items = None
    req.fields = {}
    req.preferences = None
    req.with_params = None
    req._parse_error = None
    m = _QUERY.match(text)
    if not m:
        req._parse_error = BqlError(f"cannot parse query text {text!r}")
        return req
    for piece in m.group("fields").split(","):
        f = _FIELD.match(piece)
        if not f:
            req._parse_error = BqlError(f"unsupported field expression {piece.strip()!r}")
            return req
        req.fields[f.group(1)] = DataItem(f.group(1), {})
    try:
        univ = ast.literal_eval(m.group("univ").strip())
    except (ValueError, SyntaxError):
        req._parse_error = BqlError(f"cannot parse universe {m.group('univ')!r}")
        return req
    if isinstance(univ, str):
        univ = [univ]
    if not isinstance(univ, (list, tuple)) or not all(isinstance(u, str) for u in univ):
        req._parse_error = BqlError(f"universe must be a list of securities: {m.group('univ')!r}")
        return req
    req.universe = list(univ)
    req.ids = _ids_of(list(univ))
    return req


# ---- responses ------------------------------------------------------------------------------

class SingleResult:
    def __init__(self, name, frame):
        self.name = name
        self._frame = frame

    def df(self):
        return self._frame.copy()

    def __repr__(self):
        return f"<SingleResult {self.name!r}: {len(self._frame)} rows>"


class Response:
    def __init__(self, results):
        self._results = list(results)

    def __getitem__(self, i):
        return self._results[i]

    def __len__(self):
        return len(self._results)

    def __iter__(self):
        return iter(self._results)

    def get(self, name):
        for r in self._results:
            if r.name == name:
                return r
        raise KeyError(name)


# ---- answering ------------------------------------------------------------------------------

def _frame(ids, columns):
    # A service answers text as Python objects, None where a value is missing; pandas 3 would turn
    # a bare object array of strings into its string dtype (None becoming NaN), so say object.
    index = pd.Index(ids, name="ID", dtype=object)
    return pd.DataFrame({name: pd.Series(values, index=index, dtype=object)
                         if isinstance(values, np.ndarray) and values.dtype == object else values
                         for name, values in columns.items()}, index=index)


def _param(item, name, default):
    for k, v in item.params.items():
        if k.lower() == name:
            return v
    return default


def _as_dates(rng):
    if rng is None:
        return None
    if not isinstance(rng, DateRange):
        raise BqlError(f"dates must be a range, got {rng!r}")
    try:
        return pd.Timestamp(rng.start), pd.Timestamp(rng.end)
    except (ValueError, TypeError) as exc:
        raise BqlError(f"invalid date in {rng!r}") from exc


def _reference(ids, item, column):
    values = [_sample.reference_value(i, item.field) for i in ids]
    return _frame(ids, {column: pd.Series(values, dtype=object).to_numpy()})


def _priced(ids, item, column):
    rng = _as_dates(_param(item, "dates", None))
    out_ids, dates, ccy, values = [], [], [], []
    for i in ids:
        row = _sample.find_security(i)
        if row is None:
            out_ids.append(i)
            dates.append(pd.NaT)
            ccy.append(None)
            values.append(np.nan)
            continue
        if rng is None:
            days = _sample.trading_days(_sample.AS_OF - pd.Timedelta(days=10), _sample.AS_OF)[-1:]
        else:
            days = _sample.trading_days(*rng) if rng[0] <= rng[1] else pd.DatetimeIndex([])
        out_ids += [i] * len(days)
        dates += list(days)
        ccy += [row["CRNCY"]] * len(days)
        values += list(_sample.prices(i, item.field, days))
    return _frame(out_ids, {"DATE": pd.to_datetime(pd.Series(dates, dtype="datetime64[ns]")).to_numpy(),
                            "CURRENCY": np.asarray(ccy, dtype=object),
                            column: np.asarray(values, dtype=float)})


def _calendar(ids, item, column, preferences):
    rng = _as_dates(_param(item, "dates", None))
    if rng is None:
        rng = (pd.Timestamp(_sample.AS_OF.year, 1, 1), pd.Timestamp(_sample.AS_OF.year, 12, 31))
    subtype = _param(item, "subtype", "all")
    relevancy = _param(item, "relevancy", "medium")
    view = _param(item, "view", "default")
    if subtype not in _sample.CALENDAR_SUBTYPES:
        raise BqlError(f"invalid subtype {subtype!r}")
    if relevancy not in _sample.RELEVANCY_LEVELS:
        raise BqlError(f"invalid relevancy {relevancy!r}")
    if view not in _sample.CALENDAR_VIEWS:
        raise BqlError(f"invalid view {view!r}")
    addcols = list((preferences or {}).get("addcols", []))
    for col in addcols:
        if col not in _sample.CALENDAR_ADDCOLS:
            raise BqlError(f"unknown column {col!r} in addcols")
    cols = ["TICKER", "EVENT_NAME", "PERIOD", "RELEASE_DATE_TIME", "SURVEY", "ACTUAL", "PRIOR"]
    if view == "extended":
        cols += ["TIMEZONE", "COUNTRY"]
    cols += addcols
    parts, out_ids = [], []
    for i in ids:
        if _sample.known_country(i):
            rows = _sample.calendar_rows(i, rng[0], rng[1], subtype, relevancy)
        else:
            rows = _sample.calendar().iloc[0:0].reindex([0])  # one row of missing values
        parts.append(rows[cols])
        out_ids += [i] * len(rows)
    body = pd.concat(parts, ignore_index=True) if parts else _sample.calendar().iloc[0:0][cols]
    body.insert(0, column, body["TICKER"])
    for text_col in ("TICKER", "EVENT_NAME", "PERIOD", "TIMEZONE", "COUNTRY", "subtype", "relevance", column):
        if text_col in body:
            body[text_col] = body[text_col].astype(object).where(body[text_col].notna(), None)
    body.index = pd.Index(out_ids, name="ID", dtype=object)
    return body


def _apply_condition(df, cond):
    match = [c for c in df.columns if str(c).lower() == str(cond.field).lower()]
    if not match:
        raise BqlError(f"unknown column {cond.field!r} in condition")
    col = df[match[0]]
    if cond.op == "in":
        keep = col.isin(cond.value)
    else:
        keep = col == cond.value
    return df[keep.to_numpy()]


def _answer_item(ids, item, column, preferences):
    field = item.field
    if field not in _sample.KNOWN_FIELDS:
        raise BqlError(f"Unknown field '{item.name}'")
    if field in _sample.REFERENCE_FIELDS:
        df = _reference(ids, item, column)
    elif field in _sample.PRICE_FIELDS:
        df = _priced(ids, item, column)
    else:
        df = _calendar(ids, item, column, preferences)
    if item.condition is not None:
        df = _apply_condition(df, item.condition)
    if item.dropped:
        df = df[df[column].notna().to_numpy()]
    return df


def _scripted_answer(request):
    for script in reversed(_scripts):
        if not script.matches(request):
            continue
        answer = script.answer
        if callable(answer) and not isinstance(answer, (pd.DataFrame, dict, BaseException)) and not (
                isinstance(answer, type) and issubclass(answer, BaseException)):
            answer = answer(request)
            if answer is None:
                continue
        if isinstance(answer, BaseException) or (isinstance(answer, type) and issubclass(answer, BaseException)):
            raise answer
        names = list(request.fields)
        if isinstance(answer, pd.DataFrame):
            return [SingleResult(n, answer.copy()) for n in names]
        if isinstance(answer, dict):
            return [SingleResult(n, answer[n].copy()) for n in answer]
        if isinstance(answer, (list, tuple)):
            return [SingleResult(n, f.copy()) for n, f in zip(names, answer)]
        raise TypeError(f"unsupported scripted answer {type(answer).__name__}")
    return None


def _answer(request):
    results = _scripted_answer(request)
    if results is not None:
        return Response(results)
    if request._parse_error is not None:
        raise request._parse_error
    return Response(SingleResult(name, _answer_item(request.ids, item, name, request.preferences))
                    for name, item in request.fields.items())


class Service:
    def __init__(self):
        self.data = _DataNamespace()
        self.func = _FuncNamespace()
        self.univ = _UnivNamespace()
        self.calls = []

    def _record(self, kind, requests):
        entry = Call(kind, list(requests))
        self.calls.append(entry)
        calls.append(entry)

    def execute(self, request):
        if isinstance(request, str):
            request = _parse_query(request)
        elif not isinstance(request, Request):
            raise TypeError(f"execute() expects a Request or a query text, got {type(request).__name__}")
        self._record("execute", [request])
        return _answer(request)

    def execute_many(self, requests, on_request_error=None):
        requests = [_parse_query(r) if isinstance(r, str) else r for r in requests]
        for r in requests:
            if not isinstance(r, Request):
                raise TypeError(f"execute_many() expects Requests, got {type(r).__name__}")
        self._record("execute_many", requests)

        def responses():
            for r in requests:
                try:
                    response = _answer(r)
                except Exception as exc:
                    if on_request_error is None:
                        raise
                    on_request_error(exc, r)
                    continue
                yield response

        return responses()


# ---- scripting ------------------------------------------------------------------------------

class _Script:
    def __init__(self, answer, item, universe, when):
        self.answer = answer
        self.item = None if item is None else str(item).lower()
        self.universe = None if universe is None else _ids_of(universe)
        self.when = when

    def matches(self, request):
        if self.item is not None and self.item not in {i.name.lower() for i in request.fields.values()}:
            return False
        if self.universe is not None and self.universe != request.ids:
            return False
        if self.when is not None and not self.when(request):
            return False
        return True


def register(answer, *, item=None, universe=None, when=None):
    """Answer matching requests with `answer` instead of the sample data; returns a handle."""
    script = _Script(answer, item, universe, when)
    _scripts.append(script)
    return script


def unregister(handle):
    if handle in _scripts:
        _scripts.remove(handle)


@contextlib.contextmanager
def scripted(answer, *, item=None, universe=None, when=None):
    handle = register(answer, item=item, universe=universe, when=when)
    try:
        yield handle
    finally:
        unregister(handle)


def reset():
    """Forget every scripted answer and the module-wide record of calls."""
    _scripts.clear()
    calls.clear()
