"""The quorl command end to end, through `python -m quorl` in a subprocess;
quorl.digest_from_json / canonical_bytes_from_json per document or line are
the reference it must agree with."""

import os
import random
import shutil
import signal
import subprocess
import sys
import time

import pytest

import quorl

FLOAT_DOC = b'{\n  "a": 1.5\n}\n'  # the float is at line 2 column 8
SORTED_DIGEST = quorl.digest_from_json(b'{"a":2,"b":1}', "run")


def run(*args, stdin=b"", cwd=None, stdout=subprocess.PIPE):
    proc = subprocess.Popen(
        [sys.executable, "-m", "quorl", *map(str, args)],
        cwd=cwd,
        stdin=subprocess.PIPE,
        stdout=stdout,
        stderr=subprocess.PIPE,
    )
    out, err = proc.communicate(stdin, timeout=120)
    return subprocess.CompletedProcess(proc.args, proc.returncode, out, err)


def records(count, seed=7, refused=()):
    rng = random.Random(seed)
    lines = []
    for n in range(1, count + 1):
        value = "1.5" if n in refused else str(rng.randrange(10**6))
        lines.append(f'{{"n": {n}, "v": {value}, "s": "{"é" * rng.randrange(5)}"}}')
    return ("\n".join(lines) + "\n").encode()


def expected_digests(name, data, profile="run", done="digested"):
    """(stdout, stderr lines) the command must give, from the library per
    line: the refusals, then a summary when there were any."""
    out, err = [], []
    for n, line in enumerate(data.split(b"\n"), 1):
        if not line.strip(b" \t\r"):
            continue
        try:
            out.append(f"{quorl.digest_from_json(line, profile)}  {name}:{n}\n")
        except quorl.RefusedError as refused:
            err.append(f"quorl: {name}:{n}: {refused}")
    total = len(out) + len(err)
    if err:
        err.append(f"quorl: {total:,} records: {len(out):,} {done}, {len(err):,} refused")
    return "".join(out).encode(), err


@pytest.fixture
def tree(tmp_path):
    (tmp_path / "sub" / "deeper").mkdir(parents=True)
    (tmp_path / "b.json").write_bytes(b'{"b": 2}')
    (tmp_path / "a.json").write_bytes(b'{"a": 1}')
    (tmp_path / "sub" / "r.jsonl").write_bytes(records(5)[:-1])  # no final newline
    (tmp_path / "sub" / "deeper" / "c.json").write_bytes(b"[1, 2]")
    (tmp_path / "sub" / "notes.txt").write_bytes(b"not json")
    return tmp_path


@pytest.mark.parametrize("jobs", [1, 2, 4])
@pytest.mark.parametrize("command", ["digest", "canonical"])
def test_records_in_order_for_any_jobs(tmp_path, jobs, command):
    data = records(3000, refused={10, 1500, 2999}).replace(b"\n", b"\r\n", 5)
    data = data.replace(b"\n", b"\n \t\n", 1)  # a blank line early on
    (tmp_path / "r.jsonl").write_bytes(data)
    args = ["-p", "certificate"] if command == "digest" else []
    got = run(command, *args, "-j", jobs, "--chunk-bytes", 4096, "r.jsonl", cwd=tmp_path)
    want_out, want_err = expected_digests(
        "r.jsonl", data, "certificate", "digested" if command == "digest" else "written"
    )
    if command == "canonical":
        want_out = b"".join(
            quorl.canonical_bytes_from_json(line) + b"\n"
            for line in data.split(b"\n")
            if line.strip(b" \t\r") and b"1.5" not in line
        )
    assert got.stdout == want_out
    assert got.stderr.decode().splitlines() == want_err
    assert len(want_err) == 4 and got.returncode == 1


@pytest.mark.parametrize("jobs", [1, 2])
def test_digest_then_check_and_tampering(tree, jobs):
    # Chunks shorter than a line: each worker task still holds whole lines.
    made = run("digest", "-p", "run", "-r", "-j", jobs, "--chunk-bytes", 16, ".", cwd=tree)
    assert made.returncode == 0, made.stderr
    names = [line.split("  ", 1)[1] for line in made.stdout.decode().splitlines()]
    assert names == ["./a.json", "./b.json", "./sub/deeper/c.json"] + [
        f"./sub/r.jsonl:{n}" for n in range(1, 6)
    ]
    (tree / "SUMS").write_bytes(made.stdout + b"not a digest line\n")
    checked = run("check", "-p", "run", "-j", jobs, "SUMS", cwd=tree)
    assert checked.stdout.decode().splitlines() == [f"{name}: OK" for name in names]
    # As sha256sum -c: a malformed line is counted, and fails the run only with --strict.
    assert checked.returncode == 0 and "1 line is improperly formatted" in checked.stderr.decode()
    assert run("check", "-p", "run", "--strict", "SUMS", cwd=tree).returncode == 1

    (tree / "SUMS").write_bytes(made.stdout)
    lines = (tree / "sub" / "r.jsonl").read_bytes().split(b"\n")
    lines[2] = lines[2].replace(b'"n": 3', b'"n": 33')
    (tree / "sub" / "r.jsonl").write_bytes(b"\n".join(lines))
    (tree / "a.json").write_bytes(b'{"a": 1.0}')
    checked = run("check", "-p", "run", "-j", jobs, "SUMS", cwd=tree)
    report = dict(line.rsplit(": ", 1) for line in checked.stdout.decode().splitlines())
    assert {name for name, verdict in report.items() if verdict != "OK"} == {
        "./a.json",
        "./sub/r.jsonl:3",
    }
    assert "quorl: WARNING: 1 computed digest did NOT match" in checked.stderr.decode()
    assert "quorl: ./a.json: line 1 column 7: floats are forbidden" in checked.stderr.decode()
    assert checked.returncode == 1
    # A digest with the wrong profile matches nothing.
    assert run("check", "-p", "certificate", "SUMS", cwd=tree).stdout.count(b"OK") == 0


@pytest.mark.parametrize(
    "args, stdin, status, stdout, stderr",
    [
        (["digest", "-p", "run"], b'{"b":1,"a":2}', 0, f"{SORTED_DIGEST}  -\n", ""),
        (["canonical", "--jsonl"], b'{"b":1,"a":2}\n\n[3]', 0, '{"a":2,"b":1}\n[3]\n', ""),
        (
            ["canonical", "-", "--jsonl"],
            b"[1]\n[2.0]\n",
            1,
            "[1]\n",
            "quorl: -:2: line 1 column 2: floats are forbidden",
        ),
        (["canonical"], FLOAT_DOC, 1, "", "quorl: -: line 2 column 8: floats are forbidden"),
        (
            ["canonical", "--jsonl"],
            b'["\xff"]\n',
            1,
            "",
            "quorl: -:1: line 1 column 3: invalid UTF-8 at byte 2",
        ),
        (
            ["canonical", "missing.json", "-"],
            b"[]",
            2,
            "[]\n",
            "quorl: missing.json: No such file or directory",
        ),
        (["canonical", "."], b"", 2, "", "quorl: .: Is a directory"),
        (["digest", "-p", "nope"], b"", 2, "", "invalid choice: 'nope'"),
        (["digest", "-j", "0"], b"", 2, "", "must be at least 1"),
        (["check", "-p", "run"], b"", 2, "", "no properly formatted digest lines found"),
    ],
)
def test_stdin_refusals_and_statuses(tmp_path, args, stdin, status, stdout, stderr):
    got = run(*args, stdin=stdin, cwd=tmp_path)
    assert (got.returncode, got.stdout.decode()) == (status, stdout)
    assert stderr in got.stderr.decode() and (stderr or not got.stderr)


@pytest.mark.parametrize("target", ["pipe", "-o", "appended"])
@pytest.mark.parametrize("command", ["digest", "canonical"])
@pytest.mark.parametrize("inputs", ["records", "documents"])
def test_workers_match_one_thread(tmp_path, command, target, inputs):
    # Runs of 256 KiB go to the workers; so do documents of 64 KiB or more,
    # while smaller ones are done in the main thread, in between.
    if inputs == "records":
        (tmp_path / "r.jsonl").write_bytes(records(60_000, refused={7, 45_000}))
    else:
        (tmp_path / "in").mkdir()
        for k, size in enumerate([70_000, 30, 200_000, 10, 5_000, 90_000, 1, 300_000]):
            rows = records(max(1, size // 40), seed=k, refused={3} if k in (2, 4) else ())
            (tmp_path / "in" / f"{k}.json").write_bytes(
                b"[" + rows.strip().replace(b"\n", b",") + b"]"
            )
    args = [
        command,
        *(["-p", "run"] if command == "digest" else []),
        *(["r.jsonl"] if inputs == "records" else ["-r", "in"]),
    ]
    one = run(*args, "-j", "1", cwd=tmp_path)
    common = [*args, "-j", "2", "--chunk-bytes", 1 << 18]
    if target == "pipe":
        got = run(*common, cwd=tmp_path)
        two = got.stdout
    elif target == "-o":
        got = run(*common, "-o", "out.txt", cwd=tmp_path)
        two = (tmp_path / "out.txt").read_bytes()
    else:
        (tmp_path / "out.txt").write_bytes(b"kept\n")
        with open(tmp_path / "out.txt", "ab") as sink:
            got = run(*common, cwd=tmp_path, stdout=sink)
        two = (tmp_path / "out.txt").read_bytes().removeprefix(b"kept\n")
    if inputs == "records":
        assert len(one.stdout) > 1 << 20
    else:
        assert one.stdout.count(b"\n") == 6  # eight documents, two refused
    assert two == one.stdout
    assert got.stderr == one.stderr and one.stderr.count(b"floats are forbidden") == 2
    assert got.returncode == one.returncode == 1


def test_refusal_in_a_file_matches_the_library(tmp_path):
    (tmp_path / "f.json").write_bytes(FLOAT_DOC)
    got = run("digest", "-p", "run", "f.json", cwd=tmp_path)
    with pytest.raises(quorl.RefusedError) as refused:
        quorl.digest_from_json(FLOAT_DOC, "run")
    assert got.stderr.decode() == (
        f"quorl: f.json: {refused.value}\nquorl: 1 record: 0 digested, 1 refused\n"
    )
    assert (refused.value.line, refused.value.column) == (2, 8)


@pytest.mark.parametrize("jobs", [1, 2])
def test_fail_fast_keeps_no_partial_output(tmp_path, jobs):
    data = records(2000, refused={1200, 1900})
    (tmp_path / "r.jsonl").write_bytes(data)
    common = ["canonical", "--fail-fast", "-j", jobs, "--chunk-bytes", 4096, "r.jsonl"]
    to_file = run(*common, "-o", "out.txt", cwd=tmp_path)
    assert to_file.returncode == 1 and sorted(os.listdir(tmp_path)) == ["r.jsonl"]
    to_stdout = run(*common, cwd=tmp_path)
    assert to_stdout.stdout.count(b"\n") == 1199
    assert to_stdout.stderr.decode().count("floats are forbidden") == 1


def test_interrupt_leaves_nothing_behind(tmp_path):
    (tmp_path / "big.jsonl").write_bytes(records(200_000) * 5)
    (tmp_path / "out.txt").write_bytes(b"kept\n")
    proc = subprocess.Popen(
        [sys.executable, "-m", "quorl", "canonical", "-j", "2", "big.jsonl", "-o", "out.txt"],
        cwd=tmp_path,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
    )
    deadline = time.monotonic() + 60
    while not any(name.endswith(".part") for name in os.listdir(tmp_path)):
        assert time.monotonic() < deadline and proc.poll() is None
        time.sleep(0.01)
    proc.send_signal(signal.SIGINT)
    _, err = proc.communicate(timeout=60)
    assert proc.returncode == 130 and err == b""
    assert sorted(os.listdir(tmp_path)) == ["big.jsonl", "out.txt"]
    assert (tmp_path / "out.txt").read_bytes() == b"kept\n"


def test_closed_pipe_is_quiet(tmp_path):
    (tmp_path / "r.jsonl").write_bytes(records(50_000))
    proc = subprocess.Popen(
        [sys.executable, "-m", "quorl", "digest", "-p", "run", "-j", "1", "r.jsonl"],
        cwd=tmp_path,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
    )
    assert proc.stdout.readline().endswith(b"  r.jsonl:1\n")
    proc.stdout.close()
    assert proc.wait(timeout=60) == 141 and proc.stderr.read() == b""


def test_console_script_and_version():
    script = os.path.join(os.path.dirname(sys.executable), "quorl")
    got = subprocess.run([script, "--version"], capture_output=True, timeout=60)
    assert got.stdout.decode() == f"quorl {quorl.__version__}\n" and got.returncode == 0
    helped = run("digest", "--help").stdout.decode()
    for profile in quorl.PROFILES:
        assert profile in helped


# File names that a digest line must escape as sha256sum does, or that are
# not UTF-8: (bytes of the name, whether the line starts with a backslash).
ODD_NAMES = [
    (b"back\\slash.json", True),
    (b"new\nline.json", True),
    (b"cr\rname.json", True),
    (b"\xffnot-utf8.json", False),
    (b"colon:12.jsonl", False),
]


@pytest.mark.parametrize("jobs", [1, 2])
def test_odd_file_names_round_trip(tmp_path, jobs):
    for raw, _ in ODD_NAMES:
        (tmp_path / os.fsdecode(raw)).write_bytes(b'{"b": 1, "a": 2}\n')
    made = run("digest", "-p", "run", "-r", "-j", jobs, ".", cwd=tmp_path)
    assert made.returncode == 0, made.stderr
    lines = made.stdout.split(b"\n")[:-1]
    assert len(lines) == len(ODD_NAMES)
    for raw, escaped in ODD_NAMES:
        shown = raw.replace(b"\\", b"\\\\").replace(b"\n", b"\\n").replace(b"\r", b"\\r")
        suffix = b":1" if raw.endswith(b".jsonl") else b""
        expected = (b"\\" if escaped else b"") + SORTED_DIGEST.encode() + b"  ./" + shown + suffix
        assert expected in lines
    (tmp_path / "SUMS").write_bytes(made.stdout)
    checked = run("check", "-p", "run", "-j", jobs, "SUMS", cwd=tmp_path)
    assert checked.returncode == 0 and checked.stdout.count(b": OK\n") == len(ODD_NAMES)
    if jobs == 1 and shutil.which("sha256sum"):
        # The name field is laid out exactly as sha256sum lays it out.
        theirs = subprocess.run(
            ["sha256sum", "./back\\slash.json", "./new\nline.json"],
            cwd=tmp_path,
            capture_output=True,
        ).stdout.split(b"\n")[:-1]
        ours = {line.split(b"  ", 1)[1] for line in lines}
        assert {line.split(b"  ", 1)[1] for line in theirs} <= ours
