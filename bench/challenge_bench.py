#!/usr/bin/env python3
"""The cost of checking a challenge solution, velloc persistent behind lighttpd:
the median time of a submission that carries a fresh solution against the same
submission to a form without a challenge. The difference is the check (decoding,
the two digests) and recording the solution as used in the state store.

Usage: VELLOC_BINARY=build/release/velloc bench/challenge_bench.py [ROUNDS]"""

import json
import statistics
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "e2e"))
from altcha_solver import fetch_and_solve  # noqa: E402
from harness import Site  # noqa: E402

FIELDS = [("name", "Ann"), ("DISABLE_MAIL", "1")]
JSON = {"Accept": "application/json"}


def submit_ms(site, solution):
    fields = FIELDS + ([("altcha", solution)] if solution else [])
    start = time.perf_counter()
    status, _, body = site.post("/cgi-bin/velloc", fields, JSON)
    elapsed = (time.perf_counter() - start) * 1000
    if status != 200 or not json.loads(body)["ok"]:
        raise SystemExit(f"submission refused: {status} {body!r}")
    return elapsed


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 200
    warm_up = 20
    settings = {"Challenge": "altcha", "ChallengeKey": "bench key", "ChallengeMaxNumber": "1000",
                "LOG_LEVEL": "0"}
    # Both sites at once, their requests interleaved, so that a busy moment of the
    # machine falls on both alike.
    with Site(settings=settings, mode="fastcgi") as guarded, \
            Site(settings={"LOG_LEVEL": "0"}, mode="fastcgi") as plain:
        solutions = [fetch_and_solve(guarded.get, "/cgi-bin/velloc/challenge")
                     for _ in range(rounds + warm_up)]
        with_check, without = [], []
        for i, solution in enumerate(solutions):
            checked, unchecked = submit_ms(guarded, solution), submit_ms(plain, None)
            if i >= warm_up:  # the store's tables, the libraries loaded
                with_check.append(checked)
                without.append(unchecked)
    a, b = statistics.median(with_check), statistics.median(without)
    print(f"median submission, FastCGI, {rounds} rounds: {a:.2f} ms with a solution, "
          f"{b:.2f} ms without a challenge; the check costs {a - b:.2f} ms")


if __name__ == "__main__":
    main()
