"""Fixtures shared by the end-to-end tests and the smoke of the shipped
installer (each conftest imports them)."""
import pytest

import kit


@pytest.fixture
def case(request):
    """A fresh folder of the test's own inside the Wine prefix."""
    return kit.make_case(request.node.name)


@pytest.fixture
def no_leftovers():
    """Fails the test if the installer left an unpack folder in the temp folder."""
    before = kit.unpack_folders()
    yield
    assert kit.unpack_folders() - before == set()


@pytest.fixture(params=sorted(kit.TOOLS))
def tool(request):
    """Each build of the `selfpatch` tool in turn, by its name in kit.TOOLS."""
    return request.param
