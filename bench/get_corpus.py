"""Fetches the twelve benchmark documents and converts them to the tagged dialect.

    python bench/get_corpus.py [--out DIR]      (default DIR: bench/corpus)

The documents are the JSON examples of the simdjson repository at one fixed
commit, read over https from GitHub's raw file host; their licence file comes
along. Each is converted so that the module accepts it, and nothing else
changes:

- an integer beyond +/-(2^53 - 1) becomes {"$int": "<digits>"};
- a number with a fraction or an exponent becomes a string holding its exact
  source text ("0.5", "1e-3");
- -0 becomes 0;
- members keep their source order (a repeated key keeps its last value);
- the output is compact UTF-8, non-ASCII kept as is, with no trailing newline.

Every raw file is checked against its known size and every converted one
against its known SHA-256, so a changed source or a wrong conversion stops
the script. Files are written whole (through a temporary name) or not at all.
"""

from __future__ import annotations

import argparse
import hashlib
import json
import sys
import urllib.request
from pathlib import Path
from typing import Any

BENCH = Path(__file__).resolve().parent
DEFAULT_OUT = BENCH / "corpus"

COMMIT = "19c3b1315a2a6b8ab0a6b7335bb97269cbd0a448"
BASE_URL = f"https://raw.githubusercontent.com/simdjson/simdjson/{COMMIT}/"
LICENSE = (
    "LICENSE",
    "LICENSE.simdjson",
    "664f4e8a5ae846b8a94960da2418187c0b4176d64266ba5fdb8316a8ddf50f27",
)

# name: (raw size in bytes, SHA-256 of the converted file)
DOCUMENTS: dict[str, tuple[int, str]] = {
    "apache_builds.json": (
        127275,
        "be44350e6e4bcd14d090af8d0c13fd1a8266ab2892be3017fc3f0e2c3ff1f76b",
    ),
    "canada.json": (2251051, "7c8e1ea9e9b50c15890a2dc2248626cc7c94a6682d080a02eda083970f66cbee"),
    "citm_catalog.json": (
        1727204,
        "831f4a8f271d6650d49b87c3af6b6adaaea122e563dd85fa03dc62b03c3ab7ef",
    ),
    "github_events.json": (
        65132,
        "9be6807cf1495ab135c55d3899c4c358f27f7b4ef5ca2e864b090bf4c23d41cc",
    ),
    "gsoc-2018.json": (3327831, "594d927f032552e7771d248fe554d55ebdcd80e08ce809deef82221aa82892c7"),
    "instruments.json": (
        220346,
        "750f0ca75a30af584c74e5457c3ac8cc105df73e2608a97521ef31ff5dbfb1db",
    ),
    "marine_ik.json": (2983466, "0b86e5db1f0b42c5cdee13fd2b40fcb5ec97ab5a7ac67f6fb67596f9db55a5d5"),
    "mesh.json": (723597, "a9149b28d224a54a8d87171679a7801375e79e406eaab76163f5d1535f0aeb19"),
    "numbers.json": (150124, "0942eebb7c25530ae9a09718fe2ca72dbb30fc70939a377671e3b485783b7fdc"),
    "random.json": (510476, "76a556611ad5777e80acb8abc4f7d7c0294d6add7f5f164990a569592d4ab441"),
    "twitter.json": (631515, "99504ff12dcb06197e4cb6b948c92e2f6a069fe36be08a8247782f51cc3c98c9"),
    "update-center.json": (
        533178,
        "b9d5a60dbbc86af925995635ec7c58307ea0c763f3847102501b0b2ec53e8d1c",
    ),
}

MAX_SAFE = 2**53 - 1


class _Number(str):
    """A number's source text, to be written as a JSON string."""


def _int(text: str) -> int | dict[str, str]:
    value = int(text)  # "-0" gives 0
    return {"$int": str(value)} if abs(value) > MAX_SAFE else value


def _no_constant(name: str) -> None:
    raise ValueError(f"{name} is not JSON")


def _members(pairs: list[tuple[str, Any]]) -> dict[str, Any]:
    return dict(pairs)  # source order; a repeated key keeps its last value


def convert(raw: bytes) -> bytes:
    """One raw JSON document as the dialect's text (see the module's docstring).

    Raises ValueError (json.JSONDecodeError, UnicodeError included) for input
    that is not one strict JSON document in UTF-8."""
    text = raw.decode("utf-8")
    value = json.loads(
        text,
        parse_int=_int,
        parse_float=_Number,
        parse_constant=_no_constant,
        object_pairs_hook=_members,
    )
    out = json.dumps(value, separators=(",", ":"), ensure_ascii=False, allow_nan=False)
    # A "\ud800" escape decodes to a lone surrogate, which UTF-8 cannot hold.
    return out.encode("utf-8")


def fetch(name: str, timeout: float = 60.0) -> bytes:
    url = BASE_URL + name
    with urllib.request.urlopen(url, timeout=timeout) as response:  # noqa: S310 (fixed https URL)
        data: bytes = response.read()
    return data


def write_whole(path: Path, data: bytes) -> None:
    part = path.with_name(path.name + ".part")
    part.write_bytes(data)
    part.replace(path)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument(
        "--out",
        type=Path,
        default=DEFAULT_OUT,
        help="folder to write the documents to (default: bench/corpus)",
    )
    args = parser.parse_args()
    out: Path = args.out
    out.mkdir(parents=True, exist_ok=True)

    failed = 0
    for name, (raw_size, converted_sha256) in DOCUMENTS.items():
        try:
            raw = fetch("jsonexamples/" + name)
            if len(raw) != raw_size:
                raise ValueError(f"expected {raw_size} bytes from upstream, got {len(raw)}")
            converted = convert(raw)
            digest = hashlib.sha256(converted).hexdigest()
            if digest != converted_sha256:
                raise ValueError(f"converted SHA-256 {digest}, expected {converted_sha256}")
        except (OSError, ValueError) as error:
            print(f"!! {name}: {error}", file=sys.stderr)
            failed += 1
            continue
        write_whole(out / name, converted)
        print(f"{name}: {len(raw):,} bytes -> {len(converted):,} bytes")
    source, target, licence_sha256 = LICENSE
    try:
        licence = fetch(source)
        if hashlib.sha256(licence).hexdigest() != licence_sha256:
            raise ValueError("licence text differs from the expected one")
        write_whole(out / target, licence)
    except (OSError, ValueError) as error:
        print(f"!! {source}: {error}", file=sys.stderr)
        failed += 1
    if failed:
        print(f"{failed} file(s) not fetched; run again later", file=sys.stderr)
        return 1
    print(f"corpus written to {out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
