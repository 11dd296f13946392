"""quorl check: whole documents against `sha256sum -c` on the same tampering,
records against a model built from quorl.digest_from_json line by line."""

import os
import random
import re
import shutil
import subprocess
import sys

import pytest

import quorl

DOCS = {"a.json": b'{"a": 1}', "b.json": b"[1, 2]", "c.json": b'{"c": "x"}', "d.json": b"7"}


def quorl_run(*args, cwd, stdin=b""):
    return subprocess.run(
        [sys.executable, "-m", "quorl", *map(str, args)],
        cwd=cwd,
        input=stdin,
        capture_output=True,
        timeout=120,
    )


def changed(folder):
    (folder / "b.json").write_bytes(b"[1, 3]")


def missing(folder):
    (folder / "c.json").unlink()


def directory(folder):
    (folder / "d.json").unlink()
    (folder / "d.json").mkdir()


def all_missing(folder):
    for name in DOCS:
        (folder / name).unlink()


TAMPERING = {
    "intact": [],
    "changed": [changed],
    "missing": [missing],
    "malformed": [],
    "directory": [directory],
    "changed and missing": [changed, missing],
    "all missing": [all_missing],
}
OPTIONS = [
    [],
    ["--quiet"],
    ["--status"],
    ["--strict"],
    ["-w"],
    ["--ignore-missing"],
    ["--ignore-missing", "--status"],
    ["--quiet", "--strict", "-w"],
]


def unreadable(stderr):
    return re.search(r": (No such file or directory|Is a directory)$", stderr, re.M)


@pytest.mark.skipif(shutil.which("sha256sum") is None, reason="needs sha256sum")
@pytest.mark.parametrize("options", OPTIONS, ids=" ".join)
@pytest.mark.parametrize("case", TAMPERING)
def test_documents_as_sha256sum_checks_them(tmp_path, case, options):
    for name, data in DOCS.items():
        (tmp_path / name).write_bytes(data)
    theirs = subprocess.run(["sha256sum", *DOCS], cwd=tmp_path, capture_output=True).stdout
    ours = quorl_run("digest", "-p", "run", *DOCS, cwd=tmp_path).stdout
    if case == "malformed":
        theirs, ours = theirs + b"not a digest line\n", ours + b"not a digest line\n"
    (tmp_path / "THEIRS").write_bytes(theirs)
    (tmp_path / "OURS").write_bytes(ours)
    for tamper in TAMPERING[case]:
        tamper(tmp_path)
    want = subprocess.run(
        ["sha256sum", "-c", *options, "THEIRS"], cwd=tmp_path, capture_output=True, text=True
    )
    got = quorl_run("check", "-p", "run", *options, "OURS", cwd=tmp_path)
    assert got.stdout.decode() == want.stdout
    # quorl's one departure: a listed file that could not be read is status 2.
    assert got.returncode == (2 if unreadable(want.stderr) else want.returncode)
    # Every message sha256sum gives, quorl gives too (in its words for the line).
    theirs_err = [
        line.replace("sha256sum: ", "", 1)
        .replace("SHA256 checksum", "digest")
        .replace("checksum", "digest")
        .replace("THEIRS", "OURS")
        for line in want.stderr.splitlines()
    ]
    ours_err = [line.replace("quorl: ", "", 1) for line in got.stderr.decode().splitlines()]
    assert [line for line in ours_err if line in theirs_err] == theirs_err
    if "--status" in options:
        assert ours_err == theirs_err


def _records(rng, count):
    lines = []
    for n in range(count):
        roll = rng.random()
        if roll < 0.05:
            lines.append(b"   ")
        elif roll < 0.1:
            lines.append(b'{"n": %d, "f": 1.5}' % n)
        else:
            lines.append(b'{"n": %d, "s": "%s"}' % (n, "é".encode() * rng.randrange(40)))
    return lines


def _model(folder, sums_lines, profile_of):
    """(stdout, status) quorl check must give, from the library line by line."""
    out, status = [], 0
    cache = {}
    for line in sums_lines:
        match = re.fullmatch(
            rb"(?:QUORL-(\S+) \((.*)\):(\d+) = ([0-9a-fA-F]{64})|"
            rb"([0-9a-fA-F]{64})  (.*):(\d+))",
            line,
        )
        if match is None:
            continue
        tag, name, number, hexdigest = (
            (match[1], match[2], match[3], match[4])
            if match[1]
            else (None, match[6], match[7], match[5])
        )
        profile = profile_of(tag)
        path = folder / os.fsdecode(name)
        shown = os.fsdecode(name)
        if not path.exists():
            out.append(f"{shown}:{int(number)}: FAILED open or read")
            status = 2
            continue
        records = cache.setdefault(name, path.read_bytes().split(b"\n"))
        index = int(number) - 1
        try:
            got = quorl.digest_from_json(records[index], profile) if index < len(records) else None
        except quorl.RefusedError:
            got = None
        ok = got is not None and got == hexdigest.decode().lower()
        out.append(f"{shown}:{int(number)}: {'OK' if ok else 'FAILED'}")
        status = max(status, 0 if ok else 1)
    return "".join(line + "\n" for line in out), status


@pytest.mark.parametrize("jobs", [1, 2])
@pytest.mark.parametrize("seed", range(6))
def test_records_against_a_model(tmp_path, seed, jobs):
    """Listed records in digest's order and out of it, repeated, tampered,
    blank, past the end, in a missing file, plain and tagged, in runs of a
    few hundred bytes."""
    rng = random.Random(seed)
    files = {"one.jsonl": _records(rng, 300), "two.jsonl": _records(rng, 40)}
    for name, lines in files.items():
        (tmp_path / name).write_bytes(b"\n".join(lines) + rng.choice([b"", b"\n"]))
    made = quorl_run("digest", "-p", "certificate", *files, cwd=tmp_path).stdout
    tagged = quorl_run("digest", "-p", "certificate", "--tag", *files, cwd=tmp_path).stdout
    assert len(made.splitlines()) == len(tagged.splitlines()) > 250
    plain_lines, tag_lines = made.splitlines(), tagged.splitlines()
    sums = []
    for k in range(len(plain_lines)):
        sums.append(rng.choice([plain_lines[k], tag_lines[k]]))
    extra = [b"%s  one.jsonl:%d" % (b"0" * 64, rng.randrange(1, 400)) for _ in range(5)]
    extra += [b"%s  one.jsonl:%d" % (b"f" * 64, 299), b"%s  gone.jsonl:3" % (b"a" * 64)]
    for line in extra:
        sums.insert(rng.randrange(len(sums)), line)
    if seed % 2:  # out of digest's order
        for _ in range(20):
            i, j = rng.randrange(len(sums)), rng.randrange(len(sums))
            sums[i], sums[j] = sums[j], sums[i]
    sums_text = b"\n".join(sums) + b"\n"
    (tmp_path / "SUMS").write_bytes(sums_text)
    want_out, want_status = _model(tmp_path, sums, lambda tag: "certificate")
    got = quorl_run(
        "check", "-j", jobs, "-p", "certificate", "--chunk-bytes", 512, "SUMS", cwd=tmp_path
    )
    assert got.stdout.decode() == want_out
    assert got.returncode == want_status == 2
    assert b"quorl: gone.jsonl: No such file or directory" in got.stderr
    stdin = quorl_run("check", "-j", jobs, "-p", "certificate", cwd=tmp_path, stdin=sums_text)
    assert (stdin.stdout, stdin.returncode) == (got.stdout, got.returncode)


PLAIN = "{hex}  r.jsonl:1\n"
TAGGED = "QUORL-{tag} (r.jsonl):1 = {hex}\n"


@pytest.mark.parametrize(
    "sums, options, status, message",
    [
        (TAGGED, [], 0, None),
        (TAGGED + PLAIN, ["-p", "run"], 0, None),
        (
            TAGGED,
            ["-p", "certificate"],
            2,
            "SUMS: 1: the line is tagged with profile 'run', but -p gives 'certificate'",
        ),
        (PLAIN, [], 2, "SUMS: 1: the line does not name its profile: give -p PROFILE"),
        (
            PLAIN,
            ["-p", "certificate"],
            1,
            "WARNING: every computed digest failed: the listed ones were made with -p run",
        ),
        (
            "QUORL-NOPE (r.jsonl):1 = {hex}\n",
            ["-p", "run", "-w"],
            2,
            "SUMS: 1: improperly formatted digest line",
        ),
    ],
)
def test_profiles_of_sums_lines(tmp_path, sums, options, status, message):
    (tmp_path / "r.jsonl").write_bytes(b'{"b": 1, "a": 2}\n')
    hexdigest = quorl.digest_from_json(b'{"a":2,"b":1}', "run")
    (tmp_path / "SUMS").write_text(sums.format(hex=hexdigest, tag="RUN"))
    got = quorl_run("check", *options, "SUMS", cwd=tmp_path)
    assert got.returncode == status
    if message is not None:
        assert f"quorl: {message}" in got.stderr.decode()
    if status == 0:
        assert set(got.stdout.decode().splitlines()) == {"r.jsonl:1: OK"}
