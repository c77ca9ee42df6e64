"""varnel-sumo against SUMO's own state.

The host runs as one TraCI client and this test as a second one (order 2). SUMO
answers a step's simulationStep to both at once, but the second client's next
command only after the host has asked for the next step, that is after it has
committed its batch: so after one TraCI call the graph (read from this process
through Graph.attach) and SUMO's answers describe the same moment.

Needs a network namespace of its own (scripts/test.sh runs it in one): SUMO's
TraCI server listens on the loopback interface there and nowhere else.
"""
import json
import math
import os
import re
import socket
import struct
import subprocess
import sys
import time
import xml.etree.ElementTree as ET

import pytest

SUMO_HOME = os.environ.setdefault("SUMO_HOME", "/usr/share/sumo")
sys.path.append(os.path.join(SUMO_HOME, "tools"))
traci = pytest.importorskip("traci")
sumolib = pytest.importorskip("sumolib")
varnel = pytest.importorskip("varnel")
from varnel import Interval, NodeKind, RelationKind  # noqa: E402

HOST = os.path.join(os.path.dirname(__file__), "..", "varnel-sumo")
ALL = Interval.eternity()
CROSSING = re.compile(r"^:.*_c\d+_\d+$")
YIELDING = set("msw=")


def f32(value):
    return struct.unpack("f", struct.pack("f", value))[0]


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Scene:
    """The graph as a reader sees it in one view: nodes and current relations."""

    def __init__(self, graph):
        view = graph.view()
        self.last_update = view.last_update
        self.index = {}
        self.cars = {i.instance_id: i for i in view.nodes(NodeKind.Car)}
        self.peds = {i.instance_id: i for i in view.nodes(NodeKind.Pedestrian)}
        self.lanes = {i.instance_id: i.value.laneName for i in view.nodes(NodeKind.Lane)}
        self.roads = {i.instance_id: i.value.roadName for i in view.nodes(NodeKind.Road)}
        self.intersections = {i.instance_id: i.value for i in view.nodes(NodeKind.Intersection)}
        self.crosswalks = {i.instance_id: i.value for i in view.nodes(NodeKind.Crosswalk)}
        self.relations = {kind: {i.instance_id: (tuple(i.record.from_), tuple(i.record.to))
                                 for i in view.relations(kind)} for kind in RelationKind}

    def name(self, target):
        """A Lane by its SUMO id, a Crosswalk as ("crosswalk", id)."""
        kind, n = target
        if kind == int(NodeKind.Lane):
            return self.lanes[n]
        assert kind == int(NodeKind.Crosswalk), target
        return ("crosswalk", n)

    def match(self, objects, position, attribute, dims):
        """The instance of self.<objects> whose stored position is SUMO's position as a 32-bit float."""
        index = self.index.get(objects)
        if index is None:
            index = self.index[objects] = {}
            for n, item in getattr(self, objects).items():
                key = tuple(getattr(getattr(item, "value", item), attribute))[:dims]
                index.setdefault(key, []).append(n)
        found = index.get(tuple(f32(c) for c in position[:dims]), [])
        assert len(found) == 1, f"position {position}: graph instances {found}"
        return found[0]


def attach_client(port, host, log):
    deadline = time.monotonic() + 60
    while True:
        try:
            traci.init(port, numRetries=0, host="127.0.0.1", label=f"check{port}")
            break
        except (traci.FatalTraCIError, ConnectionError, OSError):
            assert host.poll() is None, log.read_text()
            assert time.monotonic() < deadline, "SUMO did not start"
            time.sleep(0.2)
    traci.setOrder(2)


def run_host(tmp_path, *options):
    port = free_port()
    log = open(tmp_path / "host.log", "w")
    host = subprocess.Popen([sys.executable, HOST, *options, "--clients", "2", "--port", str(port),
                             "--keep-dir", str(tmp_path), "--quiet"], stdout=log, stderr=subprocess.STDOUT)
    attach_client(port, host, tmp_path / "host.log")
    return host


def crosswalk_of(scene, crossing_lane):
    shape = traci.lane.getShape(crossing_lane)
    centre = (sum(p[0] for p in shape) / len(shape), sum(p[1] for p in shape) / len(shape))
    return ("crosswalk", scene.match("crosswalks", centre, "crosswalkPosition", 2))


def expected_name(scene, lane):
    return crosswalk_of(scene, lane) if CROSSING.match(lane) else lane


def check_moving(scene, stamp, figures):
    """Cars, persons, isOn, isBehind/isInFront, walksOn and crosswalk counts against
    SUMO, and the stamp: SUMO's label of the step (its outputs' time)."""
    vehicles, persons = traci.vehicle.getIDList(), traci.person.getIDList()
    assert scene.last_update == stamp
    assert len(scene.cars) == len(vehicles) and len(scene.peds) == len(persons)
    car, car_of = int(NodeKind.Car), {}
    for vid in vehicles:
        n = scene.match("cars", traci.vehicle.getPosition3D(vid), "carPosition", 3)
        car_of[vid] = n
        item = scene.cars[n]
        assert item.value.carId == n and item.record.timestamp <= stamp
        assert item.value.carSpeed == pytest.approx(traci.vehicle.getSpeed(vid), abs=1e-4)
        if item.value.carSpeed > 0:  # it moved in this step: written with this step's stamp
            assert item.record.timestamp == stamp, vid
        a = math.radians(traci.vehicle.getAngle(vid))
        assert item.value.carDirection.x == pytest.approx(math.sin(a), abs=1e-5)
        assert item.value.carDirection.y == pytest.approx(math.cos(a), abs=1e-5)
    assert len(set(car_of.values())) == len(vehicles)
    on, behind, front = (scene.relations[k] for k in (RelationKind.isOn, RelationKind.isBehind,
                                                      RelationKind.isInFront))
    for vid, n in car_of.items():
        # isOn: the lane SUMO has it on, a junction's internal lane included.
        lane = traci.vehicle.getLaneID(vid)
        assert on[n][0] == (car, n) and scene.name(on[n][1]) == lane, (vid, lane)
        figures["inside"] += lane.startswith(":")
        leader = traci.vehicle.getLeader(vid, 100.0)
        if leader and leader[0] and leader[1] <= 100.0:
            m = car_of[leader[0]]
            figures["leaders"] += 1
            assert behind.get(n) == ((car, n), (car, m)) and front.get(n) == ((car, m), (car, n)), vid
        else:
            figures["far"] += bool(leader and leader[0])
            assert n not in behind and n not in front, (vid, leader)
    # Nothing left over from vehicles that have gone.
    assert set(on) == set(car_of.values())
    on_crossing = {}
    for pid in persons:
        n = scene.match("peds", traci.person.getPosition(pid), "pedestrianPosition", 2)
        assert scene.peds[n].value.pedestrianSpeed == pytest.approx(traci.person.getSpeed(pid), abs=1e-4)
        walk = scene.relations[RelationKind.walksOn].get(n)
        assert walk is not None and walk[0] == (int(NodeKind.Pedestrian), n), pid
        lane = traci.person.getLaneID(pid)
        assert scene.name(walk[1]) == expected_name(scene, lane), (pid, lane)
        if CROSSING.match(lane):
            on_crossing[walk[1][1]] = on_crossing.get(walk[1][1], 0) + 1
            figures["crossing"] += 1
        figures["walking area"] += "_w" in lane
    for c, value in scene.crosswalks.items():
        assert value.crosswalkPedestrianCount == on_crossing.get(c, 0)


def check_network(scene, net):
    """Every lane (normal, internal, walking area) by its SUMO id, every crossing
    and junction; the signs; every foe of a link that gives way."""
    lanes = traci.lane.getIDList()
    assert sorted(scene.lanes.values()) == sorted(l for l in lanes if not CROSSING.match(l))
    assert len(scene.crosswalks) == sum(1 for l in lanes if CROSSING.match(l))
    junctions = [j for j in traci.junction.getIDList() if not j.startswith(":")]
    assert len(scene.intersections) == len(junctions)
    junction_of = {scene.match("intersections", traci.junction.getPosition(j), "intersectionPosition", 2): j
                   for j in junctions}
    # Signs: Road has sign, sign isAt Intersection; none at traffic lights, right
    # before left or unregulated junctions.
    has = {b: scene.roads[a[1]] for a, b in scene.relations[RelationKind.has].values()}
    signs = {}
    for sign, at in scene.relations[RelationKind.isAt].values():
        edge = has[sign]
        assert net.getEdge(edge).getToNode().getID() == junction_of[at[1]]
        signs[edge] = NodeKind(sign[0]).name
    expected = {}
    for edge in net.getEdges():
        if edge.getFunction() or edge.getToNode().getType() not in ("priority", "priority_stop", "allway_stop"):
            continue
        states = {c.getState() for lane in edge.getLanes() if lane.getPermissions() != {"pedestrian"}
                  for c in lane.getOutgoing() if not c.getToLane().getID().startswith(":")}
        if states:
            expected[edge.getID()] = ("PriorityRoadSign" if "M" in states else
                                      "StopSign" if states & set("sw") else "YieldSign")
    assert signs == expected
    # yieldsToCarIn: from a lane whose link gives way, to every lane (or crossing) SUMO names as its foe.
    # (SUMO's own link states from the network file: TraCI's getLinks trips an
    # assertion in Debian's SUMO on some junction types.)
    want = set()
    for edge in net.getEdges():
        for lane in edge.getLanes():
            if edge.getFunction() not in ("", "internal") or lane.getPermissions() == {"pedestrian"}:
                continue
            for c in lane.getOutgoing():
                to = c.getToLane().getID()
                if c.getState() in YIELDING and not CROSSING.match(to) and "_w" not in to:
                    want |= {(lane.getID(), expected_name(scene, foe)) for foe in traci.lane.getFoes(lane.getID(), to)}
    got = {(scene.name(a), scene.name(b)) for a, b in scene.relations[RelationKind.yieldsToCarIn].values()}
    assert got == want
    return {kind: sum(1 for k in signs.values() if k == kind) for kind in set(signs.values())}, len(want), \
        sum(1 for a, b in want if isinstance(b, str) and b.startswith(":")), \
        sum(1 for a, b in want if isinstance(b, tuple))


def step_and_check(host, steps, every, check, each_step=None):
    graph = None
    checked = arrived = 0
    try:
        for step in range(1, steps):
            traci.simulationStep()
            # SUMO answers this only once the host has committed the step.
            stamp = round(traci.simulation.getTime() * 1000) - round(traci.simulation.getDeltaT() * 1000)
            arrived += traci.simulation.getArrivedNumber()
            if graph is None:
                graph = varnel.Graph.attach()
            if each_step:
                each_step(graph, stamp)
            if step % every == 0:
                check(Scene(graph), stamp)
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
    seen, figures = [], dict(leaders=0, far=0, inside=0, crossing=0)
    figures["walking area"] = 0

    def check(scene, stamp):
        seen.append(len(scene.cars))
        check_moving(scene, stamp, figures)
        assert sorted(scene.lanes.values()) == sorted(traci.lane.getIDList())

    checked, arrived = step_and_check(host, 600, 50, check)
    assert host.returncode == 0, (tmp_path / "host.log").read_text()
    assert checked == 11 and max(seen) > 20 and arrived > 0 and figures["leaders"] > 20, (seen, arrived, figures)
    report = json.loads(report.read_text())
    if window:
        assert report["compactions"] > 0 and report["resets"] == 0, report
    else:
        assert report["resets"] > 0 and report["compactions"] == 0, report
    assert report["refused"] == 0, report


# Junction types of the test network: the spider's rings made of the kinds SUMO
# has for a junction with or without signs. (No all-way stop: Debian's SUMO 1.15
# stops on an assertion in MSLink::blockedByFoe with one in this traffic.)
JUNCTION_TYPES = {"A1": "priority", "B1": "traffic_light", "B2": "traffic_light", "B3": "right_before_left",
                  "B5": "priority_stop", "C1": "unregulated", "C3": "right_before_left", "C4": "priority_stop"}


def typed_network(directory, generate, types):
    """netgenerate's network (plain files) built again by netconvert with the junction
    types types(node id) and guessed sidewalks and crossings."""
    prefix = os.path.join(directory, "plain")
    subprocess.run(["netgenerate", *generate, "--plain-output-prefix", prefix, "-o", os.devnull],
                   check=True, capture_output=True)
    with open(prefix + ".nod.xml") as f:
        nodes = f.read()
    nodes = re.sub(r'<node id="(\w+)"([^>]*?)( type="\w+")?/>',
                   lambda m: f'<node id="{m[1]}"{m[2]} type="{types(m[1])}"/>', nodes)
    with open(prefix + ".nod.xml", "w") as f:
        f.write(nodes)
    net = os.path.join(directory, "test.net.xml")
    subprocess.run(["netconvert", "-n", prefix + ".nod.xml", "-e", prefix + ".edg.xml", "--sidewalks.guess",
                    "--crossings.guess", "-o", net], check=True, capture_output=True)
    return net


def random_trips(directory, net, begin, end, period, seed):
    """Cars every `period` s, trucks and persons less often, from randomTrips.py."""
    routes = []
    for name, options in (("cars", ["-p", str(period)]),
                          ("trucks", ["-p", str(6 * period), "--vehicle-class", "truck", "--vclass", "truck",
                                      "--prefix", "t"]),
                          ("walks", ["-p", str(1.4 * period), "--pedestrians", "--prefix", "p"])):
        out = os.path.join(directory, f"{name}.rou.xml")
        subprocess.run([sys.executable, os.path.join(SUMO_HOME, "tools", "randomTrips.py"), "-n", net, "-o", out,
                        "-b", str(begin), "-e", str(end), "--seed", str(seed), "--fringe-factor", "5", *options],
                       check=True, capture_output=True)
        routes.append(out)
    return routes


def run_connected(tmp_path, net_file, routes, sumo_options, duration, step_length, every, check, each_step):
    """SUMO started here, the host connected to it with --window 5, this test as
    the second client; returns the host's report."""
    port = free_port()
    sumo = subprocess.Popen(["sumo", "-n", net_file, "-r", ",".join(routes), "--remote-port", str(port),
                             "--num-clients", "2", "--step-length", str(step_length), "--no-step-log", "true",
                             "--no-warnings", "true", *sumo_options],
                            stdout=open(tmp_path / "sumo.log", "w"), stderr=subprocess.STDOUT)
    report = tmp_path / "report.json"
    log = open(tmp_path / "host.log", "w")
    host = subprocess.Popen([sys.executable, HOST, "--connect", str(port), "--net", net_file, "--duration",
                             str(duration), "--window", "5", "--report", str(report), "--quiet"],
                            stdout=log, stderr=subprocess.STDOUT)
    try:
        attach_client(port, host, tmp_path / "host.log")
        checked, arrived = step_and_check(host, int(round(duration / step_length)), every, check, each_step)
    finally:
        sumo.wait(timeout=60)
    assert host.returncode == 0, (tmp_path / "host.log").read_text()
    return checked, arrived, json.loads(report.read_text())


def check_fcd_labels(fcd, samples):
    """The stamps are SUMO's own labels: its FCD output has the same positions at them."""
    wanted = set(samples)
    for _, step in ET.iterparse(fcd):
        if step.tag != "timestep":
            continue
        stamp = round(float(step.get("time")) * 1000)
        if stamp in wanted:
            wanted.discard(stamp)
            written = {v.get("id"): (float(v.get("x")), float(v.get("y"))) for v in step.iter("vehicle")}
            assert written.keys() == samples[stamp].keys()
            for vid, (x, y) in samples[stamp].items():
                assert written[vid] == (pytest.approx(x, abs=0.01), pytest.approx(y, abs=0.01)), (stamp, vid)
        step.clear()
    assert not wanted


def test_spider_of_mixed_junctions_matches_sumo_and_its_fcd_output(tmp_path):
    """A SUMO started elsewhere (--begin 100, steps of 0.5 s, teleports after 10 s
    of waiting) with the host connected to it: every field at sampled steps, the
    count of cars at every step (teleporting vehicles are not on the road), the
    stamps against SUMO's FCD output, and the network's signs and foes."""
    begin, step_length, duration = 100, 0.5, 150
    net_file = typed_network(str(tmp_path), ["--spider", "--spider.arm-number", "5", "--spider.circle-number", "3",
                                             "--spider.space-radius", "80"],
                             lambda node: JUNCTION_TYPES.get(node, "priority"))
    routes = random_trips(str(tmp_path), net_file, begin, begin + duration, 0.5, 7)
    net = sumolib.net.readNet(net_file, withInternal=True, withPedestrianConnections=True)
    figures = dict(leaders=0, far=0, inside=0, crossing=0, teleporting=0, busiest=0)
    figures["walking area"] = 0
    samples = {}  # stamp -> {vehicle: (x, y)} as SUMO gave it over TraCI
    teleporting = set()

    def each_step(graph, stamp):
        teleporting.update(traci.simulation.getStartingTeleportIDList())
        teleporting.difference_update(traci.simulation.getEndingTeleportIDList())
        cars = graph.counts()["nodes"][NodeKind.Car]
        assert cars == len(traci.vehicle.getIDList()), stamp
        figures["teleporting"] = max(figures["teleporting"], len(teleporting))

    def check(scene, stamp):
        if "network" not in figures:
            figures["network"] = check_network(scene, net)
        check_moving(scene, stamp, figures)
        inside = [traci.vehicle.getLaneID(v) for v in traci.vehicle.getIDList()] + \
            [traci.person.getLaneID(p) for p in traci.person.getIDList()]
        figures["busiest"] = max(figures["busiest"], sum(1 for lane in inside if lane.startswith(":A1_")))
        samples[stamp] = {vid: traci.vehicle.getPosition(vid) for vid in traci.vehicle.getIDList()}

    checked, arrived, report = run_connected(
        tmp_path, net_file, routes, ["--begin", str(begin), "--time-to-teleport", "10", "--seed", "7",
                                      "--fcd-output", str(tmp_path / "fcd.xml")],
        duration, step_length, 10, check, each_step)
    print(figures, report["refused_static"], report["static_full_nodes"])
    assert checked == 29 and arrived > 0
    assert figures["teleporting"] > 0 and figures["leaders"] > 50 and figures["far"] > 0
    assert figures["inside"] > 20 and figures["crossing"] > 0 and figures["walking area"] > 0
    assert figures["busiest"] >= 10  # cars and persons inside the centre at once
    signs, foes, internal_foes, crossing_foes = figures["network"]
    # SUMO names internal lanes and walking areas among the foes (crossings not).
    assert set(signs) == {"PriorityRoadSign", "YieldSign", "StopSign"} and internal_foes > 0
    assert report["refused"] == 0 and report["resets"] == 0, report
    check_fcd_labels(tmp_path / "fcd.xml", samples)


@pytest.mark.skipif(not os.environ.get("VARNEL_SUMO_SCALE"),
                    reason="minutes long: VARNEL_SUMO_SCALE=SECONDS runs it (150 reaches 2,000 vehicles)")
def test_random_network_at_scale(tmp_path):
    """A random network of about 820 lanes and 350 crossings with priority, stop,
    traffic-light and right-before-left junctions, a car every 0.05 s: over 2,000
    vehicles at once. Every field is compared in the last third of the run; no
    reset, no relation left out. The report's figures are printed (pytest -s)."""
    duration = float(os.environ["VARNEL_SUMO_SCALE"])
    kinds = ["priority", "priority_stop", "traffic_light", "right_before_left"]
    import random
    rng = random.Random(11)
    net_file = typed_network(str(tmp_path), ["--rand", "--rand.iterations", "150", "--seed", "11",
                                             "--rand.random-lanenumber"], lambda node: rng.choice(kinds))
    routes = random_trips(str(tmp_path), net_file, 0, duration, 0.05, 11)
    net = sumolib.net.readNet(net_file, withInternal=True, withPedestrianConnections=True)
    figures = dict(leaders=0, far=0, inside=0, crossing=0, vehicles=[])
    figures["walking area"] = 0

    def check(scene, stamp):
        if stamp < duration * 1000 * 2 / 3:
            return
        if "network" not in figures:
            figures["network"] = check_network(scene, net)
        check_moving(scene, stamp, figures)
        figures["vehicles"].append(len(scene.cars))

    checked, _, report = run_connected(tmp_path, net_file, routes, ["--seed", "11"], duration, 0.1, 100, check,
                                       None)
    print({k: v for k, v in figures.items() if k != "network"}, "network:", figures.get("network"))
    print({k: report[k] for k in ("most_vehicles", "most_persons", "wall_s", "writes_per_step", "graph_s",
                                  "sumo_and_traci_s", "graph_share", "longest_graph_step_ms", "resets",
                                  "compactions", "held_s", "max_fill", "refused", "refused_static")})
    assert report["most_vehicles"] >= 2000 and max(figures["vehicles"]) >= 2000, figures["vehicles"]
    assert report["resets"] == 0 and report["refused"] == 0, report


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
