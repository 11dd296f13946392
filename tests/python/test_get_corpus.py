"""bench/get_corpus.py's conversion of raw JSON to the dialect.

The fetch itself needs GitHub; what is tested here is the conversion: on
hand-made raw documents, and on the corpus files themselves, which are
already converted and so must come back byte for byte (and with the SHA-256
the script checks its output against).
"""

from __future__ import annotations

import hashlib
import importlib.util
from pathlib import Path
from types import ModuleType

import pytest

import quorl_core

BENCH = Path(__file__).resolve().parents[2] / "bench"
if not (BENCH / "get_corpus.py").is_file():
    pytest.skip("not in a checkout: bench/ is absent", allow_module_level=True)


def load(name: str) -> ModuleType:
    found = importlib.util.spec_from_file_location(name, BENCH / f"{name}.py")
    assert found is not None and found.loader is not None
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


get_corpus = load("get_corpus")
CORPUS = load("corpus_dir").corpus_dir()

CONVERSIONS = [
    (
        '{"a": 9007199254740991, "b": -9007199254740991}',
        '{"a":9007199254740991,"b":-9007199254740991}',
    ),
    (
        "[9007199254740992, -9007199254740993]",
        '[{"$int":"9007199254740992"},{"$int":"-9007199254740993"}]',
    ),
    ("123456789012345678901234567890", '{"$int":"123456789012345678901234567890"}'),
    (
        "[0.5, 1e-3, -1.50E+10, 0.0, -0.0, 1E400, 2.000]",
        '["0.5","1e-3","-1.50E+10","0.0","-0.0","1E400","2.000"]',
    ),
    ("[-0, 0, -1]", "[0,0,-1]"),
    ('{"z": 1, "a": {"y": [], "b": {}}}', '{"z":1,"a":{"y":[],"b":{}}}'),
    ('{"a": 1, "b": 2, "a": 3}', '{"a":3,"b":2}'),
    ('"caf\\u00e9 \\ud83d\\ude00 \\/"', '"café 😀 /"'),
    ('"caf\u00e9 \u2028"', '"café \u2028"'),
    ('"\\u0001\\n\\t\\"\\\\"', '"\\u0001\\n\\t\\"\\\\"'),
    (' \n[ true , false , null , "x" ] \n', '[true,false,null,"x"]'),
    ('{"$int": "12", "n": {"$float": 1.5}}', '{"$int":"12","n":{"$float":"1.5"}}'),
]


@pytest.mark.parametrize(("raw", "expected"), CONVERSIONS)
def test_convert(raw: str, expected: str) -> None:
    converted = get_corpus.convert(raw.encode("utf-8"))
    assert converted == expected.encode("utf-8")
    assert get_corpus.convert(converted) == converted


@pytest.mark.parametrize(("raw", "expected"), CONVERSIONS[:-1])
def test_converted_text_is_accepted(raw: str, expected: str) -> None:
    quorl_core.canonical_bytes_from_json(get_corpus.convert(raw.encode("utf-8")).decode("utf-8"))


@pytest.mark.parametrize(
    "raw",
    [
        b"[NaN]",
        b"[Infinity]",
        b"[1] [2]",
        b"[1,]",
        b"{'a': 1}",
        b"",
        b"\xff[]",
        b'"\\ud800"',  # a lone surrogate has no UTF-8 form
    ],
)
def test_refused(raw: bytes) -> None:
    with pytest.raises(ValueError):
        get_corpus.convert(raw)


@pytest.mark.skipif(CORPUS is None, reason="no corpus: run python bench/get_corpus.py")
@pytest.mark.parametrize("name", sorted(get_corpus.DOCUMENTS))
def test_corpus_file_converts_to_itself(name: str) -> None:
    assert CORPUS is not None
    path = CORPUS / name
    if not path.is_file():
        pytest.skip(f"{name} not in {CORPUS}")
    text = path.read_bytes()
    assert get_corpus.convert(text) == text
    assert hashlib.sha256(text).hexdigest() == get_corpus.DOCUMENTS[name][1]


def test_script_offline(
    tmp_path: Path, monkeypatch: pytest.MonkeyPatch, capsys: pytest.CaptureFixture[str]
) -> None:
    """main() end to end with the download replaced: what matches its checks is
    written whole; a wrong size, a wrong result or a failed fetch writes nothing
    and leaves what was there."""
    docs = {
        "ok.json": b'{"b": 0.25, "a": 12345678901234567890}',
        "short.json": b"[1]",
        "changed.json": b"[2]",
    }
    monkeypatch.setattr(
        get_corpus,
        "DOCUMENTS",
        {
            "ok.json": (
                len(docs["ok.json"]),
                hashlib.sha256(b'{"b":"0.25","a":{"$int":"12345678901234567890"}}').hexdigest(),
            ),
            "short.json": (99, ""),
            "changed.json": (3, hashlib.sha256(b"[3]").hexdigest()),
            "offline.json": (1, ""),
        },
    )

    def fetch(name: str) -> bytes:
        if name == get_corpus.LICENSE[0] or name.endswith("offline.json"):
            raise OSError("network unreachable")
        return docs[name.removeprefix("jsonexamples/")]

    monkeypatch.setattr(get_corpus, "fetch", fetch)
    (tmp_path / "changed.json").write_bytes(b"kept")
    monkeypatch.setattr("sys.argv", ["get_corpus.py", "--out", str(tmp_path)])
    assert get_corpus.main() == 1
    assert sorted(p.name for p in tmp_path.iterdir()) == ["changed.json", "ok.json"]
    assert (
        tmp_path / "ok.json"
    ).read_bytes() == b'{"b":"0.25","a":{"$int":"12345678901234567890"}}'
    assert (tmp_path / "changed.json").read_bytes() == b"kept"
    err = capsys.readouterr().err
    assert all(f"!! {n}" in err for n in ("short.json", "changed.json", "offline.json", "LICENSE"))
