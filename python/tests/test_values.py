"""Kinds, values built from keywords, their text forms, and bad arguments."""
import math

import pytest

import varnel
from varnel import Index, Node, NodeKind, Relation, RelationKind


def test_kind_numbers_follow_the_vocabulary():
    assert NodeKind.Empty == 0 and NodeKind.Car == 1 and NodeKind.YieldSign == 17
    assert NodeKind.Lane == 6 and NodeKind.SpeedLimitSign == 12
    assert RelationKind.Empty == 0 and RelationKind.isOn == 9
    assert RelationKind.yieldsToCarIn == 16
    assert len(NodeKind) == 18 and len(RelationKind) == 17
    assert [m.name for m in varnel.Marker] == ["None_", "Valid", "Removed"]
    assert varnel.WriteStatus.IncomingListFull == 9
    assert (varnel.WriteStatus.NoHandle, varnel.WriteStatus.NothingWritten) == (11, 12)
    assert varnel.IntervalRelation.PrecededBy == 12 and varnel.IntervalType.Closed == 3


def test_values_render_as_the_system_does():
    assert repr(Node(NodeKind.Ego)) == "Ego(Ego)"
    assert str(Node(NodeKind.SpeedLimitSign, signSpeedLimit=50)) == (
        "SpeedLimitSign(SpeedLimitSign { signSpeedLimit: 50 })")
    assert repr(Relation(RelationKind.walksOn)) == "walksOn(walksOn)"
    assert repr(Node(NodeKind.Empty)) == "Empty"
    assert repr(varnel.Vector2f(1, 2.5)) == "Vector2f { x: 1.0, y: 2.5 }"
    lane = Node(NodeKind.Lane, laneId=3, laneName="Main", laneSpeedLimit=-30)
    assert repr(lane) == "Lane(Lane { laneId: 3, laneSpeedLimit: -30 })"
    assert repr(Index(1, 7)) == "Index { type_index: 1, instance_id: 7 }"


def test_attributes_round_trip_and_default_to_zero():
    car = Node(NodeKind.Car, carId=-4, carSpeed=2.5, carDirection=(1, 0, 0))
    assert car.kind is NodeKind.Car and car.type_index() == 1
    assert car.carId == -4 and car.carSpeed == 2.5
    assert tuple(car.carDirection) == (1.0, 0.0, 0.0)
    assert tuple(car.carPosition) == (0.0, 0.0, 0.0)
    assert list(car.fields) == ["carDirection", "carId", "carPosition", "carSpeed"]
    walker = Node(NodeKind.Pedestrian, pedestrianPosition=varnel.Vector2f(3, 4))
    assert walker.pedestrianPosition == varnel.Vector2f(3, 4)
    assert Relation(RelationKind.yieldsToCarIn, ifDirection=2).ifDirection == 2
    assert Relation(RelationKind.testRelation, testProperty=0.5).fields == {"testProperty": 0.5}
    with pytest.raises(AttributeError):
        car.laneName


def test_f32_fields_store_single_precision():
    car = Node(NodeKind.Car, carSpeed=0.1)
    assert car.carSpeed != 0.1 and math.isclose(car.carSpeed, 0.1, rel_tol=1e-7)
    assert math.isnan(Node(NodeKind.Car, carSpeed=math.nan).carSpeed)


def test_names_take_str_or_bytes_up_to_128_bytes():
    assert Node(NodeKind.Road, roadName=b"A7").roadName == "A7"
    assert Node(NodeKind.Road, roadName=bytearray(b"B9")).roadName == "B9"
    assert Node(NodeKind.Lane, laneName="Straße").laneName == "Straße"
    full = Node(NodeKind.Lane, laneName="x" * 128)
    assert full.laneName == "x" * 128 and full.payload[4:132] == b"x" * 128
    with pytest.raises(ValueError, match="128"):
        Node(NodeKind.Lane, laneName="x" * 129)
    with pytest.raises(ValueError):
        Node(NodeKind.Road, roadName="é" * 65)  # 130 bytes in UTF-8
    with pytest.raises(TypeError):
        Node(NodeKind.Road, roadName=5)
    # Text without a UTF-8 form: Python's own encoding error, as str.encode() gives.
    with pytest.raises(UnicodeEncodeError):
        Node(NodeKind.Lane, laneName="lane \ud800")


@pytest.mark.parametrize("kind, attributes, error", [
    (NodeKind.Car, {"carSpeed": "fast"}, TypeError),
    (NodeKind.Car, {"carId": 1.5}, TypeError),
    (NodeKind.Car, {"carId": 2**31}, ValueError),
    (NodeKind.Car, {"carPosition": (1, 2)}, ValueError),
    (NodeKind.Car, {"carPosition": "xyz"}, TypeError),
    (NodeKind.Car, {"carSpeed": 10**400}, OverflowError),
    (NodeKind.Car, {"carSpeed": 1e39}, ValueError),
    (NodeKind.Car, {"laneName": "no"}, TypeError),
    (NodeKind.Ego, {"anything": 1}, TypeError),
    (18, {}, ValueError),
    (-1, {}, ValueError),
    (2**70, {}, ValueError),
    ("Car", {}, TypeError),
    (RelationKind.isOn, {}, TypeError),
])
def test_bad_node_arguments_raise(kind, attributes, error):
    with pytest.raises(error):
        Node(kind, **attributes)


def test_bad_relation_arguments_raise():
    with pytest.raises(ValueError):
        Relation(17)
    with pytest.raises(TypeError):
        Relation(NodeKind.Car)
    with pytest.raises(TypeError):
        Relation(RelationKind.isOn, ifDirection=1)


def test_index_is_a_hashable_pair():
    index = Index(9, 100)
    kind, instance = index
    assert (kind, instance) == (9, 100)
    assert index == Index(9, 100) and hash(index) == hash(Index(9, 100))
    assert Index.zeroed().is_empty() and not index.is_empty()
    assert Index(1, 7) == (1, 7) and (1, 7) == Index(1, 7) and Index(1, 7) != (1, 8)
    assert hash(Index(1, 7)) == hash((1, 7)) and {(1, 7): "car"}[Index(1, 7)] == "car"
    assert Index(1, 7) != "x" and Index(1, 7) != (1, 7, 0)
    with pytest.raises(TypeError):
        Index(-1, 0)
