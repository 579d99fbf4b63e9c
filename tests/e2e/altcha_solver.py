"""Solving the site's proof-of-work challenge as the browser widget does, for tests
that post the forms that carry one."""

import base64
import hashlib
import hmac
import json
import secrets
import urllib.parse


def solve(challenge):
    """The value of the solution field "altcha" for the challenge (its JSON as a dict)."""
    for number in range(challenge["maxnumber"] + 1):
        digest = hashlib.sha256(f"{challenge['salt']}{number}".encode()).hexdigest()
        if digest == challenge["challenge"]:
            return encode(challenge, number)
    raise AssertionError(f"no number solves {challenge}")


def encode(challenge, number):
    payload = {name: challenge[name] for name in ("algorithm", "challenge", "salt", "signature")}
    payload["number"] = number
    return base64.b64encode(json.dumps(payload).encode()).decode()


def fetch_and_solve(get, path):
    """Fetches a challenge with `get(path)` -> (status, headers, body) and solves it."""
    status, _, body = get(path)
    if status != 200:
        raise AssertionError(f"no challenge at {path}: {status} {body[:200]!r}")
    return solve(json.loads(body))


def minted(key, expires, number=7, form="", max_number=100000):
    """A solution made with `key` (expiring at `expires`, Unix seconds) for the form
    profile `form` ("": none) of difficulty `max_number`, as the site that holds the
    key would have made it."""
    salt = (f"{secrets.token_hex(12)}?expires={expires}&form={urllib.parse.quote(form, safe='')}"
            f"&maxnumber={max_number}&")
    digest = hashlib.sha256(f"{salt}{number}".encode()).hexdigest()
    signature = hmac.new(key.encode(), digest.encode(), hashlib.sha256).hexdigest()
    return encode({"algorithm": "SHA-256", "challenge": digest, "salt": salt,
                   "signature": signature}, number)
