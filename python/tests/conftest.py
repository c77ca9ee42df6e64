"""Fixtures: a private graph per test, and the shared region set up as a host."""
import pytest

import varnel


@pytest.fixture
def graph():
    with varnel.Graph.new_boxed() as g:
        yield g


@pytest.fixture
def region():
    """The shared region "KnowledgeGraph", written as a host; released afterwards."""
    with varnel.Graph.open() as g:
        yield g
