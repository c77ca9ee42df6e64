// A host written in C#: sets the shared graph up through varnel_interface,
// writes a small scene in one transaction (every record kind that has fields,
// and a few without), and holds the region until Enter or the end of input,
// so that readers (varnel-inspect) can look.
//
//   mcs -unsafe -out:ExampleHost.exe ExampleHost.cs ../Varnel.cs
//   LD_LIBRARY_PATH=<folder of libvarnel_interface.so> mono ExampleHost.exe
//
// --abi-scene writes instead the byte-pattern scene that the library's tests
// check byte for byte from another process, and exits at once.
using System;
using System.Runtime.InteropServices;
using Varnel;

static class ExampleHost
{
    const ulong Scene = 1000;  // host time of the scene, ms

    static int Main(string[] args)
    {
        bool abiScene = args.Length == 1 && args[0] == "--abi-scene";
        if (args.Length > 0 && !abiScene)
        {
            Console.WriteLine("usage: ExampleHost.exe [--abi-scene]\n" +
                              "  writes a small scene into the shared graph \"KnowledgeGraph\" and holds it until Enter;\n" +
                              "  --abi-scene: writes the byte-pattern scene of the tests and exits");
            return args[0] == "--help" ? 0 : 2;
        }
        KnowledgeGraph.CheckLayouts();
        IntPtr g;
        try
        {
            g = KnowledgeGraph.initialize_knowledge_graph();
        }
        catch (DllNotFoundException e)
        {
            Console.Error.WriteLine("ExampleHost: cannot load varnel_interface ({0}); put varnel_interface.dll beside " +
                                    "the program (Windows) or the folder of libvarnel_interface.so on LD_LIBRARY_PATH", e.Message);
            return 2;
        }
        if (g == IntPtr.Zero)
        {
            Console.Error.WriteLine("ExampleHost: the region \"KnowledgeGraph\" cannot be set up " +
                                    "(out of shared memory, or a smaller region of that name exists?)");
            return 3;
        }
        try
        {
            KnowledgeGraph.set_autocommit(false, g);
            KnowledgeGraph.start_transaction(g);
            bool stored = abiScene ? WritePatternScene(g) : WriteScene(g);
            KnowledgeGraph.commit_transaction(g);
            KnowledgeGraph.set_autocommit(true, g);
            if (!stored)
            {
                Console.Error.WriteLine("ExampleHost: a write was refused (result {0})", KnowledgeGraph.get_last_write_result(g));
                return 1;
            }
            Console.WriteLine("ExampleHost: scene written, {0} node versions, {1} relation versions",
                              KnowledgeGraph.get_node_count(g), KnowledgeGraph.get_relation_count(g));
            if (!abiScene)
            {
                Console.WriteLine("ExampleHost: holding the region; press Enter to release it");
                Console.ReadLine();
            }
            return 0;
        }
        finally
        {
            KnowledgeGraph.release_knowledge_graph(g);
        }
    }

    static bool Stored(IntPtr g) { return KnowledgeGraph.get_last_write_result(g) == KnowledgeGraph.WriteStored; }

    static bool WriteScene(IntPtr g)
    {
        bool ok = true;
        var road = new Road { roadId = 1, roadName = RawString.From("Hauptstraße") };
        KnowledgeGraph.add_road_node(Scene, 1, road, g); ok &= Stored(g);
        var lane = new Lane { laneId = 1, laneName = RawString.From("Hauptstraße eastbound"), laneSpeedLimit = 50 };
        KnowledgeGraph.add_lane_node(Scene, 1, lane, g); ok &= Stored(g);
        var crossing = new Intersection { intersectionId = 1, intersectionPosition = new Vector3f(80f, 0f, 0f) };
        KnowledgeGraph.add_intersection_node(Scene, 1, crossing, g); ok &= Stored(g);
        var crosswalk = new Crosswalk { crosswalkId = 2, crosswalkPedestrianCount = 1,
                                        crosswalkPosition = new Vector3f(60f, 0f, 0f) };
        KnowledgeGraph.add_crosswalk_node(Scene, 2, crosswalk, g); ok &= Stored(g);
        var car = new Car { carDirection = new Vector3f(1f, 0f, 0f), carId = 7,
                            carPosition = new Vector3f(12.5f, -1.75f, 0f), carSpeed = 13.9f };
        KnowledgeGraph.add_car_node(Scene, 7, car, g); ok &= Stored(g);
        var walker = new Pedestrian { pedestrianDirection = new Vector2f(0f, 1f),
                                      pedestrianPosition = new Vector2f(60f, -4f), pedestrianSpeed = 1.4f };
        KnowledgeGraph.add_pedestrian_node(Scene, 3, walker, g); ok &= Stored(g);
        KnowledgeGraph.add_speedlimitsign_node(Scene, 4, new SpeedLimitSign { signSpeedLimit = 50 }, g); ok &= Stored(g);
        KnowledgeGraph.add_testclass1_node(Scene, 5, new TestClass1 { testProperty1 = 1 }, g); ok &= Stored(g);
        KnowledgeGraph.add_testclass2_node(Scene, 6, new TestClass2 { testProperty2 = 2 }, g); ok &= Stored(g);
        KnowledgeGraph.add_ego_node(Scene, 1, IntPtr.Zero, g); ok &= Stored(g);

        KnowledgeGraph.add_ison_relation(Scene, 1, IntPtr.Zero, KnowledgeGraph.NodeCar, 7, KnowledgeGraph.NodeLane, 1, g); ok &= Stored(g);
        KnowledgeGraph.add_ison_relation(Scene, 2, IntPtr.Zero, KnowledgeGraph.NodeEgo, 1, KnowledgeGraph.NodeLane, 1, g); ok &= Stored(g);
        KnowledgeGraph.add_ispartof_relation(Scene, 3, IntPtr.Zero, KnowledgeGraph.NodeLane, 1, KnowledgeGraph.NodeRoad, 1, g); ok &= Stored(g);
        KnowledgeGraph.add_walkson_relation(Scene, 4, IntPtr.Zero, KnowledgeGraph.NodePedestrian, 3, KnowledgeGraph.NodeCrosswalk, 2, g); ok &= Stored(g);
        KnowledgeGraph.add_yieldstocarin_relation(Scene, 5, new yieldsToCarIn { ifDirection = 1 },
                                                  KnowledgeGraph.NodeEgo, 1, KnowledgeGraph.NodeLane, 1, g); ok &= Stored(g);
        KnowledgeGraph.add_testrelation_relation(Scene, 6, new testRelation { testProperty = 0.5f },
                                                 KnowledgeGraph.NodeTestClass1, 5, KnowledgeGraph.NodeTestClass2, 6, g); ok &= Stored(g);
        return ok;
    }

    // ---- The tests' scene: every byte i of a record with seed s is (s + 37 i) mod 256.
    const ulong AbiId = 0x0102030405060708UL;
    const ulong AbiTime = 0xF0E0D0C0B0A09080UL;

    static T Pattern<T>(int seed) where T : struct
    {
        var bytes = new byte[Marshal.SizeOf(typeof(T))];
        for (int i = 0; i < bytes.Length; ++i) bytes[i] = (byte)((seed + 37 * i) & 0xFF);
        GCHandle pinned = GCHandle.Alloc(bytes, GCHandleType.Pinned);
        try { return (T)Marshal.PtrToStructure(pinned.AddrOfPinnedObject(), typeof(T)); }
        finally { pinned.Free(); }
    }

    static bool WritePatternScene(IntPtr g)
    {
        bool ok = true;
        ok &= KnowledgeGraph.add_car_node(AbiTime, AbiId, Pattern<Car>(11), g) == KnowledgeGraph.NodeCar && Stored(g);
        ok &= KnowledgeGraph.add_lane_node(AbiTime, AbiId, Pattern<Lane>(23), g) == KnowledgeGraph.NodeLane && Stored(g);
        ok &= KnowledgeGraph.add_road_node(AbiTime, AbiId, Pattern<Road>(5), g) == KnowledgeGraph.NodeRoad && Stored(g);
        ok &= KnowledgeGraph.add_crosswalk_node(AbiTime, AbiId, Pattern<Crosswalk>(61), g) == KnowledgeGraph.NodeCrosswalk && Stored(g);
        ok &= KnowledgeGraph.add_pedestrian_node(AbiTime, AbiId, Pattern<Pedestrian>(77), g) == KnowledgeGraph.NodePedestrian && Stored(g);
        ok &= KnowledgeGraph.add_intersection_node(AbiTime, AbiId, Pattern<Intersection>(91), g) == KnowledgeGraph.NodeIntersection && Stored(g);
        ok &= KnowledgeGraph.add_speedlimitsign_node(AbiTime, AbiId, Pattern<SpeedLimitSign>(143), g) == KnowledgeGraph.NodeSpeedLimitSign && Stored(g);
        ok &= KnowledgeGraph.add_testclass1_node(AbiTime, AbiId, Pattern<TestClass1>(170), g) == KnowledgeGraph.NodeTestClass1 && Stored(g);
        ok &= KnowledgeGraph.add_testclass2_node(AbiTime, AbiId, Pattern<TestClass2>(233), g) == KnowledgeGraph.NodeTestClass2 && Stored(g);
        ok &= KnowledgeGraph.add_testrelation_relation(AbiTime, AbiId, Pattern<testRelation>(129), KnowledgeGraph.NodeCar, AbiId,
                                                       KnowledgeGraph.NodeLane, AbiId, g) == KnowledgeGraph.RelationTestRelation && Stored(g);
        ok &= KnowledgeGraph.add_yieldstocarin_relation(AbiTime, AbiId, Pattern<yieldsToCarIn>(201), KnowledgeGraph.NodeLane, AbiId,
                                                        KnowledgeGraph.NodeRoad, AbiId, g) == KnowledgeGraph.RelationYieldsToCarIn && Stored(g);
        return ok;
    }
}
