"""The BQL stand-in's own contract, which the dataset and intraday modules' tests rely on."""
import pandas as pd
import pytest

import bql


@pytest.fixture(autouse=True)
def _clean():
    bql.reset()
    yield
    bql.reset()


def test_query_texts_answer_per_field_in_universe_order():
    bq = bql.Service()
    res = bq.execute("get(TICKER, EXCH_CODE, MARKET_SECTOR_DES) for(['BBG000B9XRY4', 'BBG000BLNNH6', 'BBG0NONE'])")
    assert [e.name for e in res] == ["TICKER", "EXCH_CODE", "MARKET_SECTOR_DES"]
    joined = pd.concat([e.df() for e in res], axis=1)
    assert joined.index.name == "ID" and list(joined.index) == ["BBG000B9XRY4", "BBG000BLNNH6", "BBG0NONE"]
    assert joined.iloc[0].tolist() == ["AAPL", "US", "Equity"]
    assert joined.iloc[2].tolist() == [None, None, None]
    figi = bq.execute("get(ID_BB_GLOBAL) for(['IBM US Equity', 'ibm us equity'])")[0].df()
    assert figi["ID_BB_GLOBAL"].to_dict() == {"IBM US Equity": "BBG000BLNNH6", "ibm us equity": "BBG000BLNNH6"}
    assert bq.execute("get(ID_BB_GLOBAL) for([])")[0].df().empty


@pytest.mark.parametrize("query", ["get(NO_SUCH_FIELD) for(['IBM US Equity'])", "get(ID_BB_GLOBAL) for(IBM US Equity)"])
def test_bad_queries_raise(query):
    with pytest.raises(bql.BqlError):
        bql.Service().execute(query)


def test_batch_errors_go_to_the_callback_or_raise():
    bq = bql.Service()
    good = bql.Request("IBM US Equity", {"n": bq.data.name()})
    bad = bql.Request("IBM US Equity", {"n": bq.data.no_such_field()})
    seen = []
    out = list(bq.execute_many([bad, good], on_request_error=lambda *a: seen.append(a)))
    assert len(out) == 1 and out[0].get("n").df()["n"].tolist() == ["International Business Machines Corp"]
    assert seen[0][1] is bad
    with pytest.raises(bql.BqlError):
        list(bq.execute_many([bad, good]))


def test_droppe_removes_unknown_securities_and_scripts_win():
    bq = bql.Service()
    req = bql.Request(bq.univ.list(["spx index", "zz Index"]), {"figi": bq.data.id_bb_global().droppe()})
    assert bq.execute(req).get("figi").df()["figi"].to_dict() == {"spx index": "BBG000H4FSM0"}
    canned = pd.DataFrame({"figi": ["X"]}, index=pd.Index(["spx index"], name="ID"))
    with bql.scripted(canned, universe=["spx index", "zz Index"]):
        assert bq.execute(req)[0].df().equals(canned)
    assert bq.execute(req)[0].df()["figi"].tolist() == ["BBG000H4FSM0"]
