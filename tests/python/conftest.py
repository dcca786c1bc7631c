import gc

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
