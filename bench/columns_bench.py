#!/usr/bin/env python3
"""numpy columns of 80,000 versions: how long SceneView.columns takes.

A private graph (no region) is filled to its node payload and relation value
limits: 300 cars moved over 40 lanes by re-adding their isOn relations, then
removed from them, and pedestrians updated until the node payloads run out;
80,000 versions over Car, Lane, isOn and Pedestrian. One view then returns
the four kinds' columns; the median of 21 rounds is printed, as CPU time of
this process and as wall time.

    PYTHONPATH=build/linux/python python3 bench/columns_bench.py
"""
import statistics
import time

import varnel
from varnel import NodeKind, RelationKind

CARS, LANES = 300, 40
ROUNDS = 21


def fill(g):
    for lane in range(1, LANES + 1):
        g.add_lane_node(0, lane, laneName=f"lane {lane}", laneSpeedLimit=50)
    for car in range(1, CARS + 1):
        g.add_car_node(0, car, carId=car, carSpeed=10.0, carPosition=(car, 0.0, 0.0))
    t, move = 1, 0
    with g.transaction():
        while True:  # each move: one isOn, one Car and one Lane version
            car = move % CARS + 1
            try:
                g.add_ison_relation(t, car, (NodeKind.Car, car), (NodeKind.Lane, move % LANES + 1))
            except varnel.CapacityError:
                break
            move += 1
            t += 1
    with g.transaction():
        for car in range(1, CARS + 1):
            try:
                g.remove_ison_relation(t, car)
            except varnel.CapacityError:
                break
            t += 1
    with g.transaction():
        walker = 0
        while True:
            try:
                g.add_node(t, walker % 50 + 1, NodeKind.Pedestrian, pedestrianSpeed=1.5,
                           pedestrianPosition=(walker % 97, 1.0))
            except varnel.CapacityError:
                break
            walker += 1
            t += 1


def main():
    with varnel.Graph.new_boxed() as g:
        start = time.perf_counter()
        fill(g)
        print(f"filled in {time.perf_counter() - start:.1f} s")
        kinds = (NodeKind.Car, NodeKind.Lane, RelationKind.isOn, NodeKind.Pedestrian)
        view = g.view()
        sizes = {kind.name: view.versions(kind) for kind in kinds}
        total = sum(sizes.values())
        print("versions:", ", ".join(f"{name} {n}" for name, n in sizes.items()), f"= {total}")
        cpu, wall = [], []
        for _ in range(ROUNDS):
            c0, w0 = time.process_time(), time.perf_counter()
            columns = [view.columns(kind) for kind in kinds]
            cpu.append(time.process_time() - c0)
            wall.append(time.perf_counter() - w0)
        assert sum(len(c) for c in columns) == total
        c, w = statistics.median(cpu) * 1e3, statistics.median(wall) * 1e3
        print(f"columns of {total} versions: {c:.2f} ms CPU, {w:.2f} ms wall "
              f"(median of {ROUNDS}; {c * 1e6 / total:.0f} ns per version)")


if __name__ == "__main__":
    main()
