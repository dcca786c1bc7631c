import faulthandler
import gc
import sys

import pytest

import Vantorel


class Item(Vantorel.Indexable):
    """A plain user class, as users write them."""


@pytest.fixture
def make():
    def build(**attributes):
        return Item(**attributes)

    return build


@pytest.fixture(autouse=True)
def collect_garbage():
    yield
    gc.collect()


@pytest.fixture
def watchdog(request):
    """For thread tests: fast thread switching, and a hard stop (with every thread's stack)
    once the module's WATCHDOG_SECONDS pass, for a deadlock that holds the interpreter lock
    where a join timeout could not fire."""
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    faulthandler.dump_traceback_later(request.module.WATCHDOG_SECONDS, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()
    sys.setswitchinterval(interval)
