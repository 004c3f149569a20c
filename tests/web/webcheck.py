"""What the page's test scripts share: waiting for a condition, and a
certificate for 127.0.0.1 made by the test."""

import os
import subprocess
import time


def eventually(check, seconds):
    """Whether `check` comes true within `seconds` (looked at every 0.2 s)."""
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if check():
            return True
        time.sleep(0.2)
    return check()


def make_certificate(work):
    """A self-signed certificate for localhost and 127.0.0.1 in `work`, its key readable by its owner only."""
    key, cert = os.path.join(work, "key.pem"), os.path.join(work, "cert.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
                    "-keyout", key, "-out", cert, "-days", "2", "-subj", "/CN=localhost",
                    "-addext", "subjectAltName=IP:127.0.0.1,DNS:localhost"], check=True, capture_output=True)
    os.chmod(key, 0o600)
    return cert, key
