"""Strategy records (orvane_data.ta.strategy)."""
import dataclasses
import inspect
from typing import List, Optional

import pytest

from orvane_data.ta import strategy
from orvane_data.ta.strategy import AllStrategy, CommonStrategy, Strategy


def test_is_a_plain_dataclass():
    assert dataclasses.is_dataclass(Strategy) and isinstance(Strategy, type)
    fields = dataclasses.fields(Strategy)
    assert [(f.name, f.type, f.default) for f in fields] == [
        ("name", str, "Custom"), ("ta", Optional[List[dict]], None), ("description", str, "")]
    params = Strategy.__dataclass_params__
    assert (params.init, params.repr, params.eq, params.order, params.frozen) == (True, True, True, False, False)
    assert str(inspect.signature(Strategy)) == (
        "(name: str = 'Custom', ta: Optional[List[dict]] = None, description: str = '') -> None")
    assert Strategy.__module__ == "orvane_data.ta.strategy" and Strategy.__qualname__ == "Strategy"


@pytest.mark.parametrize("a, b, equal", [
    (Strategy(), Strategy("Custom", None, ""), True),
    (Strategy("x", [{"kind": "obv"}], "d"), Strategy(name="x", ta=[{"kind": "obv"}], description="d"), True),
    (Strategy("x"), Strategy("y"), False),
    (Strategy(ta=[]), Strategy(ta=None), False),
    (Strategy(description="a"), Strategy(description="b"), False),
])
def test_equality_compares_fields(a, b, equal):
    assert (a == b) is equal


def test_repr_mutability_and_hashing():
    s = Strategy("S", [{"kind": "sma", "length": 5}])
    assert repr(s) == "Strategy(name='S', ta=[{'kind': 'sma', 'length': 5}], description='')"
    s.name = 42   # declared types are not enforced
    assert s.name == 42
    with pytest.raises(TypeError, match="unhashable"):
        hash(s)
    with pytest.raises(TypeError):
        Strategy("a", None, "", "extra")
    with pytest.raises(TypeError):
        Strategy() < Strategy()


def test_ready_made_strategies():
    assert AllStrategy == Strategy("All", None, "Runs every registered indicator.")
    assert AllStrategy.ta is None
    assert CommonStrategy.name == "Common"
    assert CommonStrategy.description == "Commonly used indicators for a quick overview."
    assert CommonStrategy.ta == [
        {"kind": "sma", "length": 10}, {"kind": "sma", "length": 20}, {"kind": "sma", "length": 50},
        {"kind": "sma", "length": 200}, {"kind": "ema", "length": 12}, {"kind": "ema", "length": 26},
        {"kind": "rsi"}, {"kind": "macd"}, {"kind": "bbands"}, {"kind": "atr"}, {"kind": "obv"},
        {"kind": "stoch"}, {"kind": "adx"},
    ]
    assert all(type(e["length"]) is int for e in CommonStrategy.ta if "length" in e)


def test_docstrings_and_module_names():
    assert strategy.__doc__ == "Strategy system for running multiple indicators in batch."
    doc = Strategy.__doc__
    assert doc.splitlines()[0] == "Declarative batch of indicator calls."
    for text in ('"kind"', "keyword argument", '"My Strategy"', '{"kind": "bbands", "length": 20, "std": 2.0}',
                 '{"kind": "rsi", "length": 14}', '{"kind": "macd"}'):
        assert text in doc
    assert strategy.dataclass is dataclasses.dataclass and strategy.field is dataclasses.field
    assert strategy.List is List and strategy.Optional is Optional
