"""The one recordings lookup (examples/data_folder.py): $VANTORESK_DATA, then
shared/data beside the checkout, then the in-repository excerpts, each
answer saying where it came from."""

from data_folder import BESIDE_CHECKOUT, FROM_ENV, IN_REPOSITORY, data_folder


def test_lookup_order_and_what_it_says(tmp_path, monkeypatch, capsys):
    monkeypatch.delenv("VANTORESK_DATA", raising=False)
    monkeypatch.delenv("VANTORESK_NO_SHARED", raising=False)
    root = tmp_path / "checkout"
    shared = tmp_path / "shared" / "data"
    named = tmp_path / "elsewhere"
    for folder in (root / "examples" / "data", shared, named):
        folder.mkdir(parents=True)

    # Nothing holds the file: the excerpts, and the answer says so.
    found = data_folder("rec.npy", root=root, announce=True)
    assert (found.path, found.source, found.excerpts) == (root / "examples" / "data", IN_REPOSITORY, True)
    assert IN_REPOSITORY in capsys.readouterr().err

    # Beside the checkout, when the file is there.
    (shared / "rec.npy").write_bytes(b"")
    assert (data_folder("rec.npy", root=root).path, data_folder("rec.npy", root=root).source) == (shared, BESIDE_CHECKOUT)
    # ... but not when the caller asked to skip it.
    monkeypatch.setenv("VANTORESK_NO_SHARED", "1")
    assert data_folder("rec.npy", root=root).excerpts
    monkeypatch.delenv("VANTORESK_NO_SHARED")

    # A named folder without the file is reported and passed over.
    monkeypatch.setenv("VANTORESK_DATA", str(named))
    assert data_folder("rec.npy", root=root).source == BESIDE_CHECKOUT
    assert "has no rec.npy" in capsys.readouterr().err
    # With it, the named folder wins over the shared one.
    (named / "rec.npy").write_bytes(b"")
    found = data_folder("rec.npy", root=root)
    assert (found.path, found.source, found.excerpts) == (named, FROM_ENV, False)
    assert str(named) in str(found) and FROM_ENV in str(found)
