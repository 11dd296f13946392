"""Calls in long runs and from many threads: each thread keeps working buffers
from one call to the next, so nothing of an earlier call (a larger document,
a refused one, another profile) may show in a later result."""

import json
import random
import threading

import pytest

import quorl
from quorl_core import canonical_bytes_from_json as canonical
from quorl_core import digest_from_json as digest
from support import FLOAT, PROFILES, expected_digest, model_canonical


def record(rng: random.Random, k: int) -> dict:
    keys = [f"k{rng.randrange(1000)}", "name", "é", "Z", f"n{k}"]
    rng.shuffle(keys)
    return {key: rng.choice([k, -k, 'x\n"y', None, True, [k, {"b": 1, "a": 2}]]) for key in keys}


def document(rng: random.Random, records: int) -> str:
    value = {"digest": "left out of digests", "items": [record(rng, k) for k in range(records)]}
    return json.dumps(value, ensure_ascii=rng.random() < 0.5, indent=rng.choice([None, 1]))


def expected(text: str) -> tuple[bytes, str]:
    value = json.loads(text)
    without_digest = {k: v for k, v in value.items() if k != "digest"}
    return model_canonical(value), expected_digest("run", model_canonical(without_digest))


def run_sequence(texts: list[str]) -> None:
    for text in texts:
        if text is None:
            # A refusal between successes.
            with pytest.raises(ValueError) as caught:
                canonical('{"a":[1,2,{"b":1.5}]}')
            assert caught.value.args == (FLOAT,)
            continue
        want_bytes, want_digest = expected(text)
        assert canonical(text) == want_bytes
        assert digest(text, "run") == want_digest


def sizes_up_and_down() -> list:
    rng = random.Random(7)
    # About 10 bytes to 5 MB and back: the largest is over what a thread keeps
    # between calls, so its buffers are dropped and made again.
    counts = [0, 1, 3, 200, 5000, 45000, 5, 0, 2000, 1, None, 45000, None, 4]
    return [None if n is None else document(rng, n) for n in counts]


def test_results_do_not_depend_on_earlier_calls():
    run_sequence(sizes_up_and_down())


def test_threads_get_the_same_results_as_one_thread():
    rng = random.Random(11)
    # 8000 records is over what a thread keeps: such buffers pass from one
    # thread to the next (the quorl package's calls on bytes run in parallel).
    texts = [document(rng, rng.choice([0, 1, 20, 400, 3000, 8000])) for _ in range(24)]
    blobs = [t.encode() for t in texts]
    wanted = [(canonical(t), {p: digest(t, p) for p in PROFILES}) for t in texts]
    failures: list[str] = []

    def work(seed: int) -> None:
        order = list(range(len(texts)))
        random.Random(seed).shuffle(order)
        for _ in range(5):
            for i in order:
                want_bytes, want_digests = wanted[i]
                profile = PROFILES[(i + seed) % len(PROFILES)]
                if (
                    canonical(texts[i]) != want_bytes
                    or digest(texts[i], profile) != want_digests[profile]
                    or quorl.canonical_bytes_from_json(blobs[i]) != want_bytes
                    or quorl.digest_from_json(blobs[i], profile) != want_digests[profile]
                ):
                    failures.append(f"thread {seed}: document {i}")
                    return

    threads = [threading.Thread(target=work, args=(seed,)) for seed in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert failures == []
