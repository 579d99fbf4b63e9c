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


def median_ms(site, solutions):
    times = []
    for solution in solutions:
        fields = FIELDS + ([("altcha", solution)] if solution else [])
        start = time.perf_counter()
        status, _, body = site.post("/cgi-bin/velloc", fields, JSON)
        times.append((time.perf_counter() - start) * 1000)
        if status != 200 or not json.loads(body)["ok"]:
            raise SystemExit(f"submission refused: {status} {body!r}")
    return statistics.median(times)


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 200
    settings = {"Challenge": "altcha", "ChallengeKey": "bench key", "ChallengeMaxNumber": "1000",
                "LOG_LEVEL": "0"}
    with Site(settings=settings, mode="fastcgi") as site:
        solutions = [fetch_and_solve(site.get, "/cgi-bin/velloc/challenge")
                     for _ in range(rounds + 20)]
        median_ms(site, solutions[:20])  # warm up: the store's tables, the libraries
        with_check = median_ms(site, solutions[20:])
    with Site(settings={"LOG_LEVEL": "0"}, mode="fastcgi") as site:
        median_ms(site, [None] * 20)
        without = median_ms(site, [None] * rounds)
    print(f"median submission, FastCGI, {rounds} rounds: {with_check:.2f} ms with a solution, "
          f"{without:.2f} ms without a challenge; the check costs {with_check - without:.2f} ms")


if __name__ == "__main__":
    main()
