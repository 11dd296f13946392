"""The quorl command at its edges: -o onto every kind of target, inputs it
cannot read, signals, closed and full standard streams, compressed inputs,
and -r's choice of files. Device nodes, FIFOs and links are made in a
temporary folder; nothing here touches the machine's own /dev."""

import bz2
import gzip
import lzma
import os
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import threading
import time

import pytest

import quorl

ROOT = os.geteuid() == 0
DATA = b'{"b": 1, "a": 2}\n[1, 2]\n'
WANT = b"".join(
    b"%s  in.jsonl:%d\n" % (quorl.digest_from_json(line, "run").encode(), n)
    for n, line in enumerate(DATA.splitlines(), 1)
)


def unprivileged():
    """A prefix that runs a command without root's powers over files: as
    nobody when this interpreter can run so, else as root with every
    capability dropped."""
    if shutil.which("setpriv") is None:
        pytest.skip("needs setpriv")
    nobody = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]
    if (
        subprocess.run(
            [*nobody, sys.executable, "-c", "import quorl"], capture_output=True
        ).returncode
        == 0
    ):
        return nobody
    return ["setpriv", "--inh-caps=-all", "--bounding-set=-all"]


def quorl_cmd(*args, prefix=(), **kwargs):
    if "stdout" not in kwargs:
        kwargs.setdefault("capture_output", True)
    return subprocess.run(
        [*prefix, sys.executable, "-m", "quorl", *map(str, args)], timeout=120, **kwargs
    )


@pytest.fixture
def folder():
    """A folder any user may enter (pytest's own is private to root)."""
    path = tempfile.mkdtemp(prefix="quorl-edges.")
    os.chmod(path, 0o777)
    yield path
    for dirpath, dirs, _ in os.walk(path):
        for name in dirs:
            os.chmod(os.path.join(dirpath, name), 0o755)
    os.chmod(path, 0o755)
    shutil.rmtree(path)


def node(path):
    """What must not change of a node that is written through, not replaced."""
    info = os.lstat(path)
    return stat.S_IFMT(info.st_mode), info.st_ino, info.st_size


def read_fifo(path, into):
    with open(path, "rb") as f:
        into.append(f.read())


# target kind -> (make it in a folder, how to read back what was written,
#                 whether the kind of node must stay)
def make_missing(d):
    return os.path.join(d, "out")


def make_regular(d):
    path = os.path.join(d, "out")
    with open(path, "wb") as f:
        f.write(b"old\n")
    os.chmod(path, 0o640)
    return path


def make_link(d):
    make_regular(d)
    os.symlink("out", os.path.join(d, "link"))
    return os.path.join(d, "link")


def make_dangling(d):
    os.symlink("out", os.path.join(d, "link"))
    return os.path.join(d, "link")


def make_fifo(d):
    os.mkfifo(os.path.join(d, "fifo"))
    return os.path.join(d, "fifo")


def make_device(d):
    if not ROOT:
        pytest.skip("mknod needs root")
    path = os.path.join(d, "zero")
    os.mknod(path, 0o666 | stat.S_IFCHR, os.makedev(1, 5))  # writes are discarded
    return path


TARGETS = {
    "missing": make_missing,
    "regular": make_regular,
    "link": make_link,
    "dangling link": make_dangling,
    "fifo": make_fifo,
    "device": make_device,
}


@pytest.mark.parametrize("privileged", [True, False], ids=["root", "unprivileged"])
@pytest.mark.parametrize("kind", TARGETS)
def test_output_onto_each_kind_of_target(folder, kind, privileged):
    if privileged and not ROOT:
        pytest.skip("needs root")
    prefix = () if privileged else unprivileged()
    with open(os.path.join(folder, "in.jsonl"), "wb") as f:
        f.write(DATA)
    place = os.path.join(folder, "place")
    os.mkdir(place)
    target = TARGETS[kind](place)
    before = node(target) if os.path.lexists(target) else None
    if not privileged:  # nothing can be made beside the target
        os.chmod(place, 0o555)
    got = []
    reader = None
    if kind == "fifo":
        reader = threading.Thread(target=read_fifo, args=(target, got))
        reader.start()
    run = quorl_cmd("digest", "-p", "run", "-o", target, "in.jsonl", prefix=prefix, cwd=folder)
    if reader is not None:
        reader.join(timeout=60)
    replaced = kind in ("missing", "regular", "link", "dangling link")
    if replaced and not privileged:
        # A file can only be replaced by one made beside it: refused, untouched.
        assert run.returncode == 2 and b"Permission denied" in run.stderr
        assert (node(target) if before else None) == before
        return
    assert (run.returncode, run.stderr) == (0, b"")
    if kind == "fifo":
        assert got == [WANT]
    elif replaced:
        real = os.path.realpath(target)
        with open(real, "rb") as f:
            assert f.read() == WANT
        assert os.path.islink(target) == kind.endswith("link")
        mode = 0o640 if before is not None and kind != "dangling link" else 0o666 & ~0o022
        assert stat.S_IMODE(os.stat(real).st_mode) in (mode, 0o644)
    if before is not None and kind in ("fifo", "device"):
        assert node(target) == before
    assert not [n for n in os.listdir(place) if n.endswith(".part")]


def test_output_dash_and_folder(folder):
    with open(os.path.join(folder, "in.jsonl"), "wb") as f:
        f.write(DATA)
    dash = quorl_cmd("digest", "-p", "run", "-o", "-", "in.jsonl", cwd=folder)
    assert (dash.returncode, dash.stdout) == (0, WANT) and not os.path.exists(
        os.path.join(folder, "-")
    )
    into_folder = quorl_cmd("digest", "-p", "run", "-o", folder, "in.jsonl", cwd=folder)
    assert into_folder.returncode == 2 and b"Is a directory" in into_folder.stderr


def close_fd(fd):
    return lambda: os.close(fd)


def full_device(folder):
    if not ROOT:
        pytest.skip("mknod needs root")
    path = os.path.join(folder, "full")
    os.mknod(path, 0o666 | stat.S_IFCHR, os.makedev(1, 7))  # writes fail: no space
    return path


@pytest.mark.parametrize(
    "args, closed, status, message",
    [
        (["digest", "-p", "run"], 0, 2, "quorl: -: standard input is closed"),
        (["digest", "-p", "run", "in.jsonl"], 1, 2, "quorl: standard output is closed"),
        (["digest", "-p", "run", "in.jsonl", "-o", "out"], 1, 0, ""),
        (["check", "-p", "run", "SUMS"], 1, 2, "quorl: standard output is closed"),
        (["check", "-p", "run", "--status", "SUMS"], 1, 0, ""),
        (["check", "-p", "run"], 0, 2, "quorl: -: standard input is closed"),
        (["digest", "-p", "run", "in.jsonl", "bad.json"], 2, 2, None),  # a refusal, unreported
    ],
)
def test_closed_standard_streams(folder, args, closed, status, message):
    for name, data in [("in.jsonl", DATA), ("SUMS", WANT), ("bad.json", b"[1.5]")]:
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)
    run = quorl_cmd(*args, cwd=folder, preexec_fn=close_fd(closed))
    assert run.returncode == status
    if message is not None:  # the message, then at most a summary line
        assert run.stderr.decode().startswith(message)
        assert len(run.stderr.splitlines()) <= (2 if message else 0)


@pytest.mark.parametrize("command", ["digest", "check"])
def test_full_standard_output(folder, command):
    for name, data in [("in.jsonl", DATA), ("SUMS", WANT)]:
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)
    with open(full_device(folder), "wb") as full:
        args = ["SUMS"] if command == "check" else ["in.jsonl"]
        run = quorl_cmd(
            command, "-p", "run", *args, cwd=folder, stdout=full, stderr=subprocess.PIPE
        )
    assert run.returncode == 2
    assert run.stderr.decode() == "quorl: standard output: No space left on device\n"


@pytest.mark.parametrize("signum", [signal.SIGHUP, signal.SIGQUIT, signal.SIGTERM])
def test_stop_signals_leave_nothing_behind(folder, signum):
    line = b'{"n": 1, "s": "%s"}\n' % (b"x" * 200)
    with open(os.path.join(folder, "big.jsonl"), "wb") as f:
        f.write(line * 400_000)
    proc = subprocess.Popen(
        [sys.executable, "-m", "quorl", "canonical", "-j", "1", "big.jsonl", "-o", "out"],
        cwd=folder,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
    )
    deadline = time.monotonic() + 60
    while not any(n.endswith(".part") for n in os.listdir(folder)):
        assert time.monotonic() < deadline and proc.poll() is None
        time.sleep(0.01)
    proc.send_signal(signum)
    _, err = proc.communicate(timeout=60)
    assert (proc.returncode, err) == (128 + signum, b"")
    assert sorted(os.listdir(folder)) == ["big.jsonl"]


def test_unreadable_folder_is_reported(folder):
    prefix = unprivileged()
    os.makedirs(os.path.join(folder, "tree", "locked"))
    for name in ("tree/a.json", "tree/locked/b.json"):
        with open(os.path.join(folder, name), "wb") as f:
            f.write(b"[]")
    os.chmod(os.path.join(folder, "tree", "locked"), 0)
    run = quorl_cmd("digest", "-p", "run", "-r", "tree", prefix=prefix, cwd=folder)
    assert run.returncode == 2
    assert b"quorl: tree/locked: Permission denied" in run.stderr
    assert run.stdout.endswith(b"  tree/a.json\n")


def test_a_huge_jobs_count_is_capped_and_zero_is_refused(folder):
    with open(os.path.join(folder, "in.jsonl"), "wb") as f:
        f.write(DATA)
    run = quorl_cmd("digest", "-p", "run", "-j", 100_000, "in.jsonl", cwd=folder)
    assert (run.returncode, run.stdout) == (0, WANT)
    zero = quorl_cmd("digest", "-p", "run", "-j", 0, "in.jsonl", cwd=folder)
    assert zero.returncode == 2 and b"must be at least 1" in zero.stderr


COMPRESSORS = {".gz": gzip.compress, ".bz2": bz2.compress, ".xz": lzma.compress}
try:
    from compression import zstd as _zstd  # Python 3.14

    COMPRESSORS[".zst"] = _zstd.compress
except ImportError:
    try:
        import zstandard as _zstandard

        COMPRESSORS[".zst"] = _zstandard.ZstdCompressor().compress
    except ImportError:
        pass


@pytest.mark.parametrize("jobs", [1, 2])
@pytest.mark.parametrize("suffix", sorted(COMPRESSORS))
def test_compressed_inputs_match_the_plain_file(tmp_path, suffix, jobs):
    lines = b"".join(b'{"n": %d, "s": "%s"}\n' % (n, b"q" * (n % 50)) for n in range(3000))
    doc = b'{"z": [1, 2, 3], "a": "x"}'
    (tmp_path / "r.jsonl").write_bytes(lines)
    (tmp_path / f"r.jsonl{suffix}").write_bytes(COMPRESSORS[suffix](lines))
    (tmp_path / f"d.JSON{suffix.upper()}").write_bytes(COMPRESSORS[suffix](doc))
    common = ["digest", "-p", "run", "-j", jobs, "--chunk-bytes", 2048]
    plain = quorl_cmd(*common, "r.jsonl", cwd=tmp_path)
    packed = quorl_cmd(*common, f"r.jsonl{suffix}", cwd=tmp_path)
    assert packed.returncode == 0
    assert packed.stdout == plain.stdout.replace(b"  r.jsonl:", f"  r.jsonl{suffix}:".encode())
    piped = quorl_cmd(*common, "--jsonl", cwd=tmp_path, input=COMPRESSORS[suffix](lines))
    assert piped.stdout == plain.stdout.replace(b"  r.jsonl:", b"  -:")
    whole = quorl_cmd("canonical", f"d.JSON{suffix.upper()}", cwd=tmp_path)
    assert whole.stdout == quorl.canonical_bytes_from_json(doc) + b"\n"
    (tmp_path / "SUMS").write_bytes(packed.stdout)
    checked = quorl_cmd("check", "-p", "run", "--quiet", "-j", jobs, "SUMS", cwd=tmp_path)
    assert (checked.returncode, checked.stdout) == (0, b"")
    (tmp_path / "cut").write_bytes(COMPRESSORS[suffix](lines)[:-20])
    os.replace(tmp_path / "cut", tmp_path / f"r.jsonl{suffix}")
    cut = quorl_cmd(*common, f"r.jsonl{suffix}", cwd=tmp_path)
    assert cut.returncode == 2 and b"not a complete" in cut.stderr


def _zstd_frames(data, **options):
    return _zstandard.ZstdCompressor(**options).compress(data)


# Frames of every block type (raw, RLE, compressed), with and without a
# checksum and a content size, several blocks long, and a skippable frame.
ZSTD_STREAMS = {
    "text": lambda: [_zstd_frames(b'{"a": [1, 2, 3]}\n' * 40)],
    "rle": lambda: [_zstd_frames(b"x" * 300_000, write_checksum=True)],
    "raw": lambda: [_zstd_frames(os.urandom(3000), write_content_size=False)],
    "frames": lambda: [
        _zstd_frames(b"[1]\n" * 50, write_checksum=True),
        b"\x53\x2a\x4d\x18\x05\x00\x00\x00skip!",
        _zstd_frames(b"", write_content_size=False),
        _zstd_frames(os.urandom(200) * 1000, level=1, write_checksum=True),
    ],
}


@pytest.mark.skipif(".zst" not in COMPRESSORS or "_zstandard" not in globals(), reason="zstandard")
@pytest.mark.parametrize("name", sorted(ZSTD_STREAMS))
def test_zstd_frame_ends_are_found_without_decoding(name):
    from quorl._cli.zstd_frames import FrameEnds

    frames = ZSTD_STREAMS[name]()
    stream = b"".join(frames)
    ends = {sum(map(len, frames[:i])) for i in range(len(frames) + 1)}
    step = max(1, len(stream) // 3000)
    for cut in sorted(set(range(0, len(stream) + 1, step)) | ends):
        follower = FrameEnds()
        follower.feed(stream[: cut // 2])  # in two pieces, split anywhere
        follower.feed(stream[cut // 2 : cut])
        assert follower.inside == (cut not in ends), cut


@pytest.mark.parametrize(
    "options, taken",
    [
        ([], ["A.JSON", "b.jsonl.gz", "e.NDJSON", "e.NDJSON:2", "sub/c.json"]),
        (["--include", "*.txt"], ["notes.txt"]),
        (["--exclude", "sub"], ["A.JSON", "b.jsonl.gz", "e.NDJSON", "e.NDJSON:2"]),
        (["--exclude", "*.gz", "--exclude", "sub/*.json"], ["A.JSON", "e.NDJSON", "e.NDJSON:2"]),
        (["--include", "sub/*"], ["sub/c.json"]),
    ],
)
def test_recursive_choice_of_files(tmp_path, options, taken):
    (tmp_path / "t" / "sub").mkdir(parents=True)
    (tmp_path / "t" / "A.JSON").write_bytes(b"1")
    (tmp_path / "t" / "b.jsonl.gz").write_bytes(gzip.compress(b"2\n"))
    (tmp_path / "t" / "notes.txt").write_bytes(b"3")
    (tmp_path / "t" / "e.NDJSON").write_bytes(b"5\n6\n")  # JSON Lines by another name
    (tmp_path / "t" / "sub" / "c.json").write_bytes(b"4")
    (tmp_path / "t" / "link").symlink_to("sub")
    run = quorl_cmd("digest", "-p", "run", "-r", *options, "t", cwd=tmp_path)
    names = [line.split(b"  ", 1)[1].decode() for line in run.stdout.splitlines()]
    assert [n.removeprefix("t/").removesuffix(":1") for n in names] == taken
    assert b"quorl: t/link: a symbolic link to a folder, not followed" in run.stderr
    assert run.returncode == 0


def _has_floats_keyword():
    from quorl import _native

    try:
        _native.digest_lines(b"1\n", "run", name="x", floats="str")
    except TypeError:
        return False
    return True


@pytest.mark.skipif(not _has_floats_keyword(), reason="this build has no floats= yet")
@pytest.mark.parametrize("jsonl", [True, False])
def test_floats_str_matches_objects(tmp_path, jsonl):
    import json

    docs = [
        '{"version": 1.0, "rate": 0.05, "n": 3}',
        "[1e3, -2.5E-7, 0.1, 12345678.9]",
        '{"deep": [{"x": 1.5e300}, 5e-324]}',
    ]
    data = "\n".join(docs).encode() + b"\n" if jsonl else docs[0].encode()
    (tmp_path / "in.json").write_bytes(data)
    args = ["--jsonl"] if jsonl else []
    run = quorl_cmd("digest", "-p", "run", "--floats", "str", *args, "in.json", cwd=tmp_path)
    want = [
        quorl.digest(json.loads(doc), "run", floats="str") for doc in (docs if jsonl else docs[:1])
    ]
    assert [line.split()[0].decode() for line in run.stdout.splitlines()] == want
    refused = quorl_cmd("digest", "-p", "run", *args, "in.json", cwd=tmp_path)
    assert refused.returncode == 1 and b"floats are forbidden" in refused.stderr
    if jsonl:  # check takes the records as digest did only when told to
        (tmp_path / "SUMS").write_bytes(run.stdout)
        checked = quorl_cmd("check", "-p", "run", "--floats", "str", "SUMS", cwd=tmp_path)
        assert checked.returncode == 0 and checked.stdout.count(b": OK\n") == len(docs)
        assert quorl_cmd("check", "-p", "run", "SUMS", cwd=tmp_path).returncode == 1
