import ctypes
import os

import pytest

import zox
from redis_fixture import redis_server, redis_url  # noqa: F401
from service_fixture import service, small_service, start_service  # noqa: F401
from tls_fixtures import ca_bundle, server_cert_files, server_ssl_context, test_ca  # noqa: F401


@pytest.fixture(scope="session")
def lib():
    """The module's shared object, for calling its exported C routines."""
    return ctypes.CDLL(zox.__file__)


@pytest.fixture
def killswitch(monkeypatch):
    monkeypatch.setenv("ZO_KILLSWITCH", "1")


@pytest.fixture
def no_killswitch(monkeypatch):
    monkeypatch.delenv("ZO_KILLSWITCH", raising=False)


def pytest_configure(config):
    config.addinivalue_line("markers", "slow: takes a minute or more")
    # Solves must not depend on whatever the developer's shell has set.
    for var in ("ZO_KILLSWITCH", "ZO_API_KEY", "ZO_SERVICE_URL", "ZO_CA_BUNDLE", "ZO_TIMEOUT"):
        os.environ.pop(var, None)
