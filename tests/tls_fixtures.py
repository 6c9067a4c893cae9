"""A test certificate authority and server certificates for TLS peers on loopback."""
import ssl

import pytest

LOOPBACK_NAMES = ("localhost", "127.0.0.1", "127.0.0.2", "::1")


@pytest.fixture(scope="session")
def test_ca():
    trustme = pytest.importorskip("trustme")
    return trustme.CA()


@pytest.fixture(scope="session")
def ca_bundle(test_ca, tmp_path_factory):
    """Path of a PEM file trusting only the test authority (for ZO_CA_BUNDLE)."""
    path = tmp_path_factory.mktemp("ca") / "ca.pem"
    test_ca.cert_pem.write_to_path(str(path))
    return str(path)


@pytest.fixture(scope="session")
def server_cert_files(test_ca, tmp_path_factory):
    """(certificate chain path, key path) for a server answering on the loopback names."""
    cert = test_ca.issue_cert(*LOOPBACK_NAMES)
    d = tmp_path_factory.mktemp("server")
    chain, key = d / "cert.pem", d / "key.pem"
    with open(chain, "wb") as f:
        for blob in cert.cert_chain_pems:
            f.write(blob.bytes())
    cert.private_key_pem.write_to_path(str(key))
    return str(chain), str(key)


@pytest.fixture(scope="session")
def server_ssl_context(server_cert_files):
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.load_cert_chain(*server_cert_files)
    return ctx
