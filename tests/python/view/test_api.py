"""The viewer's API: sample ranges equal the decoded array, envelopes are
the decoded samples' extremes per column at any zoom, annotations come by
time, and bad requests get a 4xx with a message without decoding a whole
record."""

import numpy as np
import pytest
import zarr

from vantoresk_archive.overview import BLOCK
from vantoresk_archive.view import data as vd
from vantoresk_archive.view.app import unpack
from view_support import START, block_reference


def _decoded(store, rec, array):
    """Physical samples of a whole array, as the reader API computes them."""
    from vantoresk_archive.read import physical

    arr = zarr.open_group(str(store / rec), mode="r")[array]
    return physical(arr[...], dict(arr.attrs))


def test_records_and_description(client):
    recs = {r["name"]: r for r in client.get("/api/records").json()["records"]}
    assert set(recs) == {"ecg", "mixed"}
    ecg = recs["ecg"]
    assert ecg["duration"] == pytest.approx(180.0) and ecg["channels"] == 2 and ecg["rates"] == [360.0]
    assert ecg["start_time"] == START and ecg["size"] > 0 and ecg["ratio"] > 1
    assert sorted(recs["mixed"]["rates"]) == [125.0, 500.0]
    d = client.get("/api/records/ecg").json()
    assert d["annotators"] == ["atr", "note"]
    (a,) = d["arrays"]
    assert a["channels"] == ["MLII", "V5"] and a["units"] == ["mV", "mV"] and a["levels"][0]["block"] == BLOCK


def test_short_range_is_the_decoded_samples(client, store):
    x = _decoded(store, "mixed", "signals_125hz")
    r = client.get("/api/records/mixed/data", params={"array": "signals_125hz", "start": 20.5, "stop": 24.0,
                                                       "points": 2000, "channels": "0"})
    head, v = unpack(r.content)
    assert r.status_code == 200 and head["kind"] == "samples" and head["dt"] == 1 / 125
    s0 = round(head["t0"] * 125)
    assert s0 == 2562 - 1  # from the sample holding 20.5 s, one more on each side
    np.testing.assert_array_equal(v[0], x[0, s0:s0 + head["n"]].astype(np.float32))


def test_sample_range_equals_read_record(client, store):
    from vantoresk_archive.read import read_record

    d = client.get("/api/records/mixed").json()
    array = next(a for a in d["arrays"] if "ABP" in a["channels"])
    row = array["channels"].index("ABP")
    head, v = unpack(client.get("/api/records/mixed/data", params={
        "array": array["name"], "start": 20.0, "stop": 22.0, "points": 1000, "channels": str(row)}).content)
    rec = read_record(str(store), "mixed", start=20.0, stop=22.0, channels=["ABP"])
    assert head["kind"] == "samples" and rec.rate == head["rate"] == 125
    first = rec.signals[0].first - round(head["t0"] * 125)
    assert first == 1  # the answer has one sample more on each side
    np.testing.assert_array_equal(v[0, first:first + rec.data.shape[1]], rec.data[0].astype(np.float32))


@pytest.mark.parametrize("start,stop,points,source", [
    (10.0, 40.0, 800, "decoded"),    # a few pixels' worth of samples per column
    (0.0, 180.0, 100, "level 0"),    # the whole record from the pyramid
    (33.3, 170.1, 40, "level 0"),    # columns made of several blocks
])
def test_envelopes_are_column_extremes(client, store, start, stop, points, source):
    x = _decoded(store, "ecg", "signals")
    r = client.get("/api/records/ecg/data", params={"start": start, "stop": stop, "points": points})
    head, v = unpack(r.content)
    assert head["kind"] == "envelope" and head["n"] <= points
    assert (head["level"] >= 0) == (source != "decoded")
    g = head["per_column"]
    s0 = round(head["t0"] * 360)
    assert s0 % g == 0 and s0 <= start * 360 and s0 + head["n"] * g >= min(x.shape[1], stop * 360)
    lo, hi = block_reference(x[:, s0:s0 + head["n"] * g], g)
    np.testing.assert_array_equal(v[:, 0], lo.astype(np.float32))
    np.testing.assert_array_equal(v[:, 1], hi.astype(np.float32))


def test_overview_endpoint_serves_stored_blocks(client, store):
    x = _decoded(store, "ecg", "signals")
    head, v = unpack(client.get("/api/records/ecg/overview", params={"level": 0, "start": 3, "stop": 9,
                                                                     "channels": "1"}).content)
    lo, hi = block_reference(x[1:2, 3 * BLOCK:9 * BLOCK], BLOCK)
    np.testing.assert_array_equal(v[:, 0], lo.astype(np.float32))
    np.testing.assert_array_equal(v[:, 1], hi.astype(np.float32))


def test_annotations_by_time(client):
    r = client.get("/api/records/ecg/annotations", params={"start": 59.9, "stop": 62.5}).json()
    got = [(e["annotator"], round(e["t"], 3), e["label"]) for e in r["events"]]
    assert got == [("note", 60.0, "(AFIB"), ("atr", 60.4, "N"), ("atr", 61.2, "N"), ("atr", 62.0, "V")]
    assert r["events"][0]["d"] == 20.0 and not r["truncated"]
    r = client.get("/api/records/ecg/annotations", params={"limit": 10}).json()
    assert r["truncated"] and r["count"] == 225 and len(r["events"]) == 10
    assert client.get("/api/records/mixed/annotations").json() == {"events": [], "count": 0, "truncated": False}


@pytest.mark.parametrize("url,params,status,words", [
    ("/api/records/nosuch", {}, 404, "no record"),
    ("/api/records/nosuch/data", {}, 404, "no record"),
    ("/api/records/..%2F..%2Fetc/data", {}, 404, ""),
    ("/api/records/ecg/data", {"array": "nope"}, 404, "no array"),
    ("/api/records/ecg/data", {"start": "abc"}, 400, "must be a number"),
    ("/api/records/ecg/data", {"start": "nan"}, 400, "finite"),
    ("/api/records/ecg/data", {"start": -1}, 400, "time range"),
    ("/api/records/ecg/data", {"start": 50, "stop": 50}, 400, "time range"),
    ("/api/records/ecg/data", {"stop": 1e12}, 400, "time range"),
    ("/api/records/ecg/data", {"points": 10 ** 9}, 400, "points"),
    ("/api/records/ecg/data", {"points": "1.5"}, 400, "whole number"),
    ("/api/records/ecg/data", {"channels": "0,0"}, 400, "distinct"),
    ("/api/records/ecg/data", {"channels": "7"}, 400, "channels"),
    ("/api/records/ecg/data", {"channels": "x"}, 400, "channels"),
    ("/api/records/ecg/overview", {"level": 99}, 400, "level"),
    ("/api/records/ecg/overview", {"start": 5, "stop": 2}, 400, "stop"),
    ("/api/records/ecg/annotations", {"start": 5, "stop": 2}, 400, "stop"),
    ("/api/records/ecg/annotations", {"limit": 0}, 400, "limit"),
    ("/api/nothing", {}, 404, "Not Found"),
])
def test_bad_requests(client, url, params, status, words):
    r = client.get(url, params=params)
    assert r.status_code == status
    body = r.json()
    assert words in body["error"] and "Traceback" not in r.text


def test_huge_ranges_never_decode_the_whole_record(store, monkeypatch):
    view = vd.StoreView(str(store))
    decoded = []
    real = vd.StoreView._remember
    monkeypatch.setattr(vd.StoreView, "_remember", lambda self, a, blocks: decoded.extend(blocks) or
                        real(self, a, blocks))
    monkeypatch.setattr(vd, "RAW_BUDGET", 1000)
    head, _ = view.data("ecg", {"points": "8192"})
    assert head["level"] == 0 and not decoded  # the pyramid answers
    # Without a pyramid: an envelope only while the decode stays small.
    a = view.record("ecg").arrays["signals"]
    a.overview = None
    monkeypatch.setattr(vd, "RAW_HARD_LIMIT", 20000)
    with pytest.raises(vd.RequestError) as err:
        view.data("ecg", {"points": "100"})
    assert err.value.status == 400 and "vantoresk index" in err.value.message and not decoded
    head, _ = view.data("ecg", {"start": "0", "stop": "20", "points": "100"})
    assert head["kind"] == "envelope" and decoded == [0, 1]


def test_loopback_server_answers_only_its_own_names(store):
    from starlette.testclient import TestClient

    from vantoresk_archive.view import create_app

    app = create_app(str(store), allowed_hosts=["127.0.0.1", "localhost"])
    with TestClient(app, base_url="http://127.0.0.1:8765") as c:
        assert c.get("/api/records").status_code == 200
    with TestClient(app, base_url="http://rebound.example:8765") as c:
        assert c.get("/api/records").status_code == 400
