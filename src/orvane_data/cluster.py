"""The CSV historical query and the event windows on a Dask cluster.

A thin layer over `dask.distributed`: the work is split into tasks by ticker or by security, each
task runs the package's own `get_historical_data` or `filter_bars_around_events` on a worker, and
the pieces are put back together into exactly the frame that one call with the same arguments
returns (values, dtypes, index, column order and row order), or into the error that the one call
raises first.

Every worker must import this package (installed, or on its PYTHONPATH) and, for the CSV query,
see the CSV tree at the same path as the other workers.

    from distributed import Client
    from orvane_data import cluster

    client = Client("tcp://scheduler:8786")
    table = cluster.historical_data(client, tickers, ["PX_LAST"], "2024-01-02", "2024-12-31", "/shared/K_1M")
"""
from __future__ import annotations

import pickle
import time
import uuid
from concurrent.futures import CancelledError
from typing import Any, Callable, List, Optional

try:
    import dask
    import distributed
except ModuleNotFoundError as e:  # the optional extra is not installed
    raise ModuleNotFoundError(
        f"orvane_data.cluster needs dask.distributed, and '{e.name}' is not installed: "
        "pip install orvane_data[cluster]", name=e.name) from e

import numpy as np
import pandas as pd
from pandas.api.types import union_categoricals

from orvane_data.from_bqia import tickbars as _tickbars
from orvane_data.from_localcsv import api as _api

__all__ = ["historical_data", "bars_around_events"]

_TASKS_PER_THREAD = 4
_ATTEMPTS = 3  # submissions of one task whose scattered inputs went down with a worker
_DAILY_FIELDS = ["PX_OPEN", "PX_HIGH", "PX_LOW", "PX_LAST", "PX_VOLUME"]
_INTRADAY_FIELDS = _DAILY_FIELDS + ["NUM_TRDS"]


# ---- shared helpers ------------------------------------------------------------------------------

def _per_task(value, name):
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)) or value < 1:
        raise ValueError(f"{name} must be a positive integer or None, got {value!r}")
    return int(value)


def _groups(n_units, per_task, client):
    """Consecutive [lo, hi) ranges over n_units: per_task units each, or about four per thread."""
    if per_task is None:
        threads = sum(client.nthreads().values()) or 1
        n_tasks = min(n_units, _TASKS_PER_THREAD * threads)
        bounds = np.linspace(0, n_units, n_tasks + 1).round().astype(int)
    else:
        bounds = np.append(np.arange(0, n_units, per_task), n_units)
    return [(int(lo), int(hi)) for lo, hi in zip(bounds[:-1], bounds[1:]) if hi > lo]


# What the package's own calls raise on bad input or data. A task catches these and hands them back
# as its value, so a failing task does not fill the workers' and the scheduler's logs with "Compute
# Failed" records, and the client raises the first of them, once, in the order of the one call.
_TASK_ERRORS = (ValueError, TypeError, LookupError, OSError, AssertionError, ArithmeticError, StopIteration)


class _Failed:
    """A task's error, carried back as its value."""

    __slots__ = ("error",)

    def __init__(self, error: BaseException):
        self.error = error


def _call(fn, *args):
    try:
        return fn(*args)
    except _TASK_ERRORS as e:
        try:
            pickle.loads(pickle.dumps(e))
        except (pickle.PickleError, TypeError, AttributeError):
            raise e from None  # one that cannot travel as a value goes the usual way
        return _Failed(e)


def _submit(client, label, fn, *args):
    """`fn(*args)` as a task named after `label`, its expected errors coming back as `_Failed`."""
    return client.submit(_call, fn, *args, key=f"{label}-{uuid.uuid4().hex}")


def _unwrap(value):
    if isinstance(value, _Failed):
        raise value.error
    return value


class _Job:
    """One task whose inputs may be scattered data. If a worker that held them dies, the future is
    cancelled (or the scatter itself fails), and the task is made again by `make`, which scatters
    afresh, up to _ATTEMPTS times."""

    def __init__(self, make: Callable[[], distributed.Future]):
        self.make = make
        self.future = None
        self.failed = 0
        self._make()

    def _make(self):
        try:
            self.future = self.make()
        except OSError:  # the connection to a worker that went away while data was sent to it
            self.future = None
            if self._failures() >= _ATTEMPTS:
                raise

    def _failures(self):
        self.failed += 1
        return self.failed

    def result(self):
        while True:
            if self.future is None:
                time.sleep(0.2)
                self._make()
                continue
            try:
                return self.future.result()
            except CancelledError:
                self.future = None
                if self._failures() >= _ATTEMPTS:
                    raise

    def cancel(self):
        if self.future is not None:
            self.future.cancel()


def _results_in_order(jobs: List[_Job]):
    """Results in submission order; on the first failure (in that order) the rest are cancelled and
    (None, error, index) is returned. Anything else that goes wrong cancels the rest and propagates."""
    out = []
    for i, job in enumerate(jobs):
        try:
            value = job.result()
        except BaseException:
            _cancel(jobs[i + 1:])
            raise
        if isinstance(value, _Failed):
            _cancel(jobs[i + 1:])
            return None, value.error, i
        out.append(value)
    return out, None, None


def _cancel(jobs):
    for job in jobs:
        job.cancel()


class _Shared:
    """A small object scattered to every worker once, and again if every copy was lost."""

    def __init__(self, client, value):
        self.client, self.value = client, value
        self.future = client.scatter(value, broadcast=True, hash=False)

    def get(self):
        if self.future.status != "finished":
            self.future = self.client.scatter(self.value, broadcast=True, hash=False)
        return self.future


# ---- the CSV historical query ------------------------------------------------------------------------

def historical_data(client: distributed.Client, tickers: List[str], flds: List[str], start: str, end: str,
                    csv_path: str, bar_convention: str = 'end', return_ohlcv: bool = False,
                    tickers_per_task: Optional[int] = None, compute: bool = True) -> Any:
    """`get_historical_data` with the tickers split into tasks on the workers of `client`.

    Returns what one `get_historical_data(tickers, flds, start, end, csv_path, bar_convention,
    return_ohlcv)` call returns, or raises the error that it raises first. The tickers are split
    into tasks of `tickers_per_task` distinct tickers (default: about four tasks per worker thread);
    a ticker is never split. Every worker must see `csv_path` at the same path.

    With `return_ohlcv` true and `compute` false the bars stay on the workers, one partition per
    ticker group, as a `dask.dataframe.DataFrame` with the columns and dtypes of the one call's
    bars.

    What the one call checks before it reads a file (the argument types, the fields, the window's
    bounds) is checked here, before any task starts; an error of a task is raised here once.
    """
    per_task = _per_task(tickers_per_task, "tickers_per_task")
    if not compute and not return_ohlcv:
        raise ValueError("compute=False returns the bars as a dask DataFrame and needs return_ohlcv=True")
    typed = ((tickers, list), (flds, list), (start, str), (end, str), (csv_path, str), (bar_convention, str))
    if any(type(value) is not kind for value, kind in typed):
        # The one call rejects a wrongly typed argument on entry, before it reads a file.
        return _api.get_historical_data(tickers, flds, start, end, csv_path, bar_convention, return_ohlcv)
    measure = _DAILY_FIELDS if "K_1D" in csv_path else _INTRADAY_FIELDS
    if not _known_fields(flds, measure):
        # The one call's own error for the fields, raised before it reads a file.
        return _api.get_historical_data(tickers, flds, start, end, csv_path, bar_convention, return_ohlcv)
    # Then it reads the window's bounds, before any file too: here once, rather than in every task.
    _api._flex_strptime(start)
    _api._flex_strptime(end)
    if not tickers or not all(isinstance(t, str) for t in tickers):
        # Nothing to split (or odd ticker names): the one call gives the answer without reading a file.
        return _api.get_historical_data(tickers, flds, start, end, csv_path, bar_convention, return_ohlcv)
    args = (start, end, csv_path, bar_convention)
    if return_ohlcv:
        return _historical_bars(client, tickers, flds, args, per_task, compute)
    return _historical_table(client, tickers, flds, args, per_task, measure)


def _known_fields(flds, measure):
    try:
        return set(flds).issubset(measure)
    except TypeError:  # a field that cannot be hashed: the one call says what it makes of it
        return False


def _submit_query(client, tickers, flds, args, return_ohlcv):
    return _Job(lambda: _submit(client, "get_historical_data", _api.get_historical_data,
                                tickers, flds, *args, return_ohlcv))


def _bars_by_ticker(tickers, flds, start, end, csv_path, bar_convention):
    """Each ticker's bars on their own. The one call stacks the tickers' tables once, and the dtype
    that stacking gives a column depends on all the tables stacked together (an integer and a
    boolean column stay integer, and turn into objects when a third table lacks the column), so
    the groups' stacked bars cannot simply be stacked again."""
    return [_api.get_historical_data([t], flds, start, end, csv_path, bar_convention, True) for t in tickers]


def _submit_bars(client, tickers, flds, args):
    return _submit(client, "get_historical_data", _bars_by_ticker, tickers, flds, *args)


def _historical_bars(client, tickers, flds, args, per_task, compute):
    # Row order is the ticker list's: tasks take consecutive runs of it.
    chunks = [tickers[lo:hi] for lo, hi in _groups(len(tickers), per_task, client)]
    if not compute:
        return _bars_frame(client, tickers, chunks, flds, args)
    groups, error, _ = _results_in_order([_Job(lambda c=chunk: _submit_bars(client, c, flds, args))
                                          for chunk in chunks])
    if error is not None:
        raise error
    pieces = [piece for group in groups for piece in group]
    if not all(p.columns.is_unique for p in pieces):
        # A file column with the name that a renamed one takes: only the one call stacks these alike.
        return _unwrap(_submit_query(client, tickers, flds, args, True).result())
    return pd.concat(pieces)


def _bars_frame(client, tickers, chunks, flds, args):
    """The ticker groups kept on the workers as one dask DataFrame, one partition per group, each in
    the dtypes that stacking the tickers' bars all at once gives, with the values it gives."""
    import dask.dataframe as dd

    groups = [_submit_bars(client, chunk, flds, args) for chunk in chunks]
    found = [client.submit(_samples, g, key=f"bars-samples-{uuid.uuid4().hex}") for g in groups]
    samples, error, _ = _results_in_order([_Job(lambda f=f: f) for f in found])
    if error is not None:
        _cancel_futures(groups)
        raise error
    flat = [s for group in samples for s in group]
    if not all(s.columns.is_unique for s in flat):
        # A file column with the name that a renamed one takes: only the one call stacks these alike.
        _cancel_futures(groups)
        whole = _submit(client, "get_historical_data", _api.get_historical_data, tickers, flds, *args, True)
        stacked = [client.submit(_unwrap, whole, key=f"bars-part-{uuid.uuid4().hex}")]
        meta = client.submit(_head, stacked[0], key=f"bars-samples-{uuid.uuid4().hex}").result()
    else:
        # A sample stands for its ticker's bars when stacking; samples alike stand for each other.
        seen, distinct = set(), []
        for i, sample in enumerate(flat):
            sig = _signature(sample)
            if sig not in seen:
                seen.add(sig)
                distinct.append(i)
        meta = pd.concat([flat[i] for i in distinct]).iloc[:0]
        stacked, lo = [], 0
        for group, future in zip(samples, groups):
            hi = lo + len(group)
            before = [flat[i] for i in distinct if i < lo]
            after = [flat[i] for i in distinct if i >= hi]
            stacked.append(client.submit(_stacked_part, future, before, after,
                                         key=f"bars-part-{uuid.uuid4().hex}"))
            lo = hi
    with dask.config.set({"dataframe.convert-string": False}):  # the bars' own dtypes, text included
        return dd.from_delayed(stacked, meta=meta, verify_meta=False)


def _cancel_futures(futures):
    for f in futures:
        f.cancel()


def _head(df):
    return df.iloc[:0]


def _samples(pieces):
    if isinstance(pieces, _Failed):
        return pieces
    return [_sample(p) for p in pieces]


def _sample(piece):
    """A few rows of `piece` that stand for it when tables are stacked: the dtype that stacking gives
    a column depends on the tables' dtypes (the first table's among them) and on which of them are
    empty or all missing there, so each column gets a row in which it is not missing, where it has
    one. The rows are taken whole, so the columns stay in the piece's blocks."""
    if len(piece) <= 1:
        return piece
    present = piece.notna().to_numpy()
    return piece.iloc[np.unique(np.where(present.any(axis=0), present.argmax(axis=0), 0))]


def _signature(sample):
    return (tuple(sample.columns), tuple(repr(d) for d in sample.dtypes), sample.shape,
            sample.isna().to_numpy().tobytes())


def _stacked_part(pieces, before, after):
    """The rows of `pieces` as stacking every ticker's bars gives them: stacked between samples of
    the tickers before and after them, which are then taken out again."""
    lo = sum(len(s) for s in before)
    hi = lo + sum(len(p) for p in pieces)
    return pd.concat(before + pieces + after).iloc[lo:hi]


def _historical_table(client, tickers, flds, args, per_task, measure):
    # Tasks take whole tickers (every occurrence of a name goes to one task, so repeated names are
    # averaged where the one call averages them) in order of first appearance.
    names = list(dict.fromkeys(tickers))
    distinct = len(flds) > 0 and all(isinstance(f, str) for f in flds) and len(set(flds)) == len(flds)
    task_flds = flds if distinct else list(measure)
    chunks = []
    for lo, hi in _groups(len(names), per_task, client):
        members = set(names[lo:hi])
        chunks.append([t for t in tickers if t in members])
    jobs = [_submit_query(client, chunk, task_flds, args, False) for chunk in chunks]
    parts, error, i = _results_in_order(jobs)
    if error is not None:
        # A group that fails while reading fails the one call there too, every earlier group having
        # been read: its reading error is the answer. An error of the reshape is not per group.
        read = _submit_query(client, chunks[i], task_flds, args, True).result()
        if isinstance(read, _Failed):
            raise read.error
        return _one_call(client, tickers, flds, args)
    fields = task_flds if distinct else measure
    table = _merge_tables(parts, fields)
    if table is None:
        return _one_call(client, tickers, flds, args)
    return table if distinct else table.loc[flds]


def _one_call(client, tickers, flds, args):
    return _unwrap(_submit_query(client, tickers, flds, args, False).result())


def _merge_tables(parts, fields):
    """The (field, date) x ticker tables of disjoint ticker groups side by side, as the one call
    would build them, or None where their shape leaves that open."""
    first = parts[0]
    for p in parts:
        if not (isinstance(p, pd.DataFrame) and isinstance(p.index, pd.MultiIndex)
                and list(p.index.names) == ["FLDS", "DATE"] and p.columns.name == "ID" and len(p.columns) > 0
                and p.columns.is_unique and all(d == np.float64 for d in p.dtypes)
                and p.index.levels[0].dtype == first.index.levels[0].dtype
                and p.index.levels[1].dtype == first.index.levels[1].dtype
                and p.columns.dtype == first.columns.dtype):
            return None
    if len(parts) == 1:
        return first
    if all(p.index.equals(first.index) for p in parts[1:]):
        table = pd.concat(parts, axis=1)
    else:
        keys = pd.concat([p.index.to_frame(index=False) for p in parts], ignore_index=True).drop_duplicates()
        rank = {f: k for k, f in enumerate(fields)}
        keys["_rank"] = keys["FLDS"].map(rank)
        if keys["_rank"].isna().any():
            return None
        keys = keys.sort_values(["_rank", "DATE"], kind="stable")
        index = pd.MultiIndex.from_arrays(
            [pd.Index(keys["FLDS"].to_numpy(), dtype=first.index.levels[0].dtype),
             pd.Index(keys["DATE"].to_numpy(), dtype=first.index.levels[1].dtype)], names=["FLDS", "DATE"])
        table = pd.concat([p.reindex(index) for p in parts], axis=1)
    ids = sorted(table.columns)
    return table.reindex(columns=pd.Index(ids, dtype=first.columns.dtype, name="ID"))


# ---- event windows ---------------------------------------------------------------------------------

def bars_around_events(client: distributed.Client, df_bars: Any, df_calendar: pd.DataFrame,
                       pre_event_window: int = -5, post_event_window: int = 10,
                       securities_per_task: Optional[int] = None) -> pd.DataFrame:
    """`filter_bars_around_events` with the bars split by security ("key") into tasks.

    The calendar is scattered to the workers once; each task cuts the windows out of the bars of
    its securities, and the pieces are put back in the one call's row order. Returns what
    `filter_bars_around_events(df_bars, df_calendar, pre_event_window, post_event_window)` returns,
    or raises its error. `df_bars` is a pandas DataFrame or a dask DataFrame; tasks hold
    `securities_per_task` securities each (default: about four tasks per worker thread).
    """
    per_task = _per_task(securities_per_task, "securities_per_task")
    window = (pre_event_window, post_event_window)
    calendar = _Shared(client, df_calendar)
    if _is_dask_frame(df_bars):
        return _events_dask(client, df_bars, df_calendar, calendar, window, per_task)
    return _events_pandas(client, df_bars, df_calendar, calendar, window, per_task)


def _is_dask_frame(obj):
    return hasattr(obj, "to_delayed") and hasattr(obj, "npartitions") and hasattr(obj, "columns")


def _covered(bars, minutes):
    """The window minutes on which a bar with a key falls."""
    times = bars["datetime"]
    hit = times.isin(minutes) & bars["key"].notna()
    return pd.Index(times[hit].unique())


def _splittable(columns):
    return columns.is_unique and "key" in columns and "datetime" in columns


def _window_minutes(df_calendar, window):
    meta = _tickbars.get_event_metadata(df_calendar, *window)
    return pd.Index(meta["datetime"].unique())


def _events_pandas(client, df_bars, df_calendar, calendar, window, per_task):
    if isinstance(df_bars, pd.DataFrame) and _splittable(df_bars.columns) and len(df_bars):
        try:
            codes, keys = pd.factorize(df_bars["key"], sort=True)
            minutes = _window_minutes(df_calendar, window)
            covered = _covered(df_bars, minutes)
        except _TASK_ERRORS:  # the one call meets the same input and says what is wrong with it
            keys = ()
        if len(keys):
            no_key = codes < 0
            parts = []
            for lo, hi in _groups(len(keys), per_task, client):
                parts.append(df_bars[((codes >= lo) & (codes < hi)) | no_key])
            shared_cover = _Shared(client, covered)

            def job(part):
                return _Job(lambda: _submit(client, "_event_part", _event_part, client.scatter(part, hash=False),
                                            calendar.get(), *window, shared_cover.get()))

            pieces, error, _ = _results_in_order([job(p) for p in parts])
            if error is None:
                return _stack_pieces(pieces)
    # Bars that cannot be split by security (or a failing piece): the one call on one worker answers.
    return _unwrap(_Job(lambda: _submit(client, "filter_bars_around_events", _tickbars.filter_bars_around_events,
                                        client.scatter(df_bars, hash=False), calendar.get(), *window)).result())


def _events_dask(client, df_bars, df_calendar, calendar, window, per_task):
    from dask import delayed

    call = delayed(_call, pure=False)
    parts = client.compute(df_bars.to_delayed())  # each partition computed once, kept on the workers
    if _splittable(df_bars.columns) and len(parts):
        try:
            minutes = _window_minutes(df_calendar, window)
            found = _unwrap(client.compute(call(_keys_and_cover, [call(_part_keys_and_cover, p, minutes)
                                                                  for p in parts])).result())
            keys = () if found is None else pd.Index(pd.factorize(found[0], sort=True)[1])
        except _TASK_ERRORS:  # the one call says what is wrong with these inputs
            keys = ()
        if len(keys):
            bounds = _groups(len(keys), per_task, client)
            starts = np.array([lo for lo, _ in bounds[1:]], dtype=np.intp)
            covered, united = found[1], found[2]
            split = [delayed(_split_by_key, nout=len(bounds))(p, keys, starts, united) for p in parts]
            tasks = [call(_event_part_of, [s[k] for s in split], calendar.get(), *window, covered,
                          dask_key_name=f"_event_part-{uuid.uuid4().hex}")
                     for k in range(len(bounds))]
            futures = client.compute(tasks)
            pieces, error, _ = _results_in_order([_Job(lambda f=f: f) for f in futures])
            if error is None:
                return _stack_pieces(pieces)
    whole = delayed(_stack_partitions)(parts) if len(parts) else delayed(df_bars._meta)
    return _unwrap(client.compute(call(_tickbars.filter_bars_around_events, whole, calendar.get(), *window)).result())


def _stack_partitions(parts):
    """The partitions stacked as computing the dask frame stacks them: empty ones left out, and the
    categories of a categorical column united."""
    from dask.dataframe.dispatch import concat

    filled = [p for p in parts if len(p)]
    return concat(filled, uniform=True) if filled else parts[0]


def _part_keys_and_cover(bars, minutes):
    return bars["key"].dropna().drop_duplicates(), _covered(bars, minutes), bars.dtypes, len(bars)


def _keys_and_cover(found):
    """All the keys, in the dtype of the stacked partitions; the covered window minutes; and the
    categorical dtypes that stacking the partitions gives where those differ among them. None when
    the partitions' columns or other dtypes differ: the pieces could not be stacked as they are."""
    for f in found:
        if isinstance(f, _Failed):
            return f
    united = _united_categories([d for _, _, d, _ in found], [d for _, _, d, n in found if n])
    if united is None:
        return None
    key_dtype = united.get("key")
    keys = pd.concat([k if key_dtype is None else k.astype(key_dtype) for k, *_ in found]).drop_duplicates()
    cover = found[0][1].append([c for _, c, *_ in found[1:]]).unique() if len(found) > 1 else found[0][1]
    return keys.array, pd.Index(cover), united


def _united_categories(dtypes, filled):
    """{column: dtype} for the categorical columns whose categories differ among the partitions: the
    categories of the non-empty partitions united in their order, as stacking them unites them.
    None if the partitions differ in any other way."""
    first = dtypes[0]
    if any(not d.index.equals(first.index) for d in dtypes[1:]):
        return None
    united = {}
    for j, column in enumerate(first.index):
        kinds = [d.iloc[j] for d in dtypes]
        if all(isinstance(k, pd.CategoricalDtype) for k in kinds):
            if len({(tuple(k.categories), k.ordered) for k in kinds}) > 1:
                try:
                    united[column] = union_categoricals([pd.Categorical([], dtype=d.iloc[j])
                                                         for d in filled or dtypes[:1]]).dtype
                except TypeError:  # ordered categories that differ do not stack
                    return None
        elif any(k != kinds[0] for k in kinds[1:]):
            return None
    return united


def _split_by_key(bars, keys, starts, united):
    """Rows of each key range, with the rows that have no key in every range, in their order. `keys`
    are all the keys in the order that sorting gives their dtype (for categories, the categories'
    order), and `starts` the positions in it at which the ranges after the first begin. Categorical
    columns first take the `united` dtypes that stacking all the partitions gives them."""
    if united:
        bars = bars.astype(united)
    no_key = bars["key"].isna().to_numpy()
    codes = np.searchsorted(starts, keys.get_indexer(bars["key"]), side="right")
    return tuple(bars[(codes == k) | no_key] for k in range(len(starts) + 1))


def _event_part_of(pieces, calendar, pre, post, covered):
    bars = pd.concat(pieces) if len(pieces) > 1 else pieces[0]
    return _event_part(bars, calendar, pre, post, covered)


def _event_part(bars, calendar, pre, post, covered):
    """The event bars of one group of securities.

    The whole bar table decides two things that one group cannot see: which window minutes have no
    bar at all (their empty join rows turn integer and boolean bar columns into floats and
    objects) and which releases have bars (a release without a calendar row does the same to the
    calendar's columns). So the group gets a copy of one of its bars on every window minute that
    has a keyed bar somewhere else, and those rows are taken out of its answer again.
    """
    keyed = bars["key"].notna().to_numpy()
    own = pd.Index(bars["datetime"][keyed].unique())
    missing = covered[~covered.isin(own)] if keyed.any() else covered[:0]
    if len(missing):
        pad = bars.iloc[[int(np.argmax(keyed))] * len(missing)].reset_index(drop=True)
        pad["datetime"] = pd.Series(missing, dtype=bars["datetime"].dtype)
        bars = pd.concat([bars, pad], ignore_index=True)
    out = _tickbars.filter_bars_around_events(bars, calendar, pre, post)
    if len(missing):
        out = out[~out["datetime"].isin(missing)]
    return out


def _stack_pieces(pieces):
    """Pieces of consecutive key ranges, each in the one call's order, interleaved into that order:
    by release (event name, then release time), then by range."""
    filled = [p for p in pieces if len(p)]
    if not filled:
        return pieces[0].reset_index(drop=True)
    if len(filled) == 1:
        return filled[0].reset_index(drop=True)
    out = pd.concat(filled, ignore_index=True)
    return out.sort_values(["EVENT_NAME", "event_datetime"], kind="stable", ignore_index=True)
