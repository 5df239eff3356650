"""ServerStatus and Protocol (members, representation, int(), equality, no ordering, no hash)
and the result classes ConfirmResult and ErrorResult."""

import pytest

import velto_protocol as vp

S, P = vp.ServerStatus, vp.Protocol

MEMBERS = [
    (S, "NotInit", 0), (S, "Idle", 1), (S, "Busy", 2), (S, "Error", 3),
    (P, "WebSocket", 0), (P, "Bluetooth", 1), (P, "Http", 2), (P, "Usb", 3),
]


@pytest.mark.parametrize("cls, name, index", MEMBERS)
def test_members(cls, name, index):
    member = getattr(cls, name)
    assert type(member) is cls
    assert member is getattr(cls, name)  # made once, with the class
    assert repr(member) == str(member) == f"{cls.__name__}.{name}"
    assert int(member) == index
    assert member == index and index == member
    assert not (member != index)


def test_members_are_class_attributes_in_declared_order():
    assert [n for n in vars(S) if n in ("NotInit", "Idle", "Busy", "Error")] == [
        "NotInit", "Idle", "Busy", "Error"]
    assert [n for n in vars(P) if n in ("WebSocket", "Bluetooth", "Http", "Usb")] == [
        "WebSocket", "Bluetooth", "Http", "Usb"]


@pytest.mark.parametrize(
    "left, right, equal",
    [
        (S.Idle, S.Idle, True),
        (S.Idle, S.Busy, False),
        (S.NotInit, False, True),
        (S.Idle, True, True),
        (S.Idle, 1.0, False),
        (S.Idle, "Idle", False),
        (S.Idle, P.Bluetooth, False),
        (P.Bluetooth, S.Idle, False),
        (S.Idle, 2**70, False),
        (S.Idle, None, False),
    ],
)
def test_equality(left, right, equal):
    assert (left == right) is equal
    assert (left != right) is (not equal)
    assert (right == left) is equal


def test_equality_with_index_objects():
    class Index:
        def __index__(self):
            return 2

    assert S.Busy == Index()
    assert P.Http == Index()


@pytest.mark.parametrize("compare", [
    lambda: S.Idle < S.Busy,
    lambda: S.Idle <= 1,
    lambda: P.Usb > P.Http,
    lambda: 3 >= P.Usb,
])
def test_no_ordering(compare):
    with pytest.raises(TypeError):
        compare()


@pytest.mark.parametrize("member", [S.Idle, P.Http])
def test_unhashable(member):
    assert type(member).__hash__ is None
    with pytest.raises(TypeError):
        hash(member)
    with pytest.raises(TypeError):
        {member}


@pytest.mark.parametrize("member", [S.Error, P.Usb])
def test_no_other_numeric_behaviour(member):
    with pytest.raises(TypeError):
        float(member)
    with pytest.raises(TypeError):
        [0, 1, 2, 3][member]


@pytest.mark.parametrize("status", [True, False])
def test_confirm_result(status):
    result = vp.ConfirmResult(status)
    assert result.status is status
    assert vp.ConfirmResult(status=status).status is status


@pytest.mark.parametrize("text", ["boom", "", "ünïcødé ✓", "x" * 10000])
def test_error_result(text):
    result = vp.ErrorResult(text)
    assert result.error == text
    assert result.error is not result.error or text == ""  # a new str on every access


def test_error_result_accepts_str_subclasses():
    class Text(str):
        pass

    result = vp.ErrorResult(Text("sub"))
    assert result.error == "sub"
    assert type(result.error) is str


@pytest.mark.parametrize("make", [lambda: vp.ConfirmResult(True), lambda: vp.ErrorResult("e")])
def test_results_compare_and_hash_by_identity(make):
    a, b = make(), make()
    assert a != b and a == a
    assert len({a, b}) == 2
