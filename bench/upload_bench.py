"""Times velloc on a form with a 10 MiB file upload that is mailed to the loopback
SMTP server, and takes the peak resident memory of those processes.

    upload_bench.py SITE_DIR SCRATCH_DIR RUNS

SITE_DIR holds velloc and its VELLOC.ini (whose SMTP server must be running).
Prints the median wall time and the peak RSS; ends with status 1 when a response
lacks the thank-you page or the peak reaches 24 MiB."""
import os
import resource
import statistics
import subprocess
import sys
import time

UPLOAD_BYTES = 10 * 1024 * 1024
RSS_LIMIT_KIB = 24 * 1024
BOUNDARY = "----velloc-bench-boundary"


def write_body(path):
    fields = {"NAME": "Jo Doe", "EMAIL": "jo@example.test", "SUBJECT": "Application",
              "TEMPLATE_WEB": "thanks.htm", "TEMPLATE_MAIL": "mail.txt"}
    with open(path, "wb") as body:
        for name, value in fields.items():
            body.write(f'--{BOUNDARY}\r\nContent-Disposition: form-data; name="{name}"\r\n\r\n'
                       f"{value}\r\n".encode())
        body.write(f'--{BOUNDARY}\r\nContent-Disposition: form-data; name="CV"; '
                   f'filename="cv.pdf"\r\nContent-Type: application/pdf\r\n\r\n'.encode())
        block = os.urandom(1024 * 1024)
        for _ in range(UPLOAD_BYTES // len(block)):
            body.write(block)
        body.write(f"\r\n--{BOUNDARY}--\r\n".encode())


def main():
    site, scratch, runs = sys.argv[1], sys.argv[2], int(sys.argv[3])
    body_path = os.path.join(scratch, "upload.body")
    write_body(body_path)
    environment = {"PATH": "/usr/bin:/bin", "GATEWAY_INTERFACE": "CGI/1.1",
                   "REQUEST_METHOD": "POST", "HTTP_REFERER": "http://127.0.0.1/form.html",
                   "CONTENT_TYPE": f"multipart/form-data; boundary={BOUNDARY}",
                   "CONTENT_LENGTH": str(os.path.getsize(body_path))}
    times = []
    for _ in range(runs):
        with open(body_path, "rb") as body:
            start = time.monotonic()
            result = subprocess.run([os.path.join(site, "velloc")], stdin=body,
                                    stdout=subprocess.PIPE, env=environment, cwd=site,
                                    timeout=120)
            times.append(time.monotonic() - start)
        if b"Thank you" not in result.stdout:
            print(result.stdout.decode(errors="replace"), file=sys.stderr)
            return 1
    peak_kib = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
    print(f"  {'10 MiB upload + form mail to loopback SMTP':52} "
          f"{statistics.median(times) * 1000:7.1f} ms  peak RSS {peak_kib / 1024:5.1f} MiB")
    if peak_kib >= RSS_LIMIT_KIB:
        print(f"The peak RSS ({peak_kib} KiB) reached {RSS_LIMIT_KIB} KiB.", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
