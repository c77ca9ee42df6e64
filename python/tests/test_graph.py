"""Writes, refusals, transactions and reads on a private graph."""
import pytest

import varnel
from varnel import Index, Interval, IntervalType, Marker, Node, NodeKind, RelationKind, WriteStatus

ETERNITY = Interval.eternity()


def lower(kind):
    return kind.name.lower()


def test_a_fresh_graph_is_empty(graph):
    assert graph.is_empty() and graph.node_count() == 0 and graph.relation_count() == 0
    assert graph.last_update() == 0 and graph.autocommit
    assert graph.get_all_nodes(ETERNITY) == [] and graph.get_all_relations(ETERNITY) == []
    assert graph.get_latest_node_record((NodeKind.Car, 7)) is None
    assert list(graph.nodes_iter(ETERNITY, NodeKind.Car)) == []


def test_every_node_kind_is_added_and_removed_by_its_call(graph):
    for kind in list(NodeKind)[1:]:
        add = getattr(graph, f"add_{lower(kind)}_node")
        assert add(10, 5) == Index(kind, 5)
        assert graph.get_latest_node_value((kind, 5)).kind is kind
    assert graph.node_count() == 17
    for kind in list(NodeKind)[1:]:
        assert getattr(graph, f"remove_{lower(kind)}_node")(20, 5) is True
        assert graph.get_latest_node_value((kind, 5)) is None
    assert graph.get_all_nodes(ETERNITY) == [] and graph.last_update() == 20


def test_every_relation_kind_is_added_and_removed_by_its_call(graph):
    car, lane = graph.add_car_node(1, 7), graph.add_lane_node(1, 3, laneName="L1")
    for kind in list(RelationKind)[1:]:
        add = getattr(graph, f"add_{lower(kind)}_relation")
        assert add(2, 100, car, (NodeKind.Lane, 3)) == Index(kind, 100)
    relations = graph.get_all_relations(ETERNITY)
    assert [item.kind for item in relations] == list(RelationKind)[1:]
    assert relations[0].record.from_ == car and relations[0].record.to == lane
    outgoing = graph.get_latest_node_record(car).outgoing
    assert len(outgoing) == 40 and outgoing[:16] == [Index(k, 100) for k in range(1, 17)]
    for kind in list(RelationKind)[1:]:
        assert getattr(graph, f"remove_{lower(kind)}_relation")(3, 100)
    assert graph.get_all_relations(ETERNITY) == []
    assert all(entry.is_empty() for entry in graph.get_latest_node_record(lane).incoming)


def test_attributes_reach_the_graph(graph):
    graph.add_car_node(5, 7, carSpeed=12.5, carId=7, carPosition=(1, 2, 3))
    graph.add_node(6, 8, Node(NodeKind.Road, roadId=2, roadName="B12"))
    graph.add_yieldstocarin_relation(7, 1, (NodeKind.Car, 7), (NodeKind.Road, 8), ifDirection=-1)
    assert graph.get_latest_node_value((1, 7)).carSpeed == 12.5
    assert graph.get_latest_node_value(Index(10, 8)).roadName == "B12"
    assert graph.get_latest_relation_value((16, 1)).ifDirection == -1
    assert str(graph.get_latest_relation_value((16, 1))) == (
        "yieldsToCarIn(yieldsToCarIn { ifDirection: -1 })")


def test_counts_and_last_update_follow_the_writes(graph):
    graph.add_car_node(5, 7)
    graph.add_lane_node(9, 3)
    graph.add_ison_relation(20, 100, (1, 7), (6, 3))
    assert (graph.node_count(), graph.relation_count(), graph.last_update()) == (4, 1, 20)
    graph.add_car_node(4, 8)
    assert graph.last_update() == 4  # an earlier timestamp is taken as it is
    graph.clear()
    assert graph.is_empty() and graph.last_update() == 4


def test_refused_writes_raise_with_their_status(graph):
    with pytest.raises(varnel.NotFoundError) as missing:
        graph.remove_car_node(1, 99)
    assert missing.value.status is WriteStatus.NotFound
    assert isinstance(missing.value, varnel.WriteRefused) and isinstance(missing.value, LookupError)
    assert graph.remove_node(1, (NodeKind.Car, 99), missing_ok=True) is False
    assert graph.remove_relation(1, (RelationKind.isOn, 99), missing_ok=True) is False
    graph.add_car_node(1, 7)
    with pytest.raises(varnel.NotFoundError) as joined:
        graph.add_ison_relation(2, 100, (1, 7), (6, 3))
    assert joined.value.status is WriteStatus.NodeMissing
    assert graph.node_count() == 1 and graph.last_update() == 1  # nothing was written


def test_a_full_relation_list_raises_capacity_error(graph):
    graph.add_car_node(1, 1)
    for other in range(2, 43):
        graph.add_car_node(1, other)
    for relation in range(40):
        graph.add_isbehind_relation(2, relation, (1, 1), (1, relation + 2))
    with pytest.raises(varnel.CapacityError) as full:
        graph.add_isbehind_relation(3, 40, (1, 1), (1, 42))
    assert full.value.status is WriteStatus.OutgoingListFull
    assert "node Car 1 lists 40 outgoing relations" in str(full.value)
    assert graph.relation_count() == 40 and graph.last_update() == 2


def test_a_full_node_kind_names_itself_and_shows_in_fill(graph):
    graph.add_lane_node(1, 1)
    graph.add_lane_node(1, 2)
    graph.add_connectsto_relation(1, 1, (6, 1), (6, 2))
    with pytest.raises(varnel.CapacityError) as full:
        while True:
            graph.remove_connectsto_relation(2, 1)  # two Lane versions each time
    assert full.value.status is WriteStatus.NodeVersionsFull
    assert "node kind Lane (6) has used all 21000 version slots" in str(full.value)
    fill = graph.fill()
    assert fill["node_versions"][NodeKind.Lane] == (21000, 21000)
    assert fill["node_versions"][NodeKind.Car] == (0, 21000)
    assert fill["node_values"] == (2, 20000)
    assert fill["relation_versions"][RelationKind.connectsTo][1] == 20000
    assert fill["relation_values"] == (1, 20000)


def test_every_node_kind_is_updated_by_its_call_keeping_its_relations(graph):
    ego = graph.add_ego_node(1, 1)
    for kind in list(NodeKind)[1:]:
        node = getattr(graph, f"add_{lower(kind)}_node")(1, 5)
        graph.add_isat_relation(2, kind, node, ego)
        assert getattr(graph, f"update_{lower(kind)}_node")(3, 5) == Index(kind, 5)
        record = graph.get_latest_node_record(node)
        assert record.timestamp == 3 and record.marker is Marker.Valid
        assert record.outgoing[0] == Index(RelationKind.isAt, kind)
    moved = graph.update_car_node(4, 5, carSpeed=3.5, carPosition=(1, 2, 0))
    assert graph.get_latest_node_value(moved).carSpeed == 3.5
    assert graph.update_node(5, 5, NodeKind.Lane, laneName="L5") == Index(NodeKind.Lane, 5)
    assert graph.update_node(6, 5, Node(NodeKind.Road, roadId=9)) == Index(NodeKind.Road, 5)
    assert graph.get_latest_node_value((NodeKind.Road, 5)).roadId == 9
    assert [i.record.to for i in graph.get_relations_of_type(ETERNITY, RelationKind.isAt)] == [ego] * 17
    assert len([e for e in graph.get_latest_node_record(ego).incoming if not e.is_empty()]) == 17


def test_an_update_of_a_node_without_versions_raises_not_found(graph):
    graph.add_lane_node(1, 7)
    with pytest.raises(varnel.NotFoundError) as missing:
        graph.update_car_node(2, 7, carSpeed=1.0)
    assert missing.value.status is WriteStatus.NotFound
    with pytest.raises(TypeError):
        graph.update_car_node(2, 7, laneName="L")
    assert graph.node_count() == 1 and graph.last_update() == 1


def test_bad_write_arguments_raise_before_writing(graph):
    for call in (lambda: graph.add_node(1, 1, 18),
                 lambda: graph.add_node(1, 1, RelationKind.isOn),
                 lambda: graph.add_node(-1, 1, NodeKind.Car),
                 lambda: graph.add_node(1, 2**64, NodeKind.Car),
                 lambda: graph.add_node(1, 1, Node(NodeKind.Car), carSpeed=1),
                 lambda: graph.add_car_node(1, 1, carSpeed="fast"),
                 lambda: graph.add_lane_node(1, 1, laneName=b"x" * 129),
                 lambda: graph.add_ison_relation(1, 1, (99, 1), (1, 1)),
                 lambda: graph.add_ison_relation(1, 1, "car", (1, 1)),
                 lambda: graph.remove_node(1, (1, -1)),
                 lambda: graph.remove_relation(1, (17, 1)),
                 lambda: graph.get_latest_node_record((18, 0)),
                 lambda: graph.get_latest_relation_value((RelationKind.isOn, 1, 2)),
                 lambda: graph.get_nodes_of_type(ETERNITY, 18),
                 lambda: graph.relations_iter(ETERNITY, NodeKind.Car)):
        with pytest.raises((TypeError, ValueError)):
            call()
    assert graph.is_empty() and graph.last_update() == 0


def test_reads_within_intervals(graph):
    graph.add_car_node(100, 7, carSpeed=1)
    assert len(graph.get_nodes_of_type(ETERNITY, NodeKind.Car)) == 1
    assert graph.get_nodes_of_type(Interval(0, 99), NodeKind.Car) == []
    for ty, found in ((IntervalType.Closed, 1), (IntervalType.RightOpen, 1),
                      (IntervalType.LeftOpen, 0), (IntervalType.Open, 0)):
        assert len(graph.get_nodes_of_type(Interval(100, 200, ty), NodeKind.Car)) == found
    graph.remove_car_node(200, 7)
    latest = graph.get_latest_node_record((1, 7))
    assert latest.marker is Marker.Removed and latest.timestamp == 200
    assert graph.get_latest_node_value((1, 7)) is None
    assert graph.get_nodes_of_type(ETERNITY, 1) == []
    [before] = graph.get_nodes_of_type(Interval(0, 150), 1)
    assert before.timestamp == 100 and before.value.carSpeed == 1.0
    assert [item.marker for item in graph.nodes_iter(ETERNITY, NodeKind.Car)] == [
        Marker.Valid, Marker.Removed]
    graph.add_car_node(300, 7, carSpeed=3)
    assert graph.get_latest_node_value((1, 7)).carSpeed == 3.0


def test_kind_queries_order_by_kind_then_unsigned_id(graph):
    for kind, instance in ((1, 9), (1, 2**63), (1, 3), (5, 9)):
        graph.add_node(1, instance, kind)
    assert [item.index for item in graph.get_all_nodes(ETERNITY)] == [
        Index(1, 3), Index(1, 9), Index(1, 2**63), Index(5, 9)]


def test_an_iterator_keeps_its_snapshot(graph):
    graph.add_car_node(1, 1)
    walk = graph.nodes_iter(ETERNITY, NodeKind.Car)
    graph.add_car_node(2, 2)
    assert [item.instance_id for item in walk] == [1]
    assert list(walk) == [] and not walk.overtaken
    assert [item.instance_id for item in graph.nodes_iter(ETERNITY, 1)] == [1, 2]


def test_a_committed_transaction_appears_at_once(graph):
    graph.add_car_node(1, 1)
    with graph.transaction():
        assert graph.in_transaction and not graph.autocommit
        graph.add_lane_node(5, 3)
        graph.add_ison_relation(6, 100, (1, 1), (6, 3))  # joins a node of this batch
        assert graph.node_count() == 1 and graph.last_update() == 1  # not yet published
    assert graph.autocommit and not graph.in_transaction
    assert (graph.node_count(), graph.relation_count(), graph.last_update()) == (4, 1, 6)


def test_a_failed_transaction_is_dropped(graph):
    graph.add_car_node(1, 1)
    with pytest.raises(varnel.NotFoundError):
        with graph.transaction():
            graph.add_lane_node(5, 3)
            graph.remove_car_node(6, 42)  # refused: the batch is dropped
    assert graph.autocommit and graph.node_count() == 1 and graph.last_update() == 1
    assert graph.get_latest_node_record((6, 3)) is None
    graph.add_car_node(7, 2)  # reuses the dropped batch's slots
    assert graph.node_count() == 2 and graph.get_latest_node_record((6, 3)) is None


def test_compact_keeps_the_window_and_the_current_scene(graph):
    for t in range(1, 11):
        graph.add_car_node(t, 1)
    graph.add_car_node(5, 2)
    graph.remove_car_node(6, 2)
    walk = graph.nodes_iter(ETERNITY, NodeKind.Car)
    # Car 1 at 8, 9, 10 and its state at 8 (written at 7); car 2 (removed before 8) is gone.
    assert graph.compact(8) == 4
    assert graph.node_count() == 4 and graph.last_update() == 6
    assert [item.record.timestamp for item in graph.nodes_iter(ETERNITY, NodeKind.Car)] == [7, 8, 9, 10]
    assert graph.get_latest_node_record((NodeKind.Car, 2)) is None
    assert list(walk) == [] and walk.overtaken
    with graph.transaction():
        with pytest.raises(varnel.WriteRefused) as refused:
            graph.compact(100)
        assert refused.value.status == WriteStatus.InsideBatch
    assert graph.compact(100) == 1  # the latest version of car 1 stays


def test_transactions_do_not_nest(graph):
    with graph.transaction():
        with pytest.raises(varnel.VarnelError):
            with graph.transaction():
                pass
        graph.add_car_node(1, 1)
    assert graph.node_count() == 1


def test_a_released_graph_raises_instead_of_reading(graph):
    graph.add_car_node(1, 1)
    walk = graph.nodes_iter(ETERNITY, NodeKind.Car)
    item = graph.get_all_nodes(ETERNITY)[0]
    graph.release()
    graph.release()  # idempotent
    assert graph.closed and repr(graph) == "<varnel.Graph released>"
    for call in (graph.node_count, lambda: graph.add_car_node(2, 2), lambda: next(walk)):
        with pytest.raises(ValueError):
            call()
    assert item.value.kind is NodeKind.Car  # items are copies



def scene(graph):
    """Lane 3 written at 0; car 7 on it from 10, moving at 20, gone at 30.

    Joining or parting appends a version to both nodes."""
    lane = graph.add_lane_node(0, 3, laneName="L3")
    car = graph.add_car_node(10, 7, carSpeed=1.0)
    graph.add_ison_relation(10, 100, car, lane)
    graph.update_car_node(20, 7, carSpeed=2.0)
    graph.remove_car_node(30, 7)
    return car, lane


def test_a_view_answers_one_scene_as_of_any_time(graph):
    car, lane = scene(graph)
    view = graph.view()
    assert not view.overtaken and view.last_update == 30
    assert [i.index for i in view.nodes()] == [(NodeKind.Lane, 3)]
    assert view.nodes(NodeKind.Car) == [] and view.relations() == []
    assert [i.index for i in view.nodes_as_of(t=15)] == [car, lane]
    assert [i.value.carSpeed for i in view.nodes_as_of(NodeKind.Car, t=25)] == [2.0]
    assert [i.index for i in view.relations_as_of(RelationKind.isOn, t=15)] == [(RelationKind.isOn, 100)]
    # The kind first, as in C++; t only by name, so a time is never taken for a kind.
    for call in (lambda: view.nodes_as_of(25, NodeKind.Car), lambda: view.nodes_as_of(NodeKind.Car, 25),
                 lambda: view.relations_as_of(15)):
        with pytest.raises(TypeError):
            call()
    # Lane 3 has versions at 0, 10 (isOn added) and 30 (isOn removed with the car).
    assert view.nodes_in(Interval(12, 25), NodeKind.Lane) == []
    assert [i.timestamp for i in view.nodes_as_of(NodeKind.Lane, t=25)] == [10]
    assert view.node(lane).value.laneName == "L3" and view.node(car) is None
    assert view.node_at((NodeKind.Car, 7), 12).value.carSpeed == 1.0
    assert view.node_at(car, 5) is None
    assert view.relation_at((RelationKind.isOn, 100), 15).record.from_ == car
    [(relation, node)] = view.outgoing(car, RelationKind.isOn, 15)
    assert relation.index == (RelationKind.isOn, 100) and node.index == lane
    [(relation, node)] = view.incoming(lane, RelationKind.isOn, 15)
    assert node.index == car
    assert view.outgoing(car, RelationKind.isOn) == []
    assert [r.index for r in view.relations_between(car, lane, 15)] == [(RelationKind.isOn, 100)]
    assert view.versions(NodeKind.Car) == 5 and view.versions(RelationKind.isOn) >= 1
    with pytest.raises(TypeError):
        view.versions(1)
    with pytest.raises(TypeError, match="isOn"):
        view.nodes(RelationKind.isOn)


def test_history_and_counts_from_a_view_or_the_graph(graph):
    car, lane = scene(graph)
    history = graph.history(car)
    assert [(i.timestamp, i.marker) for i in history] == [
        (10, Marker.Valid), (10, Marker.Valid), (20, Marker.Valid),
        (30, Marker.Removed), (30, Marker.Removed)]  # removed, then its isOn parted
    assert [i.timestamp for i in graph.view().history((NodeKind.Car, 7))] == [10, 10, 20, 30, 30]
    assert [i.timestamp for i in graph.relation_history((RelationKind.isOn, 100))][0] == 10
    counts = graph.counts()
    assert counts["nodes"][NodeKind.Lane] == 1 and counts["nodes"][NodeKind.Car] == 0
    assert NodeKind.Empty not in counts["nodes"] and counts["relations"][RelationKind.isOn] == 0
    assert counts == graph.view().counts()


def test_a_view_keeps_its_scene_and_reports_a_clear_that_overtook_it(graph):
    car, lane = scene(graph)
    view = graph.view()
    graph.add_car_node(40, 8)
    assert [i.index for i in view.nodes()] == [lane]  # the later write is not in this view
    graph.clear()
    graph.add_car_node(50, 9)
    assert view.nodes() == [] and view.overtaken
    assert [i.index for i in graph.view().nodes()] == [(NodeKind.Car, 9)]


def test_a_view_of_a_released_graph_raises():
    g = varnel.Graph.new_boxed()
    view = g.view()
    g.release()
    with pytest.raises(ValueError, match="released"):
        view.nodes()


def test_a_saved_graph_loads_as_a_private_graph_with_its_history(graph, tmp_path):
    car, lane = scene(graph)
    path = tmp_path / "scene.vkg"
    graph.save(path)
    with varnel.Graph.load(path) as loaded:
        assert loaded.is_private and loaded.last_update() == 30
        assert [(i.timestamp, i.marker) for i in loaded.history(car)] == [
            (i.timestamp, i.marker) for i in graph.history(car)]  # Removed versions kept
        assert [i.index for i in loaded.view().nodes()] == [lane]
        assert loaded.node_count() == graph.node_count()
        loaded.add_car_node(40, 8)  # a private graph takes writes
    (tmp_path / "junk").write_bytes(b"not a snapshot")
    with pytest.raises(varnel.SnapshotFileError):
        varnel.Graph.load(tmp_path / "junk")
    with pytest.raises(OSError):
        varnel.Graph.load(str(tmp_path / "missing"))


def random_scene(graph, seed, steps):
    """Cars moving over lanes, pedestrians, isOn and yieldsToCarIn relations
    that come and go, removals, timestamps mostly rising: a fixed random drive."""
    import random
    rng = random.Random(seed)
    for lane in range(1, 5):
        graph.add_lane_node(0, lane, laneName=f"lane {lane}", laneSpeedLimit=30 + 10 * lane)
    cars, walkers, relation_id = set(), set(), 1000
    for step in range(steps):
        t = max(0, step * 10 + rng.choice([0, 0, 0, -15]))  # now and then a stamp from the past
        with graph.transaction():
            car = rng.randrange(1, 40)
            if car in cars and rng.random() < 0.1:
                graph.remove_car_node(t, car)
                cars.discard(car)
            elif car in cars:
                graph.update_car_node(t, car, carId=car, carSpeed=rng.uniform(0, 30),
                                      carPosition=(rng.uniform(-50, 50), rng.uniform(-5, 5), 0.0),
                                      carDirection=(1.0, 0.0, 0.0))
            else:
                graph.add_car_node(t, car, carId=car, carSpeed=rng.uniform(0, 30))
                cars.add(car)
                relation_id += 1
                graph.add_ison_relation(t, relation_id, (NodeKind.Car, car), (NodeKind.Lane, rng.randrange(1, 5)))
            walker = rng.randrange(1, 10)
            if walker in walkers and rng.random() < 0.2:
                graph.remove_pedestrian_node(t, walker)
                walkers.discard(walker)
            else:
                graph.add_node(t, walker, NodeKind.Pedestrian, pedestrianPosition=(rng.random(), rng.random()),
                               pedestrianSpeed=rng.uniform(0, 2))
                walkers.add(walker)
            if len(cars) >= 2 and rng.random() < 0.3:
                a, b = rng.sample(sorted(cars), 2)
                relation_id += 1
                graph.add_yieldstocarin_relation(t, relation_id, (NodeKind.Car, a), (NodeKind.Car, b),
                                                 ifDirection=rng.randrange(-1, 2))


def expect_columns_match(columns, items, kind):
    assert len(columns) == len(items)
    for row, item in zip(columns, items):
        assert (row["instance_id"], row["timestamp"], row["marker"]) == (
            item.instance_id, item.timestamp, int(item.marker))
        if isinstance(kind, RelationKind):
            assert (row["from_kind"], row["from_id"], row["to_kind"], row["to_id"]) == (
                *item.record.from_, *item.record.to)
        fields = item.value.fields if item.value.type_index() == int(kind) else None
        for name in columns.dtype.names[(7 if isinstance(kind, RelationKind) else 3):-1]:
            value = row[name]
            if fields is None:
                assert not value.any() if hasattr(value, "any") else not value, name
            elif isinstance(value, bytes):
                assert value.decode() == fields[name], name
            elif getattr(value, "shape", ()) != ():
                assert tuple(value) == tuple(fields[name]), name
            else:
                assert value == fields[name], name


def test_columns_hold_every_version_as_the_per_version_reads_do(graph):
    np = pytest.importorskip("numpy")
    random_scene(graph, seed=25, steps=300)
    view = graph.view()
    graph.add_car_node(10**6, 99)  # after the view: not in its columns
    for kind in (NodeKind.Car, NodeKind.Pedestrian, NodeKind.Lane, NodeKind.Ego,
                 RelationKind.isOn, RelationKind.yieldsToCarIn):
        iterate = graph.relations_iter if isinstance(kind, RelationKind) else graph.nodes_iter
        for window in (None, Interval(500, 1500), Interval.of_type(Interval(500, 1500), IntervalType.Open)):
            columns = view.columns(kind, window)
            assert isinstance(columns, np.ndarray) and columns.dtype.names[:3] == (
                "instance_id", "timestamp", "marker")
            items = [item for item in iterate(window or ETERNITY, kind) if item.timestamp != 10**6]
            expect_columns_match(columns, items, kind)
    cars = graph.columns(NodeKind.Car)
    assert cars[-1]["instance_id"] == 99 and cars["carPosition"].shape == (len(cars), 3)
    assert cars.dtype["carSpeed"] == np.float32 and cars.dtype["carId"] == np.int32
    assert set(graph.columns(NodeKind.Lane)["laneName"]) == {b"lane 1", b"lane 2", b"lane 3", b"lane 4"}
    valid = cars[cars["marker"] == Marker.Valid]
    assert len(valid) + (cars["marker"] == Marker.Removed).sum() == len(cars)
    with pytest.raises(TypeError, match="NodeKind or a RelationKind"):
        view.columns(1)
    with pytest.raises(TypeError, match="Interval"):
        view.columns(NodeKind.Car, (0, 10))


def expected_changes(graph, kind):
    relation = isinstance(kind, RelationKind)
    previous, changes = {}, []
    for item in (graph.relations_iter if relation else graph.nodes_iter)(ETERNITY, kind):
        if item.marker != Marker.Valid:
            changes.append("removed")
            previous.pop(item.instance_id, None)
            continue
        key = (item.value.fields, item.record.from_, item.record.to) if relation else item.value.fields
        changes.append("lists" if previous.get(item.instance_id) == key else "value")
        previous[item.instance_id] = key
    return changes


def test_columns_say_what_changed_and_keep_value_changes_only_on_request(graph):
    np = pytest.importorskip("numpy")
    random_scene(graph, seed=31, steps=300)
    view = graph.view()
    for kind in (NodeKind.Car, NodeKind.Lane, RelationKind.isOn):
        for window in (None, Interval(500, 1500), Interval.of_type(Interval(500, 1500), IntervalType.Open)):
            rows = view.columns(kind, window)
            assert rows.dtype.names[-1] == "change" and set(rows["change"]) <= {b"value", b"lists", b"removed"}
            if window is None:  # against each instance's previous version in write order
                assert [c.decode() for c in rows["change"]] == expected_changes(graph, kind)
            kept = view.columns(kind, window, value_changes=True)
            assert b"lists" not in set(kept["change"])
            pairs = list(zip(kept["instance_id"], kept["timestamp"]))
            assert len(pairs) == len(set(pairs))  # one row per (instance, timestamp)
            assert set(pairs) == {(r["instance_id"], r["timestamp"]) for r in rows if r["change"] != b"lists"}
    # A car that gets a relation: a second version with the same value, marked "lists".
    with varnel.Graph.new_boxed() as g:
        g.add_lane_node(0, 1)
        g.add_car_node(10, 7, carSpeed=3.0)
        g.add_ison_relation(10, 100, (NodeKind.Car, 7), (NodeKind.Lane, 1))
        g.update_car_node(20, 7, carSpeed=4.0)
        g.add_ison_relation(20, 101, (NodeKind.Car, 7), (NodeKind.Lane, 1))
        g.remove_car_node(30, 7)
        cars = g.columns(NodeKind.Car)
        # Removing a node removes its relations too: more Removed versions at 30.
        assert [c.decode() for c in cars["change"]] == ["value", "lists", "value", "lists"] + ["removed"] * 3
        kept = g.columns(NodeKind.Car, value_changes=True)
        assert list(kept["timestamp"]) == [10, 20, 30] and list(kept["carSpeed"]) == [3.0, 4.0, 4.0]
        # A window starts from what the instance was before it.
        assert [c.decode() for c in g.columns(NodeKind.Car, Interval(15, 30))["change"]] == [
            "value", "lists"] + ["removed"] * 3
        assert [c.decode() for c in g.columns(NodeKind.Car, Interval(20, 20))["change"]] == ["value", "lists"]
        assert g.columns(NodeKind.Lane, Interval(10, 10))["change"].tolist() == [b"lists"]


def test_flat_columns_and_data_frames(graph, monkeypatch):
    np = pytest.importorskip("numpy")
    random_scene(graph, seed=5, steps=100)
    flat = graph.columns(NodeKind.Car, flat=True)
    rows = graph.columns(NodeKind.Car)
    assert list(flat)[:3] == ["instance_id", "timestamp", "marker"]
    assert all(column.ndim == 1 and len(column) == len(rows) for column in flat.values())
    assert np.array_equal(flat["carPosition_y"], rows["carPosition"][:, 1])
    assert "carPosition" not in flat and "carDirection_z" in flat
    lanes = graph.columns(NodeKind.Lane, flat=True)
    assert set(lanes["laneName"]) == {"lane 1", "lane 2", "lane 3", "lane 4"}  # str, not bytes
    assert set(lanes["change"]) <= {"value", "lists", "removed"}
    pd = pytest.importorskip("pandas")
    frame = graph.view().to_pandas(NodeKind.Car)
    assert isinstance(frame, pd.DataFrame) and len(frame) == len(rows)
    assert list(frame.columns) == list(flat)
    ticks = graph.to_pandas(NodeKind.Car, value_changes=True)
    assert not ticks.duplicated(["instance_id", "timestamp"]).any()
    speeds = ticks[ticks["marker"] == int(Marker.Valid)].groupby("timestamp")["carSpeed"].mean()
    assert len(speeds) > 0
    assert isinstance(graph.to_pandas(RelationKind.isOn, Interval(100, 500)), pd.DataFrame)
    monkeypatch.setitem(__import__("sys").modules, "pandas", None)  # as if not installed
    with pytest.raises(ImportError, match="python3-pandas"):
        graph.to_pandas(NodeKind.Car)


def test_columns_of_an_overtaken_view_are_empty_and_without_numpy_raise(graph, monkeypatch):
    pytest.importorskip("numpy")
    random_scene(graph, seed=7, steps=20)
    view = graph.view()
    graph.clear()
    graph.add_car_node(5, 1)
    assert len(view.columns(NodeKind.Car)) == 0 and view.overtaken
    monkeypatch.setitem(__import__("sys").modules, "numpy", None)  # as if not installed
    with pytest.raises(ImportError, match="python3-numpy"):
        graph.columns(NodeKind.Car)


def test_refusals_name_what_they_refer_to(graph):
    from varnel import NodeKind
    with pytest.raises(varnel.NotFoundError, match=r"^update_node: Car 99 not found$"):
        graph.update_car_node(10, 99, carSpeed=1.0)
    with pytest.raises(varnel.NotFoundError, match=r"^remove_node: Lane 3 not found$"):
        graph.remove_lane_node(10, 3)
    graph.add_car_node(10, 7)
    with pytest.raises(varnel.NotFoundError,
                       match=r"^add_relation: isOn 5 from Car 7 to Lane 3: an end node has no version$"):
        graph.add_ison_relation(10, 5, (NodeKind.Car, 7), (NodeKind.Lane, 3))
    with pytest.raises(varnel.NotFoundError, match=r"^remove_relation: isOn 5 not found$"):
        graph.remove_ison_relation(10, 5)
