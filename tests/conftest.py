import ctypes
import os

import pytest

import zox
from redis_fixture import redis_server, redis_url  # noqa: F401
from scripted_peer import ScriptedPeer, aim_at
from service_fixture import service, small_service, start_service  # noqa: F401
from tls_fixtures import ca_bundle, server_cert_files, server_ssl_context, test_ca  # noqa: F401


@pytest.fixture(scope="session")
def lib():
    """The module's shared object, for calling its exported C routines."""
    return ctypes.CDLL(zox.__file__)


@pytest.fixture
def serve(monkeypatch, server_ssl_context, ca_bundle):
    """Starts a scripted peer, aims the client at it and stops it after the test."""
    peers = []

    def start(script, **kwargs):
        peer = ScriptedPeer(server_ssl_context, script, **kwargs).__enter__()
        peers.append(peer)
        aim_at(monkeypatch, peer, ca_bundle)
        return peer

    yield start
    for peer in peers:
        peer.__exit__(None, None, None)


@pytest.fixture
def killswitch(monkeypatch):
    monkeypatch.setenv("ZO_KILLSWITCH", "1")


@pytest.fixture
def no_killswitch(monkeypatch):
    monkeypatch.delenv("ZO_KILLSWITCH", raising=False)


def pytest_configure(config):
    config.addinivalue_line("markers", "slow: a long run or a build; make test-slow runs them")
    # Solves must not depend on whatever the developer's shell has set.
    for var in ("ZO_KILLSWITCH", "ZO_API_KEY", "ZO_SERVICE_URL", "ZO_CA_BUNDLE", "ZO_TIMEOUT"):
        os.environ.pop(var, None)
