"""A self-signed development certificate for localhost, made with the openssl command."""
import os
import shutil
import subprocess
import tempfile
from pathlib import Path
from typing import Optional, Tuple

# Certificate names a local client may use for the service.
_CONFIG = """\
[req]
distinguished_name = dn
x509_extensions = ext
prompt = no
[dn]
CN = localhost
O = zox_service development certificate
[ext]
subjectAltName = DNS:localhost,IP:127.0.0.1,IP:::1
basicConstraints = critical,CA:FALSE
keyUsage = critical,digitalSignature,keyEncipherment
extendedKeyUsage = serverAuth
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
"""
_VALID_DAYS = 365
_RENEW_BEFORE_SECONDS = 7 * 86400


class CertificateError(RuntimeError):
    pass


def default_cert_dir() -> Path:
    cache = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return Path(cache) / "zox_service"


def _openssl() -> str:
    exe = shutil.which("openssl")
    if exe is None:
        raise CertificateError("the openssl command is needed to make a development certificate; "
                               "install it or pass --cert and --key")
    return exe


def _still_valid(cert: Path) -> bool:
    r = subprocess.run([_openssl(), "x509", "-checkend", str(_RENEW_BEFORE_SECONDS), "-noout",
                        "-in", str(cert)], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return r.returncode == 0


def _usable(target: Path) -> bool:
    cert, key = target / "cert.pem", target / "key.pem"
    return cert.is_file() and key.is_file() and _still_valid(cert)


def dev_certificate(cert_dir: Optional[str] = None) -> Tuple[str, str]:
    """(certificate path, key path); made once per directory and reused while it stays valid."""
    base = Path(cert_dir) if cert_dir else default_cert_dir()
    target = base / "dev"
    if not _usable(target):
        base.mkdir(parents=True, exist_ok=True)
        # Made aside and renamed into place, so a service starting at the same time never reads
        # a half-written pair.
        fresh = Path(tempfile.mkdtemp(prefix=".dev-", dir=base))
        try:
            (fresh / "openssl.cnf").write_text(_CONFIG)
            r = subprocess.run(
                [_openssl(), "req", "-x509", "-newkey", "ec", "-pkeyopt",
                 "ec_paramgen_curve:prime256v1", "-nodes", "-days", str(_VALID_DAYS),
                 "-config", str(fresh / "openssl.cnf"), "-keyout", str(fresh / "key.pem"),
                 "-out", str(fresh / "cert.pem")],
                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
            if r.returncode != 0:
                raise CertificateError(f"openssl could not make a certificate:\n{r.stdout}")
            os.chmod(fresh / "key.pem", 0o600)
            (fresh / "openssl.cnf").unlink()
            if target.exists() and not _usable(target):
                stale = Path(tempfile.mkdtemp(prefix=".stale-", dir=base))
                os.replace(target, stale / "dev")
                shutil.rmtree(stale, ignore_errors=True)
            try:
                os.rename(fresh, target)
            except OSError:
                if not _usable(target):  # someone else's fresh pair is fine; anything else not
                    raise
        finally:
            shutil.rmtree(fresh, ignore_errors=True)
    return str(target / "cert.pem"), str(target / "key.pem")
