"""get_best_matches takes a sequence's length only as a hint of how many candidates will come.

A sequence may claim far more items than iterating it yields (or far fewer), and the call must
still rank exactly the items it yields, without running out of memory on the claimed size.
"""

import pytest

import _marlune_search as m

CLAIMED = 10**12


class LyingList(list):
    """A list whose len() claims a fixed size, whatever it holds."""

    def __init__(self, items, claimed):
        super().__init__(items)
        self.claimed = claimed

    def __len__(self):
        return self.claimed


class LyingSequence:
    """A sequence through __getitem__ only: yields its items, then IndexError."""

    def __init__(self, items, claimed):
        self.items = list(items)
        self.claimed = claimed

    def __len__(self):
        return self.claimed

    def __getitem__(self, index):
        return self.items[index]


class LyingIterable(LyingSequence):
    """The same, with its own __iter__."""

    def __iter__(self):
        return iter(self.items)


ITEM_SETS = {
    "none": [],
    "one": ["foo_bar"],
    "few": ["foobar", "foo_bar", "fooBar", "xyz", "fb"],
}

KINDS = [LyingList, LyingSequence, LyingIterable]


@pytest.mark.parametrize("kind", KINDS, ids=lambda k: k.__name__)
@pytest.mark.parametrize("items", ITEM_SETS.values(), ids=ITEM_SETS.keys())
@pytest.mark.parametrize("claimed", [CLAIMED, 2**62], ids=["10**12", "2**62"])
def test_claimed_length_far_above_the_items(kind, items, claimed):
    sequence = kind(items, claimed)
    assert len(sequence) == claimed
    assert m.get_best_matches("fb", sequence) == m.get_best_matches("fb", list(items))


@pytest.mark.parametrize("kind", KINDS, ids=lambda k: k.__name__)
def test_empty_search_string_still_reads_the_lying_sequence(kind):
    assert m.get_best_matches("", kind(["a", "b"], CLAIMED)) == []
    with pytest.raises(TypeError, match="argument 'candidates'"):
        m.get_best_matches("", kind(["a", 1], CLAIMED))


@pytest.mark.parametrize("kind", KINDS, ids=lambda k: k.__name__)
@pytest.mark.parametrize("claimed", [0, 3], ids=["0", "3"])
def test_more_items_than_claimed_and_than_any_reservation(kind, claimed):
    # Beyond the largest up-front reservation the candidates keep coming; every one is ranked,
    # in order, and the equal scores keep the input order.
    items = [f"item_{i}" for i in range((1 << 16) + 100)] + ["fb"]
    ranked = m.get_best_matches("fb", kind(items, claimed))
    assert ranked == [("fb", 15)]
    everything = m.get_best_matches("item", kind(items, claimed))
    assert [text for text, _ in everything] == items[:-1]
