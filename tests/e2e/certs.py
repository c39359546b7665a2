"""Certificates for the TLS tests, made with the openssl command once per test run.

A private CA signs the server certificates; the self-signed one stands alone.
Every server certificate but the wrong-name one names "localhost" and 127.0.0.1.
"""

import atexit
import functools
import os
import shutil
import subprocess
import tempfile
from dataclasses import dataclass

RIGHT_NAMES = "DNS:localhost,IP:127.0.0.1"


@dataclass(frozen=True)
class Cert:
    cert: str  # PEM file
    key: str  # PEM file
    fingerprint: str  # SHA-256 of the DER, as openssl prints it: "AB:CD:..."


@dataclass(frozen=True)
class Certs:
    ca: str  # PEM file of the CA certificate
    good: Cert
    wrong_name: Cert
    expired: Cert
    self_signed: Cert


def _openssl(directory, *args):
    return subprocess.run(["openssl", *args], cwd=directory, check=True, capture_output=True,
                          text=True).stdout


def _key_args(name):
    return ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
            "-keyout", f"{name}.key", "-subj", f"/CN={name}"]


def _cert(directory, name):
    line = _openssl(directory, "x509", "-in", f"{name}.pem", "-noout", "-fingerprint", "-sha256")
    return Cert(os.path.join(directory, f"{name}.pem"), os.path.join(directory, f"{name}.key"),
                line.strip().partition("=")[2])


def _signed(directory, name, alt_names, days):
    _openssl(directory, "req", *_key_args(name), "-out", f"{name}.csr")
    with open(os.path.join(directory, f"{name}.ext"), "w", encoding="ascii") as f:
        f.write(f"subjectAltName={alt_names}\n")
    # -days -1 puts the end of validity a day in the past: an expired certificate.
    _openssl(directory, "x509", "-req", "-in", f"{name}.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
             "-CAcreateserial", "-days", str(days), "-extfile", f"{name}.ext",
             "-out", f"{name}.pem")
    return _cert(directory, name)


@functools.cache
def certs():
    directory = tempfile.mkdtemp(prefix="vellomir-certs-")
    atexit.register(shutil.rmtree, directory, ignore_errors=True)
    _openssl(directory, "req", "-x509", *_key_args("ca"), "-days", "2", "-out", "ca.pem")
    _openssl(directory, "req", "-x509", *_key_args("self-signed"), "-days", "2",
             "-addext", f"subjectAltName={RIGHT_NAMES}", "-out", "self-signed.pem")
    return Certs(ca=os.path.join(directory, "ca.pem"),
                 good=_signed(directory, "good", RIGHT_NAMES, 2),
                 wrong_name=_signed(directory, "wrong-name",
                                    "DNS:wrong.example.org,IP:192.0.2.1", 2),
                 expired=_signed(directory, "expired", RIGHT_NAMES, -1),
                 self_signed=_cert(directory, "self-signed"))
