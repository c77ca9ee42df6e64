"""The shared region: a Python writer and a Python reader in separate processes."""
import json
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import varnel
from varnel import Index, Interval, NodeKind, RelationKind

TIMEOUT = 60


def start(script):
    """A child Python process running `script`, talking line by line."""
    return subprocess.Popen([sys.executable, "-c", textwrap.dedent(script)], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, text=True)


def expect(child, line):
    got = child.stdout.readline().strip()
    assert got == line, f"child said {got!r}"


def tell(child, line):
    child.stdin.write(line + "\n")
    child.stdin.flush()


WRITER = """
    import sys
    import varnel
    with varnel.Graph.open() as g:
        g.add_car_node(10, 7, carSpeed=13.5, carPosition=(1, 2, 3))
        g.add_lane_node(11, 3, laneName="Hauptstraße", laneSpeedLimit=50)
        g.add_ison_relation(12, 100, (1, 7), (6, 3))
        print("scene", flush=True)
        sys.stdin.readline()
        with g.transaction():
            for car in range(8, 18):
                g.add_car_node(20, car)
            g.remove_car_node(21, 7)
        print("batch", flush=True)
        sys.stdin.readline()
    print("released", flush=True)
"""


def test_a_reader_process_sees_what_a_writer_process_publishes():
    writer = start(WRITER)
    try:
        expect(writer, "scene")
        with varnel.Graph.attach() as reader:
            assert reader.read_only and repr(reader).endswith("read-only>")
            assert (reader.node_count(), reader.relation_count(), reader.last_update()) == (4, 1, 12)
            car = reader.get_latest_node_value((NodeKind.Car, 7))
            assert car.carSpeed == 13.5 and tuple(car.carPosition) == (1.0, 2.0, 3.0)
            assert reader.get_latest_node_value(Index(6, 3)).laneName == "Hauptstraße"
            [relation] = reader.get_relations_of_type(Interval.eternity(), RelationKind.isOn)
            assert (relation.record.from_, relation.record.to) == (Index(1, 7), Index(6, 3))
            walk = reader.nodes_iter(Interval.eternity(), NodeKind.Car)

            tell(writer, "go")
            expect(writer, "batch")
            cars = reader.get_nodes_of_type(Interval.eternity(), NodeKind.Car)
            assert [item.instance_id for item in cars] == list(range(8, 18))  # car 7 removed
            assert reader.last_update() == 21
            assert [item.timestamp for item in walk] == [10, 12]  # the snapshot before the batch

            with pytest.raises(varnel.ReadOnlyError):
                reader.add_car_node(30, 1)
            with pytest.raises(varnel.ReadOnlyError):
                reader.clear()
            with pytest.raises(varnel.ReadOnlyError):
                reader.transaction().__enter__()
        tell(writer, "go")
        expect(writer, "released")
        assert writer.wait(TIMEOUT) == 0
    finally:
        writer.kill()
        writer.wait()


READER = """
    import json, sys
    import varnel
    with varnel.Graph.attach() as g:
        print("attached", flush=True)
        while sys.stdin.readline().strip() == "look":
            items = g.get_all_nodes(varnel.Interval.eternity())
            print(json.dumps({"count": g.node_count(), "last": g.last_update(),
                              "nodes": [[int(i.kind), i.instance_id, str(i.value)] for i in items]}),
                  flush=True)
"""


def look(reader):
    tell(reader, "look")
    return json.loads(reader.stdout.readline())


def test_a_writer_process_feeds_a_reader_process(region):
    region.add_speedlimitsign_node(5, 1, signSpeedLimit=80)
    reader = start(READER)
    try:
        expect(reader, "attached")
        assert look(reader) == {"count": 1, "last": 5, "nodes": [
            [12, 1, "SpeedLimitSign(SpeedLimitSign { signSpeedLimit: 80 })"]]}
        with region.transaction():
            region.add_ego_node(6, 0)
            assert look(reader)["count"] == 1  # not published before the commit
        assert look(reader)["nodes"][0] == [4, 0, "Ego(Ego)"]
        region.clear()
        assert look(reader) == {"count": 0, "last": 6, "nodes": []}
        tell(reader, "stop")
        assert reader.wait(TIMEOUT) == 0
    finally:
        reader.kill()
        reader.wait()


WAITER = """
    import varnel
    with varnel.Graph.attach() as g:
        scene = g.view()
        print("attached", scene.last_update, flush=True)
        seen = [g.wait(timeout=30) for _ in range(3)]  # each after the last one seen
        print(" ".join(map(str, seen)), g.wait(timeout=0.05), flush=True)
"""


def test_a_reader_process_sleeps_until_each_commit(region):
    region.add_car_node(5, 1)
    waiter = start(WAITER)
    try:
        expect(waiter, "attached 5")
        for t in (6, 7, 8):
            time.sleep(0.1)  # the reader is asleep by then
            with region.transaction():
                region.update_car_node(t, 1, carSpeed=float(t))
                region.add_car_node(t, 100 + t)
        expect(waiter, "6 7 8 None")
        assert waiter.wait(TIMEOUT) == 0
    finally:
        waiter.kill()
        waiter.wait()


def test_wait_times_out_is_interrupted_by_release_and_takes_after(graph):
    assert graph.wait(timeout=0.02) is None
    graph.add_car_node(10, 1)
    assert graph.wait(timeout=0, after=9) == 10 and graph.wait(0) is None
    with pytest.raises(ValueError):
        graph.wait(timeout=-1)
    ended = []
    waiter = threading.Thread(target=lambda: ended.append(pytest.raises(ValueError, graph.wait)))
    waiter.start()
    time.sleep(0.1)
    graph.release()
    waiter.join(TIMEOUT)
    assert not waiter.is_alive() and ended


def test_a_reader_process_sees_only_committed_batches_however_the_host_frames_them(region):
    region.add_car_node(1000, 1, carId=1)
    reader = start(READER)
    try:
        expect(reader, "attached")
        before = look(reader)
        assert before["count"] == 1
        region.set_autocommit(False)
        region.add_car_node(2000, 2, carId=2)  # no start_transaction: the write opens the batch
        assert look(reader) == before  # car 1 is not overwritten
        region.commit_transaction()
        after = look(reader)
        assert [node[1] for node in after["nodes"]] == [1, 2] and after["last"] == 2000
        region.commit_transaction()  # no open batch: nothing changes
        assert look(reader) == after
        region.set_autocommit(True)

        # A batch that raises after a reset that rewrote nothing: the graph stays.
        with pytest.raises(RuntimeError):
            with region.transaction():
                region.clear()
                raise RuntimeError("the host gives up")
        assert look(reader) == after
        # After a reset and a write over the old graph's slots: the empty graph,
        # published before that write, stays.
        empty = {"count": 0, "last": 2000, "nodes": []}
        with pytest.raises(RuntimeError):
            with region.transaction():
                region.clear()
                assert look(reader) == after
                region.add_car_node(3000, 5, carId=5)
                assert look(reader) == empty
                raise RuntimeError("the host gives up")
        assert look(reader) == empty
        tell(reader, "stop")
        assert reader.wait(TIMEOUT) == 0
    finally:
        reader.kill()
        reader.wait()


def test_open_resets_the_graph_of_a_region_it_shares(region):
    region.add_car_node(9, 1)
    with varnel.Graph.open() as second:
        assert second.region_already_existed
        assert second.is_empty() and second.last_update() == 9
    assert region.is_empty()  # one graph, two mappings


def test_releasing_a_writer_inside_a_transaction_leaves_autocommit_on(region):
    with varnel.Graph.attach() as reader:
        with region.transaction():
            region.add_car_node(1, 1)
            assert not reader.autocommit
            region.release()
        assert reader.autocommit and reader.is_empty() and not region.in_transaction


def test_attach_without_a_host_raises():
    try:
        stray = varnel.Graph.attach()
    except varnel.RegionError as error:
        assert isinstance(error, OSError)
        return
    stray.release()
    pytest.skip("another process holds the region")


SECOND_HOST = """
    import sys
    import varnel
    with varnel.Graph.open() as g:
        print(g.node_count(), flush=True)
        sys.stdin.readline()
        while True:
            try:
                g.add_car_node(50, 5)
                print("stored", g.node_count(), flush=True)
            except varnel.WriteRefused as refused:
                print("refused", refused.status.name, g.node_count(), flush=True)
            if sys.stdin.readline().strip() != "again":
                break
"""


def test_a_second_host_process_is_refused_until_the_first_releases():
    with varnel.Graph.open() as first:
        first.add_car_node(9, 1)
        first.add_lane_node(9, 2)
        second = start(SECOND_HOST)
        try:
            expect(second, "2")  # its set-up left the scene alone
            tell(second, "write")
            expect(second, "refused NotWriter 2")
            assert first.node_count() == 2 and first.last_update() == 9
            with varnel.Graph.attach() as keeper:  # holds the region when the first goes
                first.release()
                tell(second, "again")
                expect(second, "stored 1")  # took over: reset, then its car
                assert keeper.node_count() == 1
                tell(second, "stop")
                assert second.wait(TIMEOUT) == 0
        finally:
            second.kill()
            second.wait()


def test_a_reader_tells_a_paused_host_from_a_dead_one():
    import signal
    writer = start(WRITER)
    try:
        expect(writer, "scene")
        with varnel.Graph.attach() as reader:
            assert reader.writer_alive()
            writer.send_signal(signal.SIGSTOP)  # paused: still the writer
            assert reader.writer_alive() and reader.writer_alive()
            writer.kill()  # SIGKILL: no clean-up of its own runs
            writer.wait(TIMEOUT)
            assert not reader.writer_alive()
            assert reader.node_count() == 4  # the scene stays as it was left
        with varnel.Graph.new_boxed() as private:
            assert private.writer_alive()  # its only writer is this process
    finally:
        writer.kill()
        writer.wait()


# Where car instance 7's first version keeps its marker byte in the region:
# node_records[1][0] (kind 1, slot 0; 21,000 slots of 1,312 bytes per kind),
# the marker 1,304 bytes into the record.
FIRST_CAR_MARKER = 21000 * 1312 + 1304


def test_a_damaged_marker_raises_the_documented_error(region):
    import mmap
    region.add_car_node(10, 7)
    with open("/dev/shm/" + varnel.REGION_NAME, "r+b") as shm:
        with mmap.mmap(shm.fileno(), 0) as view:
            assert view[FIRST_CAR_MARKER] == int(varnel.Marker.Valid)
            view[FIRST_CAR_MARKER] = 7
    [item] = list(region.nodes_iter(Interval.eternity(), NodeKind.Car))
    with pytest.raises(varnel.DamagedRecordError) as damaged:
        item.marker
    assert isinstance(damaged.value, ValueError) and damaged.value.value == 7
    assert "marker byte 7" in str(damaged.value)
    with pytest.raises(varnel.DamagedRecordError):
        item.record.marker
    assert "marker: Unknown(7)" in repr(item) and "Unknown(7)" in repr(item.record)


def test_a_region_another_user_may_open_is_refused(region):
    import os
    path = "/dev/shm/" + varnel.REGION_NAME
    os.chmod(path, 0o644)
    try:
        with pytest.raises(varnel.RegionError, match="mode 644"):
            varnel.Graph.attach()
        with pytest.raises(varnel.RegionError, match="mode 644"):
            varnel.Graph.open()
    finally:
        os.chmod(path, 0o600)


def test_a_planted_writer_lock_object_refuses_set_up_and_liveness():
    import os
    path = "/dev/shm/" + varnel.REGION_NAME + ".writer"
    if os.path.exists(path):
        pytest.skip("a host holds the region")
    # Another user's object, or one that others may open or lock: never trusted.
    fd = os.open(path, os.O_CREAT | os.O_RDWR | os.O_EXCL, 0o666)
    try:
        os.fchmod(fd, 0o666)
        with pytest.raises(varnel.RegionError, match=r"\.writer.*mode 666"):
            varnel.Graph.open()
        with varnel.Graph.new_boxed():
            pass
        os.unlink(path)
        os.mkfifo(path, 0o600)  # a FIFO would block a plain open for ever
        with pytest.raises(varnel.RegionError, match="not a shared memory object"):
            varnel.Graph.open()
    finally:
        os.close(fd)
        os.unlink(path)


def test_a_fifo_at_the_writer_lock_does_not_stall_a_reader(region):
    import os
    path = "/dev/shm/" + varnel.REGION_NAME + ".writer"
    with varnel.Graph.attach() as reader:
        assert reader.writer_alive()
        region.release()  # the writer lock object goes with the writer
        os.mkfifo(path, 0o600)
        try:
            with pytest.raises(varnel.RegionError, match="not a shared memory object"):
                reader.writer_alive()
        finally:
            os.unlink(path)


def test_a_history_window_keeps_room_where_a_full_record_would_refuse(region):
    """200 cars moved every 100 ms for 2 simulated minutes: 240,000 versions in a
    record of 21,000 per kind. With history_window the library compacts between
    batches, never resets, and keeps at most the window."""
    assert region.history_window == 0 and region.history_held == 0
    region.history_window = 5000
    assert region.history_window == 5000
    with region.transaction():
        for car in range(1, 201):
            region.add_car_node(0, car)
    for tick in range(1, 1200):
        with region.transaction():
            for car in range(1, 201):
                region.update_car_node(tick * 100, car, carSpeed=float(tick))
    assert region.history_resets == 0
    assert region.history_compactions > 0
    assert 0 < region.history_held <= 5000
    assert region.node_count() <= 21000
    cars = region.get_nodes_of_type(Interval.eternity(), NodeKind.Car)
    assert len(cars) == 200 and all(item.value.carSpeed == 1199.0 for item in cars)
    region.history_window = 0
    assert region.history_window == 0


def test_a_history_window_belongs_to_a_host_graph(graph):
    with pytest.raises(varnel.VarnelError):
        graph.history_window = 5000
    with pytest.raises(varnel.VarnelError):
        graph.history_held


def find_inspector():
    """varnel-inspect beside this module: the build tree's tools folder, or an installed bin."""
    import os
    import shutil
    here = os.path.dirname(os.path.abspath(varnel.__file__))
    for candidate in (os.path.join(here, "..", "tools", "varnel-inspect"),
                      os.path.join(here, "..", "..", "..", "bin", "varnel-inspect"),
                      os.path.join(here, "..", "..", "..", "..", "bin", "varnel-inspect")):
        if os.access(candidate, os.X_OK):
            return os.path.normpath(candidate)
    return shutil.which("varnel-inspect")


def record_drive(region, path, write):
    """varnel-inspect record follows the region (another process) while `write()` writes."""
    import signal
    import time
    inspector = find_inspector()
    if inspector is None:
        pytest.skip("varnel-inspect is not built")
    recorder = subprocess.Popen([inspector, "record", str(path), "--quiet", "--writer-wait", "2000"],
                                stderr=subprocess.PIPE, text=True)
    try:
        time.sleep(1.0)  # attached (a write before would be in the scene at start anyway)
        write()
        time.sleep(0.5)
    finally:
        recorder.send_signal(signal.SIGINT)
        _, err = recorder.communicate(timeout=30)
    assert recorder.returncode == 0, err


def test_a_recording_answers_what_the_window_dropped(region, tmp_path):
    """A drive recorded while its host compacts: Recording.at(t) answers as of any
    moment as the live graph did, each version is recorded once."""
    path = tmp_path / "drive.mcap"
    expected = {}

    def write():
        for t in range(100, 3100, 100):
            for car in (1, 2, 3):
                region.add_car_node(t, car, carSpeed=float(t + car))
            if t % 1000 == 0:
                region.compact(t - 200)  # the window: 200 of history
            expected[t] = {car: float(t + car) for car in (1, 2, 3)}
    record_drive(region, path, write)
    assert region.view().node_at((NodeKind.Car, 1), 500) is None  # compacted away

    drive = varnel.Recording(str(path))
    assert drive.gaps == 0 and drive.last_time == 3000
    assert drive.versions == 90  # each of the 90 versions once, whatever the compactions
    for t in (500, 1450, 2000, 3000):
        moment = max(m for m in expected if m <= t)
        with drive.at(t=t) as g:
            speeds = {i.index.instance_id: i.value.carSpeed for i in g.view().nodes_as_of(NodeKind.Car, t=t)}
            assert speeds == expected[moment]
    assert [i.timestamp for i in drive.history(NodeKind.Car, 2)] == list(range(100, 3100, 100))
    with drive.at(t=50) as g:  # the scene the recording started from: empty
        assert g.view().nodes() == []


def test_a_recording_behind_the_region_answers_as_if_it_had_kept_everything(region, tmp_path):
    """Graph.attach(recording=...): reads as of times the region's window dropped
    come from the recording, with the answers of a graph that never compacted."""
    path = tmp_path / "drive.mcap"
    with varnel.Graph.new_boxed() as full:
        def write():
            for t in range(100, 3100, 100):
                for g in (region, full):
                    if t == 100:
                        g.add_lane_node(t, 7, laneId=7)
                    for car in (1, 2, 3):
                        if car == 3 and 1200 <= t < 1800:
                            continue
                        g.add_car_node(t, car, carSpeed=float(t + car))
                    g.add_ison_relation(t, 1, (NodeKind.Car, 1 + t // 100 % 2), (NodeKind.Lane, 7))
                    if t == 1100:
                        g.remove_node(t, (NodeKind.Car, 3))
                if t % 1000 == 0:
                    region.compact(t - 200)
        record_drive(region, path, write)

        def seen(items):
            return [(i.index.type_index, i.index.instance_id, i.timestamp, str(i.marker), i.value) for i in items]

        with varnel.Graph.attach(recording=path) as reader:
            view, reference, alone = reader.view(), full.view(), region.view()
            assert seen(alone.nodes_as_of(t=1450)) != seen(reference.nodes_as_of(t=1450))
            for t in (50, 100, 500, 1150, 1450, 2000, 2799, 2800, 3000):
                assert seen(view.nodes_as_of(t=t)) == seen(reference.nodes_as_of(t=t)), t
                assert seen(view.relations_as_of(t=t)) == seen(reference.relations_as_of(t=t)), t
                for car in (1, 3):
                    got, want = view.node_at((NodeKind.Car, car), t), reference.node_at((NodeKind.Car, car), t)
                    assert seen([got] if got else []) == seen([want] if want else []), (t, car)
            # The host went on after the recording ended: the recording cannot vouch for it.
            region.add_car_node(3100, 1, carSpeed=1.0)
            with pytest.raises(varnel.RecordingError, match="ends at 3000"):
                reader.view()
