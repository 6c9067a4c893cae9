"""One version, from pyproject.toml, for the module, the service and the installed distribution."""
import re
from importlib import metadata
from pathlib import Path

import zox
import zox_service


def test_one_version_everywhere():
    pyproject = (Path(__file__).resolve().parent.parent / "pyproject.toml").read_text()
    declared = re.search(r'^version = "([^"]+)"$', pyproject, re.M).group(1)
    assert (zox.__version__, zox_service.__version__, metadata.version("zox")) == (declared,) * 3
