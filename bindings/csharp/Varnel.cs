// Varnel.cs: C# bindings (P/Invoke) of varnel_interface, the C library that
// keeps the road-traffic knowledge graph in the shared region "KnowledgeGraph".
//
// Drop this file into a host project (compile with unsafe code allowed: the
// 128-byte names are fixed buffers) and put varnel_interface.dll (Windows) or
// libvarnel_interface.so (Linux, Mono) where the runtime loads libraries from.
//
//   using Varnel;
//   IntPtr g = KnowledgeGraph.initialize_knowledge_graph();   // IntPtr.Zero: no region
//   var car = new Car { carId = 7, carSpeed = 13.9f, carPosition = new Vector3f(12.5f, -1.75f, 0f) };
//   KnowledgeGraph.add_car_node(1000, 7, car, g);
//   KnowledgeGraph.add_ego_node(1000, 1, IntPtr.Zero, g);      // kinds without fields
//   KnowledgeGraph.add_ison_relation(1000, 1, IntPtr.Zero, KnowledgeGraph.NodeCar, 7,
//                                    KnowledgeGraph.NodeLane, 1, g);
//   KnowledgeGraph.release_knowledge_graph(g);
//
// The rules of varnel_interface.h hold: the handle comes last; adds return the
// kind number whether or not the change was stored (get_last_write_result says
// which); one writing call at a time across all processes.
//
// Layouts are those of the C header: every record is LayoutKind.Sequential with
// 4-byte fields and no padding, passed by value. Each function is one
// declaration named as its export: a new export is one more declaration, with the C types
// mapped as uint64_t -> ulong, uint32_t -> uint, uint8_t boolean -> bool marshalled
// as U1, the handle -> IntPtr, an ignored pointer-sized argument -> IntPtr.
using System;
using System.Runtime.InteropServices;
using System.Text;

namespace Varnel
{
    [StructLayout(LayoutKind.Sequential)]
    public struct Vector3f
    {
        public float x, y, z;
        public Vector3f(float x, float y, float z) { this.x = x; this.y = y; this.z = z; }
    }

    [StructLayout(LayoutKind.Sequential)]
    public struct Vector2f
    {
        public float x, y;
        public Vector2f(float x, float y) { this.x = x; this.y = y; }
    }

    // 128 bytes of inline text (UTF-8 by convention, zero-padded; the library
    // copies the block and never reads it).
    [StructLayout(LayoutKind.Sequential)]
    public unsafe struct RawString
    {
        public const int Size = 128;
        public fixed byte bytes[Size];

        // The text as UTF-8, zero-padded; longer than 128 bytes is refused.
        public static RawString From(string text)
        {
            byte[] utf8 = Encoding.UTF8.GetBytes(text);
            if (utf8.Length > Size)
                throw new ArgumentException("at most 128 bytes of UTF-8, got " + utf8.Length, "text");
            var raw = new RawString();
            for (int i = 0; i < utf8.Length; ++i) raw.bytes[i] = utf8[i];
            return raw;
        }

        // The text up to the first zero byte.
        public override string ToString()
        {
            var copy = new byte[Size];
            int length = 0;
            fixed (byte* source = bytes)
                for (; length < Size && source[length] != 0; ++length) copy[length] = source[length];
            return Encoding.UTF8.GetString(copy, 0, length);
        }
    }

    [StructLayout(LayoutKind.Sequential)]
    public struct Car                 // 32 bytes
    {
        public Vector3f carDirection; // 0
        public int carId;             // 12
        public Vector3f carPosition;  // 16
        public float carSpeed;        // 28
    }

    [StructLayout(LayoutKind.Sequential)]
    public struct Crosswalk           // 20 bytes
    {
        public int crosswalkId;              // 0
        public int crosswalkPedestrianCount; // 4
        public Vector3f crosswalkPosition;   // 8
    }

    [StructLayout(LayoutKind.Sequential)]
    public struct Intersection        // 16 bytes
    {
        public int intersectionId;             // 0
        public Vector3f intersectionPosition;  // 4
    }

    [StructLayout(LayoutKind.Sequential)]
    public struct Lane                // 136 bytes
    {
        public int laneId;            // 0
        public RawString laneName;    // 4
        public int laneSpeedLimit;    // 132
    }

    [StructLayout(LayoutKind.Sequential)]
    public struct Pedestrian          // 20 bytes
    {
        public Vector2f pedestrianDirection; // 0
        public Vector2f pedestrianPosition;  // 8
        public float pedestrianSpeed;        // 16
    }

    [StructLayout(LayoutKind.Sequential)]
    public struct Road                // 132 bytes
    {
        public int roadId;            // 0
        public RawString roadName;    // 4
    }

    [StructLayout(LayoutKind.Sequential)]
    public struct SpeedLimitSign { public int signSpeedLimit; }  // 4 bytes

    [StructLayout(LayoutKind.Sequential)]
    public struct TestClass1 { public int testProperty1; }       // 4 bytes

    [StructLayout(LayoutKind.Sequential)]
    public struct TestClass2 { public int testProperty2; }       // 4 bytes

    // Passed as a record holding one float, not as a bare float.
    [StructLayout(LayoutKind.Sequential)]
    public struct testRelation { public float testProperty; }    // 4 bytes

    [StructLayout(LayoutKind.Sequential)]
    public struct yieldsToCarIn { public int ifDirection; }      // 4 bytes

    public static class KnowledgeGraph
    {
        // varnel_interface.dll on Windows, libvarnel_interface.so elsewhere.
        public const string Library = "varnel_interface";

        // Node kinds: node removals and the from/to of relation adds take these.
        public const ulong NodeEmpty = 0;
        public const ulong NodeCar = 1;
        public const ulong NodeCrosswalk = 2;
        public const ulong NodeDynamicObject = 3;
        public const ulong NodeEgo = 4;
        public const ulong NodeIntersection = 5;
        public const ulong NodeLane = 6;
        public const ulong NodeNoEntrySign = 7;
        public const ulong NodePedestrian = 8;
        public const ulong NodePriorityRoadSign = 9;
        public const ulong NodeRoad = 10;
        public const ulong NodeRoadSign = 11;
        public const ulong NodeSpeedLimitSign = 12;
        public const ulong NodeStaticObject = 13;
        public const ulong NodeStopSign = 14;
        public const ulong NodeTestClass1 = 15;
        public const ulong NodeTestClass2 = 16;
        public const ulong NodeYieldSign = 17;

        // Relation kinds: relation removals take these.
        public const ulong RelationEmpty = 0;
        public const ulong RelationBelongsTo = 1;
        public const ulong RelationConnectsTo = 2;
        public const ulong RelationContains = 3;
        public const ulong RelationHas = 4;
        public const ulong RelationIsAt = 5;
        public const ulong RelationIsBehind = 6;
        public const ulong RelationIsIn = 7;
        public const ulong RelationIsInFront = 8;
        public const ulong RelationIsOn = 9;
        public const ulong RelationIsOnLeft = 10;
        public const ulong RelationIsOnRight = 11;
        public const ulong RelationIsPartOf = 12;
        public const ulong RelationPassesOver = 13;
        public const ulong RelationTestRelation = 14;
        public const ulong RelationWalksOn = 15;
        public const ulong RelationYieldsToCarIn = 16;

        // get_last_write_result values.
        public const uint WriteStored = 0;               // the change is in the graph
        public const uint WriteNotFound = 1;             // remove: no version of it
        public const uint WriteNodeMissing = 2;          // relation add: from or to has no version
        public const uint WriteKindOutOfRange = 3;       // node kind > 17 or relation kind > 16
        public const uint WriteNodeVersionsFull = 4;     // a node kind's 21,000 versions are used
        public const uint WriteNodeValuesFull = 5;       // the 20,000 node payloads are used
        public const uint WriteRelationVersionsFull = 6; // a relation kind's 20,000 versions are used
        public const uint WriteRelationValuesFull = 7;   // the 20,000 relation payloads are used
        public const uint WriteOutgoingListFull = 8;     // the from node lists 40 other relations
        public const uint WriteIncomingListFull = 9;     // the to node lists 40 other relations
        public const uint WriteInsideBatch = 13;         // compaction: refused in transaction mode

        // Record sizes as the C library lays them out; CheckLayouts compares.
        public static void CheckLayouts()
        {
            Expect<Car>(32); Expect<Crosswalk>(20); Expect<Intersection>(16); Expect<Lane>(136);
            Expect<Pedestrian>(20); Expect<Road>(132); Expect<SpeedLimitSign>(4); Expect<TestClass1>(4);
            Expect<TestClass2>(4); Expect<testRelation>(4); Expect<yieldsToCarIn>(4);
        }
        static void Expect<T>(int size)
        {
            int actual = Marshal.SizeOf(typeof(T));
            if (actual != size)
                throw new InvalidOperationException(typeof(T).Name + " is " + actual + " bytes, the library's is " + size);
        }

        // ---- Lifecycle and graph-wide calls

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern IntPtr initialize_knowledge_graph();
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern void release_knowledge_graph(IntPtr handle);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern void reset_knowledge_graph(IntPtr handle);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern ulong get_node_count(IntPtr handle);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern ulong get_relation_count(IntPtr handle);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern ulong get_last_update(IntPtr handle);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        [return: MarshalAs(UnmanagedType.U1)]
        public static extern bool is_empty(IntPtr handle);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern void start_transaction(IntPtr handle);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern void commit_transaction(IntPtr handle);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern void set_autocommit([MarshalAs(UnmanagedType.U1)] bool autocommit, IntPtr handle);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern uint get_last_write_result(IntPtr handle);
        // Drops the history before keep_since (see varnel_interface.h); 1 done, 0 refused.
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern byte compact_knowledge_graph(ulong keep_since, IntPtr handle);
        // Keeps room by itself: compacts to the window (ms), less when needed; 0 off (see varnel_interface.h).
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern byte set_history_window(ulong window, IntPtr handle);
        // The history the window's last compaction kept; 0 before the first.
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern ulong get_history_held(IntPtr handle);
        // Resets the window made because the present scene did not fit: re-add the scene when it moves.
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern ulong get_history_resets(IntPtr handle);
        // Compactions the window made since set-up.
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern ulong get_history_compactions(IntPtr handle);

        // ---- Node adds: (timestamp, instance id, record or ignored, handle) -> kind number
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern ulong add_car_node(ulong timestamp, ulong instanceId, Car record, IntPtr handle);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern ulong add_crosswalk_node(ulong timestamp, ulong instanceId, Crosswalk record, IntPtr handle);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern ulong add_dynamicobject_node(ulong timestamp, ulong instanceId, IntPtr ignored, IntPtr handle);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern ulong add_ego_node(ulong timestamp, ulong instanceId, IntPtr ignored, IntPtr handle);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern ulong add_intersection_node(ulong timestamp, ulong instanceId, Intersection record, IntPtr handle);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern ulong add_lane_node(ulong timestamp, ulong instanceId, Lane record, IntPtr handle);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern ulong add_noentrysign_node(ulong timestamp, ulong instanceId, IntPtr ignored, IntPtr handle);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern ulong add_pedestrian_node(ulong timestamp, ulong instanceId, Pedestrian record, IntPtr handle);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern ulong add_priorityroadsign_node(ulong timestamp, ulong instanceId, IntPtr ignored, IntPtr handle);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern ulong add_road_node(ulong timestamp, ulong instanceId, Road record, IntPtr handle);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern ulong add_roadsign_node(ulong timestamp, ulong instanceId, IntPtr ignored, IntPtr handle);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern ulong add_speedlimitsign_node(ulong timestamp, ulong instanceId, SpeedLimitSign record, IntPtr handle);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern ulong add_staticobject_node(ulong timestamp, ulong instanceId, IntPtr ignored, IntPtr handle);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern ulong add_stopsign_node(ulong timestamp, ulong instanceId, IntPtr ignored, IntPtr handle);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern ulong add_testclass1_node(ulong timestamp, ulong instanceId, TestClass1 record, IntPtr handle);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern ulong add_testclass2_node(ulong timestamp, ulong instanceId, TestClass2 record, IntPtr handle);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern ulong add_yieldsign_node(ulong timestamp, ulong instanceId, IntPtr ignored, IntPtr handle);

        // ---- Node updates: as the adds, but the new version keeps the node's relation lists
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern ulong update_car_node(ulong timestamp, ulong instanceId, Car record, IntPtr handle);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern ulong update_crosswalk_node(ulong timestamp, ulong instanceId, Crosswalk record, IntPtr handle);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern ulong update_dynamicobject_node(ulong timestamp, ulong instanceId, IntPtr ignored, IntPtr handle);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern ulong update_ego_node(ulong timestamp, ulong instanceId, IntPtr ignored, IntPtr handle);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern ulong update_intersection_node(ulong timestamp, ulong instanceId, Intersection record, IntPtr handle);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern ulong update_lane_node(ulong timestamp, ulong instanceId, Lane record, IntPtr handle);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern ulong update_noentrysign_node(ulong timestamp, ulong instanceId, IntPtr ignored, IntPtr handle);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern ulong update_pedestrian_node(ulong timestamp, ulong instanceId, Pedestrian record, IntPtr handle);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern ulong update_priorityroadsign_node(ulong timestamp, ulong instanceId, IntPtr ignored, IntPtr handle);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern ulong update_road_node(ulong timestamp, ulong instanceId, Road record, IntPtr handle);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern ulong update_roadsign_node(ulong timestamp, ulong instanceId, IntPtr ignored, IntPtr handle);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern ulong update_speedlimitsign_node(ulong timestamp, ulong instanceId, SpeedLimitSign record, IntPtr handle);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern ulong update_staticobject_node(ulong timestamp, ulong instanceId, IntPtr ignored, IntPtr handle);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern ulong update_stopsign_node(ulong timestamp, ulong instanceId, IntPtr ignored, IntPtr handle);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern ulong update_testclass1_node(ulong timestamp, ulong instanceId, TestClass1 record, IntPtr handle);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern ulong update_testclass2_node(ulong timestamp, ulong instanceId, TestClass2 record, IntPtr handle);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern ulong update_yieldsign_node(ulong timestamp, ulong instanceId, IntPtr ignored, IntPtr handle);

        // ---- Node removals: the kind comes from nodeKind, not from the name; true when found
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        [return: MarshalAs(UnmanagedType.U1)]
        public static extern bool remove_car_node(ulong timestamp, ulong nodeKind, ulong instanceId, IntPtr handle);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        [return: MarshalAs(UnmanagedType.U1)]
        public static extern bool remove_crosswalk_node(ulong timestamp, ulong nodeKind, ulong instanceId, IntPtr handle);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        [return: MarshalAs(UnmanagedType.U1)]
        public static extern bool remove_dynamicobject_node(ulong timestamp, ulong nodeKind, ulong instanceId, IntPtr handle);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        [return: MarshalAs(UnmanagedType.U1)]
        public static extern bool remove_ego_node(ulong timestamp, ulong nodeKind, ulong instanceId, IntPtr handle);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        [return: MarshalAs(UnmanagedType.U1)]
        public static extern bool remove_intersection_node(ulong timestamp, ulong nodeKind, ulong instanceId, IntPtr handle);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        [return: MarshalAs(UnmanagedType.U1)]
        public static extern bool remove_lane_node(ulong timestamp, ulong nodeKind, ulong instanceId, IntPtr handle);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        [return: MarshalAs(UnmanagedType.U1)]
        public static extern bool remove_noentrysign_node(ulong timestamp, ulong nodeKind, ulong instanceId, IntPtr handle);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        [return: MarshalAs(UnmanagedType.U1)]
        public static extern bool remove_pedestrian_node(ulong timestamp, ulong nodeKind, ulong instanceId, IntPtr handle);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        [return: MarshalAs(UnmanagedType.U1)]
        public static extern bool remove_priorityroadsign_node(ulong timestamp, ulong nodeKind, ulong instanceId, IntPtr handle);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        [return: MarshalAs(UnmanagedType.U1)]
        public static extern bool remove_road_node(ulong timestamp, ulong nodeKind, ulong instanceId, IntPtr handle);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        [return: MarshalAs(UnmanagedType.U1)]
        public static extern bool remove_roadsign_node(ulong timestamp, ulong nodeKind, ulong instanceId, IntPtr handle);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        [return: MarshalAs(UnmanagedType.U1)]
        public static extern bool remove_speedlimitsign_node(ulong timestamp, ulong nodeKind, ulong instanceId, IntPtr handle);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        [return: MarshalAs(UnmanagedType.U1)]
        public static extern bool remove_staticobject_node(ulong timestamp, ulong nodeKind, ulong instanceId, IntPtr handle);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        [return: MarshalAs(UnmanagedType.U1)]
        public static extern bool remove_stopsign_node(ulong timestamp, ulong nodeKind, ulong instanceId, IntPtr handle);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        [return: MarshalAs(UnmanagedType.U1)]
        public static extern bool remove_testclass1_node(ulong timestamp, ulong nodeKind, ulong instanceId, IntPtr handle);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        [return: MarshalAs(UnmanagedType.U1)]
        public static extern bool remove_testclass2_node(ulong timestamp, ulong nodeKind, ulong instanceId, IntPtr handle);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        [return: MarshalAs(UnmanagedType.U1)]
        public static extern bool remove_yieldsign_node(ulong timestamp, ulong nodeKind, ulong instanceId, IntPtr handle);

        // ---- Relation adds: (timestamp, instance id, record or ignored, from kind, from id, to kind, to id, handle)
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern ulong add_belongsto_relation(ulong timestamp, ulong instanceId, IntPtr ignored, ulong fromKind, ulong fromId, ulong toKind, ulong toId, IntPtr handle);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern ulong add_connectsto_relation(ulong timestamp, ulong instanceId, IntPtr ignored, ulong fromKind, ulong fromId, ulong toKind, ulong toId, IntPtr handle);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern ulong add_contains_relation(ulong timestamp, ulong instanceId, IntPtr ignored, ulong fromKind, ulong fromId, ulong toKind, ulong toId, IntPtr handle);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern ulong add_has_relation(ulong timestamp, ulong instanceId, IntPtr ignored, ulong fromKind, ulong fromId, ulong toKind, ulong toId, IntPtr handle);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern ulong add_isat_relation(ulong timestamp, ulong instanceId, IntPtr ignored, ulong fromKind, ulong fromId, ulong toKind, ulong toId, IntPtr handle);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern ulong add_isbehind_relation(ulong timestamp, ulong instanceId, IntPtr ignored, ulong fromKind, ulong fromId, ulong toKind, ulong toId, IntPtr handle);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern ulong add_isin_relation(ulong timestamp, ulong instanceId, IntPtr ignored, ulong fromKind, ulong fromId, ulong toKind, ulong toId, IntPtr handle);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern ulong add_isinfront_relation(ulong timestamp, ulong instanceId, IntPtr ignored, ulong fromKind, ulong fromId, ulong toKind, ulong toId, IntPtr handle);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern ulong add_ison_relation(ulong timestamp, ulong instanceId, IntPtr ignored, ulong fromKind, ulong fromId, ulong toKind, ulong toId, IntPtr handle);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern ulong add_isonleft_relation(ulong timestamp, ulong instanceId, IntPtr ignored, ulong fromKind, ulong fromId, ulong toKind, ulong toId, IntPtr handle);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern ulong add_isonright_relation(ulong timestamp, ulong instanceId, IntPtr ignored, ulong fromKind, ulong fromId, ulong toKind, ulong toId, IntPtr handle);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern ulong add_ispartof_relation(ulong timestamp, ulong instanceId, IntPtr ignored, ulong fromKind, ulong fromId, ulong toKind, ulong toId, IntPtr handle);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern ulong add_passesover_relation(ulong timestamp, ulong instanceId, IntPtr ignored, ulong fromKind, ulong fromId, ulong toKind, ulong toId, IntPtr handle);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern ulong add_testrelation_relation(ulong timestamp, ulong instanceId, testRelation record, ulong fromKind, ulong fromId, ulong toKind, ulong toId, IntPtr handle);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern ulong add_walkson_relation(ulong timestamp, ulong instanceId, IntPtr ignored, ulong fromKind, ulong fromId, ulong toKind, ulong toId, IntPtr handle);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern ulong add_yieldstocarin_relation(ulong timestamp, ulong instanceId, yieldsToCarIn record, ulong fromKind, ulong fromId, ulong toKind, ulong toId, IntPtr handle);

        // ---- Relation removals: the kind comes from relationKind; true when found
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        [return: MarshalAs(UnmanagedType.U1)]
        public static extern bool remove_belongsto_relation(ulong timestamp, ulong relationKind, ulong instanceId, IntPtr handle);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        [return: MarshalAs(UnmanagedType.U1)]
        public static extern bool remove_connectsto_relation(ulong timestamp, ulong relationKind, ulong instanceId, IntPtr handle);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        [return: MarshalAs(UnmanagedType.U1)]
        public static extern bool remove_contains_relation(ulong timestamp, ulong relationKind, ulong instanceId, IntPtr handle);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        [return: MarshalAs(UnmanagedType.U1)]
        public static extern bool remove_has_relation(ulong timestamp, ulong relationKind, ulong instanceId, IntPtr handle);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        [return: MarshalAs(UnmanagedType.U1)]
        public static extern bool remove_isat_relation(ulong timestamp, ulong relationKind, ulong instanceId, IntPtr handle);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        [return: MarshalAs(UnmanagedType.U1)]
        public static extern bool remove_isbehind_relation(ulong timestamp, ulong relationKind, ulong instanceId, IntPtr handle);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        [return: MarshalAs(UnmanagedType.U1)]
        public static extern bool remove_isin_relation(ulong timestamp, ulong relationKind, ulong instanceId, IntPtr handle);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        [return: MarshalAs(UnmanagedType.U1)]
        public static extern bool remove_isinfront_relation(ulong timestamp, ulong relationKind, ulong instanceId, IntPtr handle);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        [return: MarshalAs(UnmanagedType.U1)]
        public static extern bool remove_ison_relation(ulong timestamp, ulong relationKind, ulong instanceId, IntPtr handle);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        [return: MarshalAs(UnmanagedType.U1)]
        public static extern bool remove_isonleft_relation(ulong timestamp, ulong relationKind, ulong instanceId, IntPtr handle);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        [return: MarshalAs(UnmanagedType.U1)]
        public static extern bool remove_isonright_relation(ulong timestamp, ulong relationKind, ulong instanceId, IntPtr handle);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        [return: MarshalAs(UnmanagedType.U1)]
        public static extern bool remove_ispartof_relation(ulong timestamp, ulong relationKind, ulong instanceId, IntPtr handle);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        [return: MarshalAs(UnmanagedType.U1)]
        public static extern bool remove_passesover_relation(ulong timestamp, ulong relationKind, ulong instanceId, IntPtr handle);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        [return: MarshalAs(UnmanagedType.U1)]
        public static extern bool remove_testrelation_relation(ulong timestamp, ulong relationKind, ulong instanceId, IntPtr handle);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        [return: MarshalAs(UnmanagedType.U1)]
        public static extern bool remove_walkson_relation(ulong timestamp, ulong relationKind, ulong instanceId, IntPtr handle);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        [return: MarshalAs(UnmanagedType.U1)]
        public static extern bool remove_yieldstocarin_relation(ulong timestamp, ulong relationKind, ulong instanceId, IntPtr handle);
    }
}
