"""varnel-sumo against SUMO's own state.

The host runs as one TraCI client and this test as a second one (order 2). SUMO
answers the second client's commands of a step only after the host has asked for
the next step, that is after the host has committed its batch: so at every
sampled step the graph (read from this process through Graph.attach) and SUMO's
answers describe the same moment.

Needs a network namespace of its own (scripts/test.sh runs it in one): SUMO's
TraCI server listens on the loopback interface there and nowhere else.
"""
import json
import math
import os
import socket
import struct
import subprocess
import sys
import time

import pytest

SUMO_HOME = os.environ.setdefault("SUMO_HOME", "/usr/share/sumo")
sys.path.append(os.path.join(SUMO_HOME, "tools"))
traci = pytest.importorskip("traci")
varnel = pytest.importorskip("varnel")
from varnel import Interval, NodeKind, RelationKind  # noqa: E402

HOST = os.path.join(os.path.dirname(__file__), "..", "varnel-sumo")
ALL = Interval.eternity()


def f32(value):
    return struct.unpack("f", struct.pack("f", value))[0]


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Scene:
    """The graph as a reader sees it: nodes and Valid relations of a few kinds."""

    def __init__(self, graph):
        self.cars = {i.instance_id: i.value for i in graph.get_nodes_of_type(ALL, NodeKind.Car)}
        self.peds = {i.instance_id: i.value for i in graph.get_nodes_of_type(ALL, NodeKind.Pedestrian)}
        self.lanes = {i.instance_id: i.value.laneName for i in graph.get_nodes_of_type(ALL, NodeKind.Lane)}
        self.intersections = len(graph.get_nodes_of_type(ALL, NodeKind.Intersection))
        self.crosswalks = {i.instance_id: i.value for i in graph.get_nodes_of_type(ALL, NodeKind.Crosswalk)}
        self.relations = {}
        for kind in (RelationKind.isOn, RelationKind.isBehind, RelationKind.isInFront, RelationKind.walksOn):
            self.relations[kind] = {i.instance_id: (tuple(i.record.from_), tuple(i.record.to))
                                    for i in graph.get_relations_of_type(ALL, kind)}

    @staticmethod
    def match(objects, position, attribute, dims):
        """The instance whose stored position is SUMO's position as a 32-bit float."""
        want = [f32(c) for c in position[:dims]]
        found = [n for n, value in objects.items()
                 if all(abs(a - b) <= 1e-3 * max(1.0, abs(b)) for a, b in zip(getattr(value, attribute), want))]
        assert len(found) == 1, f"position {position}: graph instances {found}"
        return found[0]


def run_host(tmp_path, *options):
    port = free_port()
    log = open(tmp_path / "host.log", "w")
    host = subprocess.Popen([sys.executable, HOST, *options, "--clients", "2", "--port", str(port),
                             "--keep-dir", str(tmp_path), "--quiet"], stdout=log, stderr=subprocess.STDOUT)
    deadline = time.monotonic() + 60
    while True:
        try:
            traci.init(port, numRetries=0, host="127.0.0.1", label=f"check{port}")
            break
        except (traci.FatalTraCIError, ConnectionError, OSError):
            assert host.poll() is None, (tmp_path / "host.log").read_text()
            assert time.monotonic() < deadline, "SUMO did not start"
            time.sleep(0.2)
    traci.setOrder(2)
    return host


def lane_target(scene, lane):
    """The node the host joins to a SUMO lane id, as (kind, id), or a kind when any of it will do."""
    if lane.startswith(":"):
        return "junction"
    ids = [n for n, name in scene.lanes.items() if name == lane]
    assert len(ids) == 1, lane
    return (int(NodeKind.Lane), ids[0])


def check_target(scene, target, expected):
    if expected == "junction":
        assert target[0] in (int(NodeKind.Intersection), int(NodeKind.Crosswalk))
    else:
        assert target == expected


def step_and_check(host, steps, every, check):
    graph = None
    checked = arrived = 0
    try:
        for step in range(1, steps):
            traci.simulationStep()
            arrived += traci.simulation.getArrivedNumber()  # answered once the host's batch is in
            if graph is None:
                graph = varnel.Graph.attach()
            if step % every == 0:
                check(Scene(graph))
                checked += 1
    finally:
        if graph is not None:
            graph.release()
        traci.close()
        host.wait(timeout=60)
    return checked, arrived


@pytest.mark.parametrize("window", [0, 5], ids=["reset", "window"])
def test_grid_with_random_trips_matches_sumo(tmp_path, window):
    """Without a window the full record resets the scene; with one it is compacted, never reset."""
    report = tmp_path / "report.json"
    host = run_host(tmp_path, "--grid", "--duration", "60", "--period", "0.4", "--window", str(window),
                    "--report", str(report))
    seen, leaders = [], []

    def check(scene):
        vehicles = traci.vehicle.getIDList()
        seen.append(len(vehicles))
        # The same vehicles: as many cars as SUMO has, each found by its position.
        assert len(scene.cars) == len(vehicles)
        car_of = {}
        for vid in vehicles:
            n = Scene.match(scene.cars, traci.vehicle.getPosition3D(vid), "carPosition", 3)
            car_of[vid] = n
            value = scene.cars[n]
            assert value.carId == n
            assert value.carSpeed == pytest.approx(traci.vehicle.getSpeed(vid), abs=1e-4)
            a = math.radians(traci.vehicle.getAngle(vid))
            assert value.carDirection.x == pytest.approx(math.sin(a), abs=1e-5)
            assert value.carDirection.y == pytest.approx(math.cos(a), abs=1e-5)
        assert len(set(car_of.values())) == len(vehicles)
        car = int(NodeKind.Car)
        for vid, n in car_of.items():
            # isOn: the lane SUMO has it on (a junction's inside is its Intersection).
            check_target(scene, scene.relations[RelationKind.isOn][n][1], lane_target(scene, traci.vehicle.getLaneID(vid)))
            assert scene.relations[RelationKind.isOn][n][0] == (car, n)
            leader = traci.vehicle.getLeader(vid, 100.0)
            if leader and leader[0]:
                m = car_of[leader[0]]
                leaders.append(vid)
                assert scene.relations[RelationKind.isBehind].get(n) == ((car, n), (car, m)), vid
                assert scene.relations[RelationKind.isInFront].get(n) == ((car, m), (car, n)), vid
            else:
                assert n not in scene.relations[RelationKind.isBehind], vid
                assert n not in scene.relations[RelationKind.isInFront], vid
        # Nothing left over from vehicles that have gone.
        assert set(scene.relations[RelationKind.isOn]) == set(car_of.values())
        # The network: every normal lane by its SUMO id, every junction.
        assert sorted(scene.lanes.values()) == sorted(l for l in traci.lane.getIDList() if not l.startswith(":"))
        assert scene.intersections == sum(1 for j in traci.junction.getIDList() if not j.startswith(":"))

    checked, arrived = step_and_check(host, 600, 50, check)
    assert host.returncode == 0, (tmp_path / "host.log").read_text()
    assert checked == 11 and max(seen) > 20 and arrived > 0 and len(leaders) > 20, (seen, arrived, len(leaders))
    figures = json.loads(report.read_text())
    if window:
        assert figures["compactions"] > 0 and figures["resets"] == 0, figures
    else:
        assert figures["resets"] > 0 and figures["compactions"] == 0, figures


def test_spider_with_pedestrians_matches_sumo(tmp_path):
    host = run_host(tmp_path, "--spider", "--pedestrians", "--duration", "60", "--period", "0.5", "--seed", "3",
                    "--picture", str(tmp_path / "map.svg"))
    seen, crossing = [], []

    def check(scene):
        vehicles, persons = traci.vehicle.getIDList(), traci.person.getIDList()
        seen.append(len(persons))
        assert len(scene.cars) == len(vehicles) and len(scene.peds) == len(persons)
        for vid in vehicles:
            Scene.match(scene.cars, traci.vehicle.getPosition3D(vid), "carPosition", 3)
        on_crossing = {}
        for pid in persons:
            n = Scene.match(scene.peds, traci.person.getPosition(pid), "pedestrianPosition", 2)
            assert scene.peds[n].pedestrianSpeed == pytest.approx(traci.person.getSpeed(pid), abs=1e-4)
            lane = traci.person.getLaneID(pid)
            walk = scene.relations[RelationKind.walksOn].get(n)
            assert walk is not None and walk[0] == (int(NodeKind.Pedestrian), n)
            check_target(scene, walk[1], lane_target(scene, lane))
            if walk[1][0] == int(NodeKind.Crosswalk):
                crossing.append(pid)
                on_crossing[walk[1][1]] = on_crossing.get(walk[1][1], 0) + 1
        for c, value in scene.crosswalks.items():
            assert value.crosswalkPedestrianCount == on_crossing.get(c, 0)

    checked, _ = step_and_check(host, 600, 50, check)
    assert host.returncode == 0, (tmp_path / "host.log").read_text()
    print(f"persons per sample {seen}, {len(crossing)} seen on a crossing")
    assert checked == 11 and max(seen) > 3
    assert (tmp_path / "map.svg").read_text().startswith("<svg")


def test_bad_network_is_a_clear_error(tmp_path):
    bad = tmp_path / "bad.net.xml"
    bad.write_text("<net><edge id='x'")
    result = subprocess.run([sys.executable, HOST, "--net", str(bad), "--duration", "1"],
                            capture_output=True, text=True, timeout=60)
    assert result.returncode != 0
    assert "varnel-sumo:" in result.stderr and "Traceback" not in result.stderr


def test_no_link_is_followed_and_no_temporary_folder_is_left(tmp_path):
    victim = tmp_path / "victim"
    victim.write_text("precious")
    for option in ("--report", "--picture", "--keep-dir"):
        link = tmp_path / f"link{option}"
        link.symlink_to(victim)
        result = subprocess.run([sys.executable, HOST, "--grid", "--duration", "1", option, str(link)],
                                capture_output=True, text=True, timeout=60)
        assert result.returncode == 2 and f"{link} is a symbolic link" in result.stderr, result.stderr
        assert victim.read_text() == "precious"
    # A run's temporary folder goes when it ends normally, by an error or by SIGTERM.
    temporary = tmp_path / "tmp"
    temporary.mkdir()
    env = dict(os.environ, TMPDIR=str(temporary))
    bad = tmp_path / "bad.net.xml"
    bad.write_text("<net><edge id='x'")
    for options in (["--grid", "--duration", "1"], ["--net", str(bad), "--duration", "1"]):
        subprocess.run([sys.executable, HOST, *options, "--quiet"], env=env, capture_output=True, timeout=120)
        assert list(temporary.iterdir()) == [], options
    host = subprocess.Popen([sys.executable, HOST, "--grid", "--duration", "600", "--quiet"], env=env,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + 60
    while not list(temporary.iterdir()) and time.monotonic() < deadline:
        time.sleep(0.05)
    host.terminate()
    host.wait(timeout=60)
    assert list(temporary.iterdir()) == []


def test_connects_to_a_running_sumo_and_keeps_its_step_length(tmp_path):
    net = tmp_path / "grid.net.xml"
    subprocess.run(["netgenerate", "--grid", "--grid.number", "3", "-o", str(net)], check=True, capture_output=True)
    port = free_port()
    sumo = subprocess.Popen(["sumo", "-n", str(net), "--remote-port", str(port), "--step-length", "0.2",
                             "--no-step-log", "true"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        result = subprocess.run([sys.executable, HOST, "--connect", str(port), "--net", str(net),
                                 "--duration", "2", "--quiet"], capture_output=True, text=True, timeout=60)
    finally:
        sumo.wait(timeout=30)
    assert result.returncode == 0, result.stderr
    assert "10 steps, 2.0 simulated s" in result.stdout
