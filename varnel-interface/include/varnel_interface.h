/*
 * varnel_interface.h: the C interface of the varnel knowledge graph.
 *
 * A host process (the producer of a road-traffic scene) sets the library up on
 * the named shared-memory region "KnowledgeGraph", then adds and removes nodes
 * and relations of the scene through the flat functions below. Other processes
 * map the same region and read the graph without locks (the C++ read side of
 * the knowledge_graph module, not part of this interface).
 *
 * Caveats
 * -------
 * - One writer at a time. No call takes a lock. Every call but the reads (the
 *   two counts, last update, emptiness), get_last_write_result() and the
 *   history window's four calls is a writing call, and no two writing calls
 *   may run at the same time: not on one handle, not on several handles of
 *   the region, not in several processes. The reads may run on any thread
 *   concurrently with a writer and see the last published state.
 * - Every call runs on the caller's thread and returns when done. The library
 *   has no thread, timer or queue; loading and unloading it does no work.
 * - The handle comes last in every call, after the values. A null handle is
 *   accepted everywhere and does nothing: calls return 0 (or false).
 * - The library keeps one graph per machine (per namespace of named objects),
 *   and one process writes it. The first handle set up while no other live
 *   process writes the region makes its process the writer; every handle of
 *   that process writes. A handle set up while another live process is the
 *   writer leaves the graph alone and refuses its writes: adds and removes
 *   store nothing and report VARNEL_WRITE_NOT_WRITER, updates and
 *   compact_knowledge_graph too, reset, transaction and autocommit calls do
 *   nothing. The refusal is logged once, at warn level. The graph itself asks
 *   the handle's write gate at every write, so no call can write around it.
 *   A writer whose lock was taken from it (its lock object removed or
 *   replaced, and another host set up) is refused from then on, logged once
 *   at error level.
 *   Each writing call through a refused handle tries again, without waiting;
 *   once the writer has released its handles or died (a crash included), the
 *   call makes this handle the writer and first does the set-up it skipped:
 *   autocommit on and the graph emptied; then, if the host last asked for
 *   transaction mode, it switches to it and starts a batch, so that the
 *   host's own framing carries on. Reads work through any handle.
 * - Adds return the kind number whether or not the graph stored the change.
 *   get_last_write_result() tells which it was.
 * - Capacities are fixed: 20,000 node payloads and 20,000 relation payloads
 *   in all, 21,000 versions per node kind, 20,000 per relation kind, 40
 *   outgoing and 40 incoming relations per node version. A write that would
 *   exceed one stores nothing. A list holds the relations added with the node
 *   at one end; when one is added again between other nodes, or removed after
 *   that, its entry in the old node's list goes stale, and a full list takes
 *   the lowest stale entry for the next relation before refusing it.
 * - Batches: set_autocommit(0, h); start_transaction(h); the writes;
 *   commit_transaction(h). A write (an add, a remove or reset_knowledge_graph)
 *   in transaction mode with no open batch opens the batch itself, exactly as
 *   start_transaction() would: a forgotten start_transaction() never touches
 *   what readers see. commit_transaction() with no open batch (autocommit mode,
 *   a second commit) changes nothing. A batch belongs to the handle that opened
 *   it; another handle or process does not continue or commit it, and a writer
 *   that takes over from one that died mid-batch starts from the published graph.
 * - Readers see the graph before a batch or the committed batch, never a part
 *   of one. A batch that resets the graph is the one exception: readers keep
 *   the old graph until the batch's first write that would reuse a slot the
 *   old graph occupies; just before that write the empty graph is published
 *   (last update as before the reset), and readers see it until the commit.
 * - A batch dropped before its commit (set_autocommit(1, h), or
 *   start_transaction(h) again) leaves the published graph as it is: the graph
 *   before the batch, or the empty graph if a reset in the batch had already
 *   published it.
 * - Counts count stored versions, not live nodes or relations: adding a
 *   relation between two nodes adds 2 node versions and 1 relation version.
 * - This header declares the kind records under their own names (Car, Lane,
 *   testRelation, ...) and the Vector3f, Vector2f and RawString field types in
 *   the global namespace.
 *
 * Types at the interface: timestamps, instance ids and kind numbers are
 * uint64_t; booleans are one byte, uint8_t, 0 for false and 1 for true (any
 * non-zero value passed in counts as true). Records are passed by value with
 * the platform's C calling convention, with the exact layouts below; a 4-byte
 * record is passed as a record, not as a bare number. Kinds without fields
 * take an ignored pointer-sized value (VarnelIgnored) in their place.
 */
#ifndef VARNEL_INTERFACE_H
#define VARNEL_INTERFACE_H

#include <stdint.h>

#if defined(_WIN32)
#if defined(VARNEL_INTERFACE_BUILDING)
#define VARNEL_API __declspec(dllexport)
#else
#define VARNEL_API __declspec(dllimport)
#endif
#elif defined(__GNUC__)
#define VARNEL_API __attribute__((visibility("default")))
#else
#define VARNEL_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Handle ------------------------------------------------------------- */

/* The host's handle on the graph: opaque, owned by the library from
 * initialize_knowledge_graph() to release_knowledge_graph(). */
typedef struct KnowledgeGraphHandle KnowledgeGraphHandle;

/* The third parameter of adds for kinds without fields: never read. */
typedef const void* VarnelIgnored;

/* ---- Kind records (little-endian, no padding) ------------------------------ */

typedef struct Vector3f { float x, y, z; } Vector3f;                /* 12 bytes */
typedef struct Vector2f { float x, y; } Vector2f;                   /*  8 bytes */
/* 128 bytes of inline text, copied as a block; the library never reads it. */
typedef struct RawString { unsigned char bytes[128]; } RawString;

typedef struct Car {                                                /* 32 bytes */
  Vector3f carDirection; /* 0 */
  int32_t carId;         /* 12 */
  Vector3f carPosition;  /* 16 */
  float carSpeed;        /* 28 */
} Car;
typedef struct Crosswalk {                                          /* 20 bytes */
  int32_t crosswalkId;              /* 0 */
  int32_t crosswalkPedestrianCount; /* 4 */
  Vector3f crosswalkPosition;       /* 8 */
} Crosswalk;
typedef struct Intersection {                                       /* 16 bytes */
  int32_t intersectionId;        /* 0 */
  Vector3f intersectionPosition; /* 4 */
} Intersection;
typedef struct Lane {                                               /* 136 bytes */
  int32_t laneId;         /* 0 */
  RawString laneName;     /* 4 */
  int32_t laneSpeedLimit; /* 132 */
} Lane;
typedef struct Pedestrian {                                         /* 20 bytes */
  Vector2f pedestrianDirection; /* 0 */
  Vector2f pedestrianPosition;  /* 8 */
  float pedestrianSpeed;        /* 16 */
} Pedestrian;
typedef struct Road {                                               /* 132 bytes */
  int32_t roadId;     /* 0 */
  RawString roadName; /* 4 */
} Road;
typedef struct SpeedLimitSign { int32_t signSpeedLimit; } SpeedLimitSign; /* 4 bytes */
typedef struct TestClass1 { int32_t testProperty1; } TestClass1;         /* 4 bytes */
typedef struct TestClass2 { int32_t testProperty2; } TestClass2;         /* 4 bytes */
typedef struct testRelation { float testProperty; } testRelation;        /* 4 bytes */
typedef struct yieldsToCarIn { int32_t ifDirection; } yieldsToCarIn;     /* 4 bytes */

/* ---- Kind numbers --------------------------------------------------------- */

/* Node kinds. Node removals and the `from`/`to` of relation adds take these. */
#define VARNEL_NODE_EMPTY UINT64_C(0)
#define VARNEL_NODE_CAR UINT64_C(1)
#define VARNEL_NODE_CROSSWALK UINT64_C(2)
#define VARNEL_NODE_DYNAMICOBJECT UINT64_C(3)
#define VARNEL_NODE_EGO UINT64_C(4)
#define VARNEL_NODE_INTERSECTION UINT64_C(5)
#define VARNEL_NODE_LANE UINT64_C(6)
#define VARNEL_NODE_NOENTRYSIGN UINT64_C(7)
#define VARNEL_NODE_PEDESTRIAN UINT64_C(8)
#define VARNEL_NODE_PRIORITYROADSIGN UINT64_C(9)
#define VARNEL_NODE_ROAD UINT64_C(10)
#define VARNEL_NODE_ROADSIGN UINT64_C(11)
#define VARNEL_NODE_SPEEDLIMITSIGN UINT64_C(12)
#define VARNEL_NODE_STATICOBJECT UINT64_C(13)
#define VARNEL_NODE_STOPSIGN UINT64_C(14)
#define VARNEL_NODE_TESTCLASS1 UINT64_C(15)
#define VARNEL_NODE_TESTCLASS2 UINT64_C(16)
#define VARNEL_NODE_YIELDSIGN UINT64_C(17)

/* Relation kinds. Relation removals take these. */
#define VARNEL_RELATION_EMPTY UINT64_C(0)
#define VARNEL_RELATION_BELONGSTO UINT64_C(1)
#define VARNEL_RELATION_CONNECTSTO UINT64_C(2)
#define VARNEL_RELATION_CONTAINS UINT64_C(3)
#define VARNEL_RELATION_HAS UINT64_C(4)
#define VARNEL_RELATION_ISAT UINT64_C(5)
#define VARNEL_RELATION_ISBEHIND UINT64_C(6)
#define VARNEL_RELATION_ISIN UINT64_C(7)
#define VARNEL_RELATION_ISINFRONT UINT64_C(8)
#define VARNEL_RELATION_ISON UINT64_C(9)
#define VARNEL_RELATION_ISONLEFT UINT64_C(10)
#define VARNEL_RELATION_ISONRIGHT UINT64_C(11)
#define VARNEL_RELATION_ISPARTOF UINT64_C(12)
#define VARNEL_RELATION_PASSESOVER UINT64_C(13)
#define VARNEL_RELATION_TESTRELATION UINT64_C(14)
#define VARNEL_RELATION_WALKSON UINT64_C(15)
#define VARNEL_RELATION_YIELDSTOCARIN UINT64_C(16)

/* ---- Write results (get_last_write_result) -------------------------------- */

#define VARNEL_WRITE_STORED 0u                 /* the change is in the graph */
#define VARNEL_WRITE_NOT_FOUND 1u              /* remove, update: no version of it */
#define VARNEL_WRITE_NODE_MISSING 2u           /* relation add: `from` or `to` has no version */
#define VARNEL_WRITE_KIND_OUT_OF_RANGE 3u      /* node kind > 17 or relation kind > 16 */
#define VARNEL_WRITE_NODE_VERSIONS_FULL 4u     /* a node kind's 21,000 versions are used */
#define VARNEL_WRITE_NODE_VALUES_FULL 5u       /* the 20,000 node payloads are used */
#define VARNEL_WRITE_RELATION_VERSIONS_FULL 6u /* a relation kind's 20,000 versions are used */
#define VARNEL_WRITE_RELATION_VALUES_FULL 7u   /* the 20,000 relation payloads are used */
#define VARNEL_WRITE_OUTGOING_LIST_FULL 8u     /* the `from` node lists 40 other relations */
#define VARNEL_WRITE_INCOMING_LIST_FULL 9u     /* the `to` node lists 40 other relations */
#define VARNEL_WRITE_NOT_WRITER 10u            /* another live process writes the region */
/* Answers of get_last_write_result() that no write gives: */
#define VARNEL_WRITE_NO_HANDLE 11u             /* the handle is NULL */
#define VARNEL_WRITE_NOTHING_WRITTEN 12u       /* no add or remove through this handle yet */
#define VARNEL_WRITE_INSIDE_BATCH 13u          /* compaction: refused in transaction mode */

/* ---- Lifecycle and graph-wide calls ------------------------------------- */

/* Creates or opens the region "KnowledgeGraph" (536,870,912 bytes), zero-fills
 * it only if this call created it, switches autocommit on and empties the
 * graph (the last update time is kept). Each call returns a new handle.
 * While another live process writes the region, the handle is returned
 * without touching the graph, and its writes are refused (see the caveats). 
 * Returns NULL when the region cannot be created or mapped, when a region
 * of that name exists but is too small to hold the graph, or when its writer
 * lock object is not one this library made (Linux: "/KnowledgeGraph.writer"
 * of another user, open to others, or not a shm object); the reason is
 * logged at error level. Writing call. */
VARNEL_API KnowledgeGraphHandle* initialize_knowledge_graph(void);

/* Unmaps the region and frees the handle, which must not be used again. The
 * graph is left as it is; the region lives while any process holds it and
 * vanishes with its last holder. NULL is accepted and ignored. */
VARNEL_API void release_knowledge_graph(KnowledgeGraphHandle* handle);

/* Empties the graph (all counts 0); the last update time is kept. Published at
 * once in autocommit mode. In a batch, readers keep the old graph until the
 * batch's first write that would reuse one of its slots; the empty graph is
 * published just before that write, the batch's content at commit_transaction().
 * In transaction mode with no open batch it opens one. Writing call. */
VARNEL_API void reset_knowledge_graph(KnowledgeGraphHandle* handle);

/* Stored node versions (all kinds) in the published state. */
VARNEL_API uint64_t get_node_count(KnowledgeGraphHandle* handle);
/* Stored relation versions (all kinds) in the published state. */
VARNEL_API uint64_t get_relation_count(KnowledgeGraphHandle* handle);
/* Timestamp of the last published write (0 for a new region). It goes down
 * when a write carries an earlier timestamp. */
VARNEL_API uint64_t get_last_update(KnowledgeGraphHandle* handle);
/* 1 when the published state holds no node and no relation version. */
VARNEL_API uint8_t is_empty(KnowledgeGraphHandle* handle);

/* Starts a batch: copies the published state into the batch under
 * construction. An open batch is dropped first (see set_autocommit). In
 * transaction mode the first write opens a batch by itself when this call was
 * left out. Writing call. */
VARNEL_API void start_transaction(KnowledgeGraphHandle* handle);
/* Publishes the open batch: readers see all of its writes at once. With no
 * open batch (autocommit mode, a second commit) it changes nothing. Writing
 * call. */
VARNEL_API void commit_transaction(KnowledgeGraphHandle* handle);
/* autocommit non-zero: every write publishes itself (the default after set-up).
 * Zero: transaction mode. Switching back on drops an uncommitted batch: the
 * published graph stays as it is (the graph before the batch, or the empty
 * graph if a reset in the batch had published it). The value comes first, the
 * handle last. Writing call. */
VARNEL_API void set_autocommit(uint8_t autocommit, KnowledgeGraphHandle* handle);

/* VARNEL_WRITE_STORED when the last add or remove through this handle stored
 * its change, otherwise the VARNEL_WRITE_* reason it stored nothing.
 * VARNEL_WRITE_NOTHING_WRITTEN before any add, update or remove through it,
 * VARNEL_WRITE_NO_HANDLE for a NULL handle. It reads the handle, not the graph: call
 * it on the thread that made the write. */
VARNEL_API uint32_t get_last_write_result(KnowledgeGraphHandle* handle);

/* ---- A sliding history window ---------------------------------------------
 * compact_knowledge_graph(keep_since, h) drops the history before keep_since
 * and makes room, instead of reset_knowledge_graph(): a host that runs for
 * longer than the arrays last calls it when the next write would not fit.
 *
 * What stays, in the original write order: every node and relation version
 * whose timestamp is >= keep_since, and for each node or relation whose latest
 * version is older, that latest version when it is Valid (so the current scene
 * stays whole). An instance whose latest version is older and Removed
 * disappears (unless, with timestamps that went back, one of its versions is
 * stamped >= keep_since: then its latest version stays too). Payloads are
 * renumbered compactly; instance ids, markers, relation lists and timestamps
 * are kept; the last update time is unchanged. Every read over an interval
 * that starts at or after keep_since, and over eternity, answers as before;
 * the counts shrink to the versions kept.
 *
 * Returns 1 when done (get_last_write_result() is VARNEL_WRITE_STORED; a
 * compaction with nothing to drop changes nothing), 0 when refused:
 * VARNEL_WRITE_INSIDE_BATCH in transaction mode (commit the batch and switch
 * autocommit on first). In autocommit mode it is one publication. A NULL
 * handle returns 0. Writing call.
 *
 * Readers. The kept versions are moved down in place. Readers of the C++ read
 * side (any process) never see a torn, partial or empty graph because of it:
 * from the first moved slot to the publication of the compacted state, a read
 * that starts waits, and one that was under way starts again after it. The
 * wait lasts as long as the compaction, whose cost follows the versions it
 * keeps: 2 to 4 ms of CPU for the demo's 5 s window (6,000 to 10,000 versions),
 * a few hundred ms at worst for a full record that keeps most of it.
 * Iterators made before end early and report that they were overtaken, as
 * after a reset. If the writer dies in the middle, a reader waits at most two
 * seconds, then reads an empty graph (and can tell why) until a host
 * initializes the graph again, which empties it and makes it usable.
 *
 * A peer that only follows the record layout (loads active_indices, copies
 * that buffer and reads below its tails, without the reader guard) sees, for
 * the duration, versions and payloads below the published tails change under
 * it, as after a reset; then the compacted state. The guard it can honour:
 * the byte at offset 520,896,617 is 0x43 while a compaction moves slots, and
 * the 16-bit word at offset 520,896,618 changes across every compaction and
 * reset; a read is sound if that byte was not 0x43 after it and the word did
 * not change while it ran. */
VARNEL_API uint8_t compact_knowledge_graph(uint64_t keep_since, KnowledgeGraphHandle* handle);

/* ---- The history window: room kept by the library ------------------------
 * set_history_window(window, h) makes the library keep room by itself, so that
 * a host that runs indefinitely needs no policy of its own: no fill reading, no
 * compact_knowledge_graph() calls, no reset when the record runs full.
 * `window` is in the host's time units (those of its timestamps: ms in
 * practice); 0 turns the policy off (the default after set-up).
 *
 * What it does. Between batches only (autocommit on; in transaction mode, the
 * first writing call after commit_transaction() with nothing written since), a
 * writing call first looks at the published fill of every array, no more often
 * than the room left requires (in transaction mode once per batch; with
 * autocommit on, again only after the writes that could reach the mark). When
 * an array could pass 80 % of its capacity within the next batch (its fill
 * plus the most it grew in one batch so far; with autocommit on, the next
 * write), the call compacts, keeping the last `window` of history (keep_since
 * = get_last_update() - window, as compact_knowledge_graph() does), and while
 * any array then still lies above 50 %, compacts again keeping half as much
 * (below window/64: nothing), down to the present scene alone (keep_since =
 * get_last_update()). The next compaction starts from what this one kept, or
 * from twice that when the arrays then lay below 25 %, so that the window
 * comes back when the traffic thins. The present scene always stays whole. Between
 * two compactions the history grows past the window; a compaction keeps at
 * most `window` of it.
 *
 * A reset. Only when the present scene itself, plus one more batch (or write),
 * does not fit in an array, the call resets the graph (as
 * reset_knowledge_graph() would), logs it at warn level and counts it in
 * get_history_resets(): readers see an empty scene until the host has added
 * it again, which it must do (a host that writes changes only: when the count
 * moves).
 *
 * Returns 1 when set, 0 for a NULL handle. Not a writing call itself (it
 * changes what the writing calls of this handle do): call it on the writing
 * thread. The window belongs to the handle; in transaction mode the policy
 * acts only after commits made through this handle. A scene that alone fills
 * more than 80 % of an array is compacted at every batch. A compaction waits
 * out readers as described above (2 to 4 ms for the demo's 5 s window). */
VARNEL_API uint8_t set_history_window(uint64_t window, KnowledgeGraphHandle* handle);
/* The history the window's last compaction kept (get_last_update() minus its
 * keep_since): the window, or less when the record could not hold that much; 0
 * before the first compaction and after a reset, and for a NULL handle. Reads
 * the handle: call it on the writing thread. */
VARNEL_API uint64_t get_history_held(KnowledgeGraphHandle* handle);
/* The resets the window made since the handle was set up (see above); 0 for a
 * NULL handle. Reads the handle: call it on the writing thread. */
VARNEL_API uint64_t get_history_resets(KnowledgeGraphHandle* handle);
/* The compactions the window made since the handle was set up; 0 for a NULL
 * handle. Reads the handle: call it on the writing thread. */
VARNEL_API uint64_t get_history_compactions(KnowledgeGraphHandle* handle);

/* ---- Node adds ------------------------------------------------------------
 * add_<kind>_node(timestamp, instance id, record, handle): stores a new
 * version of node (kind, instance id) with empty relation lists, stamped with
 * `timestamp`, and returns the kind number (also when nothing was stored, and
 * 0 for a NULL handle). Adding an id that already has versions makes a new
 * version of it, with empty lists: update_<kind>_node keeps the relations.
 * Writing call. */
VARNEL_API uint64_t add_car_node(uint64_t timestamp, uint64_t instance_id, Car record,
                                 KnowledgeGraphHandle* handle);
VARNEL_API uint64_t add_crosswalk_node(uint64_t timestamp, uint64_t instance_id,
                                       Crosswalk record, KnowledgeGraphHandle* handle);
VARNEL_API uint64_t add_dynamicobject_node(uint64_t timestamp, uint64_t instance_id,
                                           VarnelIgnored ignored, KnowledgeGraphHandle* handle);
VARNEL_API uint64_t add_ego_node(uint64_t timestamp, uint64_t instance_id, VarnelIgnored ignored,
                                 KnowledgeGraphHandle* handle);
VARNEL_API uint64_t add_intersection_node(uint64_t timestamp, uint64_t instance_id,
                                          Intersection record, KnowledgeGraphHandle* handle);
VARNEL_API uint64_t add_lane_node(uint64_t timestamp, uint64_t instance_id, Lane record,
                                  KnowledgeGraphHandle* handle);
VARNEL_API uint64_t add_noentrysign_node(uint64_t timestamp, uint64_t instance_id,
                                         VarnelIgnored ignored, KnowledgeGraphHandle* handle);
VARNEL_API uint64_t add_pedestrian_node(uint64_t timestamp, uint64_t instance_id,
                                        Pedestrian record, KnowledgeGraphHandle* handle);
VARNEL_API uint64_t add_priorityroadsign_node(uint64_t timestamp, uint64_t instance_id,
                                              VarnelIgnored ignored, KnowledgeGraphHandle* handle);
VARNEL_API uint64_t add_road_node(uint64_t timestamp, uint64_t instance_id, Road record,
                                  KnowledgeGraphHandle* handle);
VARNEL_API uint64_t add_roadsign_node(uint64_t timestamp, uint64_t instance_id,
                                      VarnelIgnored ignored, KnowledgeGraphHandle* handle);
VARNEL_API uint64_t add_speedlimitsign_node(uint64_t timestamp, uint64_t instance_id,
                                            SpeedLimitSign record, KnowledgeGraphHandle* handle);
VARNEL_API uint64_t add_staticobject_node(uint64_t timestamp, uint64_t instance_id,
                                          VarnelIgnored ignored, KnowledgeGraphHandle* handle);
VARNEL_API uint64_t add_stopsign_node(uint64_t timestamp, uint64_t instance_id,
                                      VarnelIgnored ignored, KnowledgeGraphHandle* handle);
VARNEL_API uint64_t add_testclass1_node(uint64_t timestamp, uint64_t instance_id,
                                        TestClass1 record, KnowledgeGraphHandle* handle);
VARNEL_API uint64_t add_testclass2_node(uint64_t timestamp, uint64_t instance_id,
                                        TestClass2 record, KnowledgeGraphHandle* handle);
VARNEL_API uint64_t add_yieldsign_node(uint64_t timestamp, uint64_t instance_id,
                                       VarnelIgnored ignored, KnowledgeGraphHandle* handle);

/* ---- Node updates ---------------------------------------------------------
 * update_<kind>_node(timestamp, instance id, record, handle): the arguments
 * and result of add_<kind>_node, for a node that already has a version. Stores
 * a new version of node (kind, instance id) with `record` as its payload and
 * both relation lists of its latest version, marked valid (also when that
 * version was a removal). A node without any version is refused
 * (VARNEL_WRITE_NOT_FOUND): add_<kind>_node makes the first one.
 *
 * A moving object is written with updates: add_<kind>_node empties the lists,
 * so its relations would have to be added again, two node versions each.
 * Writing call. */
VARNEL_API uint64_t update_car_node(uint64_t timestamp, uint64_t instance_id, Car record,
                                    KnowledgeGraphHandle* handle);
VARNEL_API uint64_t update_crosswalk_node(uint64_t timestamp, uint64_t instance_id,
                                          Crosswalk record, KnowledgeGraphHandle* handle);
VARNEL_API uint64_t update_dynamicobject_node(uint64_t timestamp, uint64_t instance_id,
                                              VarnelIgnored ignored, KnowledgeGraphHandle* handle);
VARNEL_API uint64_t update_ego_node(uint64_t timestamp, uint64_t instance_id, VarnelIgnored ignored,
                                    KnowledgeGraphHandle* handle);
VARNEL_API uint64_t update_intersection_node(uint64_t timestamp, uint64_t instance_id,
                                             Intersection record, KnowledgeGraphHandle* handle);
VARNEL_API uint64_t update_lane_node(uint64_t timestamp, uint64_t instance_id, Lane record,
                                     KnowledgeGraphHandle* handle);
VARNEL_API uint64_t update_noentrysign_node(uint64_t timestamp, uint64_t instance_id,
                                            VarnelIgnored ignored, KnowledgeGraphHandle* handle);
VARNEL_API uint64_t update_pedestrian_node(uint64_t timestamp, uint64_t instance_id,
                                           Pedestrian record, KnowledgeGraphHandle* handle);
VARNEL_API uint64_t update_priorityroadsign_node(uint64_t timestamp, uint64_t instance_id,
                                                 VarnelIgnored ignored,
                                                 KnowledgeGraphHandle* handle);
VARNEL_API uint64_t update_road_node(uint64_t timestamp, uint64_t instance_id, Road record,
                                     KnowledgeGraphHandle* handle);
VARNEL_API uint64_t update_roadsign_node(uint64_t timestamp, uint64_t instance_id,
                                         VarnelIgnored ignored, KnowledgeGraphHandle* handle);
VARNEL_API uint64_t update_speedlimitsign_node(uint64_t timestamp, uint64_t instance_id,
                                               SpeedLimitSign record, KnowledgeGraphHandle* handle);
VARNEL_API uint64_t update_staticobject_node(uint64_t timestamp, uint64_t instance_id,
                                             VarnelIgnored ignored, KnowledgeGraphHandle* handle);
VARNEL_API uint64_t update_stopsign_node(uint64_t timestamp, uint64_t instance_id,
                                         VarnelIgnored ignored, KnowledgeGraphHandle* handle);
VARNEL_API uint64_t update_testclass1_node(uint64_t timestamp, uint64_t instance_id,
                                           TestClass1 record, KnowledgeGraphHandle* handle);
VARNEL_API uint64_t update_testclass2_node(uint64_t timestamp, uint64_t instance_id,
                                           TestClass2 record, KnowledgeGraphHandle* handle);
VARNEL_API uint64_t update_yieldsign_node(uint64_t timestamp, uint64_t instance_id,
                                          VarnelIgnored ignored, KnowledgeGraphHandle* handle);

/* ---- Node removals ----------------------------------------------------------
 * remove_<kind>_node(timestamp, node kind, instance id, handle): all 17 names
 * are one function; the kind comes from `node_kind`, not from the name.
 * Stores a Removed version of node (node_kind, instance_id), then removes every
 * relation that its latest version lists (each removal published on its own).
 * Returns 1 when a version of the node was found, else 0 and nothing is
 * written. Writing call. */
VARNEL_API uint8_t remove_car_node(uint64_t timestamp, uint64_t node_kind, uint64_t instance_id,
                                   KnowledgeGraphHandle* handle);
VARNEL_API uint8_t remove_crosswalk_node(uint64_t timestamp, uint64_t node_kind,
                                         uint64_t instance_id, KnowledgeGraphHandle* handle);
VARNEL_API uint8_t remove_dynamicobject_node(uint64_t timestamp, uint64_t node_kind,
                                             uint64_t instance_id, KnowledgeGraphHandle* handle);
VARNEL_API uint8_t remove_ego_node(uint64_t timestamp, uint64_t node_kind, uint64_t instance_id,
                                   KnowledgeGraphHandle* handle);
VARNEL_API uint8_t remove_intersection_node(uint64_t timestamp, uint64_t node_kind,
                                            uint64_t instance_id, KnowledgeGraphHandle* handle);
VARNEL_API uint8_t remove_lane_node(uint64_t timestamp, uint64_t node_kind, uint64_t instance_id,
                                    KnowledgeGraphHandle* handle);
VARNEL_API uint8_t remove_noentrysign_node(uint64_t timestamp, uint64_t node_kind,
                                           uint64_t instance_id, KnowledgeGraphHandle* handle);
VARNEL_API uint8_t remove_pedestrian_node(uint64_t timestamp, uint64_t node_kind,
                                          uint64_t instance_id, KnowledgeGraphHandle* handle);
VARNEL_API uint8_t remove_priorityroadsign_node(uint64_t timestamp, uint64_t node_kind,
                                                uint64_t instance_id,
                                                KnowledgeGraphHandle* handle);
VARNEL_API uint8_t remove_road_node(uint64_t timestamp, uint64_t node_kind, uint64_t instance_id,
                                    KnowledgeGraphHandle* handle);
VARNEL_API uint8_t remove_roadsign_node(uint64_t timestamp, uint64_t node_kind,
                                        uint64_t instance_id, KnowledgeGraphHandle* handle);
VARNEL_API uint8_t remove_speedlimitsign_node(uint64_t timestamp, uint64_t node_kind,
                                              uint64_t instance_id, KnowledgeGraphHandle* handle);
VARNEL_API uint8_t remove_staticobject_node(uint64_t timestamp, uint64_t node_kind,
                                            uint64_t instance_id, KnowledgeGraphHandle* handle);
VARNEL_API uint8_t remove_stopsign_node(uint64_t timestamp, uint64_t node_kind,
                                        uint64_t instance_id, KnowledgeGraphHandle* handle);
VARNEL_API uint8_t remove_testclass1_node(uint64_t timestamp, uint64_t node_kind,
                                          uint64_t instance_id, KnowledgeGraphHandle* handle);
VARNEL_API uint8_t remove_testclass2_node(uint64_t timestamp, uint64_t node_kind,
                                          uint64_t instance_id, KnowledgeGraphHandle* handle);
VARNEL_API uint8_t remove_yieldsign_node(uint64_t timestamp, uint64_t node_kind,
                                         uint64_t instance_id, KnowledgeGraphHandle* handle);

/* ---- Relation adds ---------------------------------------------------------
 * add_<kind>_relation(timestamp, instance id, record, from kind, from id,
 * to kind, to id, handle): stores a new version of relation (kind, instance
 * id) from node (from_kind, from_id) to node (to_kind, to_id) and enters it in
 * the `from` node's outgoing and the `to` node's incoming list (each gains a
 * new version). Returns the kind number, also when nothing was stored: a
 * relation whose `from` or `to` node has no version is refused
 * (VARNEL_WRITE_NODE_MISSING). Writing call. */
VARNEL_API uint64_t add_belongsto_relation(uint64_t timestamp, uint64_t instance_id,
                                  VarnelIgnored ignored, uint64_t from_kind, uint64_t from_id,
                                  uint64_t to_kind, uint64_t to_id,
                                  KnowledgeGraphHandle* handle);
VARNEL_API uint64_t add_connectsto_relation(uint64_t timestamp, uint64_t instance_id,
                                  VarnelIgnored ignored, uint64_t from_kind, uint64_t from_id,
                                  uint64_t to_kind, uint64_t to_id,
                                  KnowledgeGraphHandle* handle);
VARNEL_API uint64_t add_contains_relation(uint64_t timestamp, uint64_t instance_id,
                                  VarnelIgnored ignored, uint64_t from_kind, uint64_t from_id,
                                  uint64_t to_kind, uint64_t to_id,
                                  KnowledgeGraphHandle* handle);
VARNEL_API uint64_t add_has_relation(uint64_t timestamp, uint64_t instance_id,
                                  VarnelIgnored ignored, uint64_t from_kind, uint64_t from_id,
                                  uint64_t to_kind, uint64_t to_id,
                                  KnowledgeGraphHandle* handle);
VARNEL_API uint64_t add_isat_relation(uint64_t timestamp, uint64_t instance_id,
                                  VarnelIgnored ignored, uint64_t from_kind, uint64_t from_id,
                                  uint64_t to_kind, uint64_t to_id,
                                  KnowledgeGraphHandle* handle);
VARNEL_API uint64_t add_isbehind_relation(uint64_t timestamp, uint64_t instance_id,
                                  VarnelIgnored ignored, uint64_t from_kind, uint64_t from_id,
                                  uint64_t to_kind, uint64_t to_id,
                                  KnowledgeGraphHandle* handle);
VARNEL_API uint64_t add_isin_relation(uint64_t timestamp, uint64_t instance_id,
                                  VarnelIgnored ignored, uint64_t from_kind, uint64_t from_id,
                                  uint64_t to_kind, uint64_t to_id,
                                  KnowledgeGraphHandle* handle);
VARNEL_API uint64_t add_isinfront_relation(uint64_t timestamp, uint64_t instance_id,
                                  VarnelIgnored ignored, uint64_t from_kind, uint64_t from_id,
                                  uint64_t to_kind, uint64_t to_id,
                                  KnowledgeGraphHandle* handle);
VARNEL_API uint64_t add_ison_relation(uint64_t timestamp, uint64_t instance_id,
                                  VarnelIgnored ignored, uint64_t from_kind, uint64_t from_id,
                                  uint64_t to_kind, uint64_t to_id,
                                  KnowledgeGraphHandle* handle);
VARNEL_API uint64_t add_isonleft_relation(uint64_t timestamp, uint64_t instance_id,
                                  VarnelIgnored ignored, uint64_t from_kind, uint64_t from_id,
                                  uint64_t to_kind, uint64_t to_id,
                                  KnowledgeGraphHandle* handle);
VARNEL_API uint64_t add_isonright_relation(uint64_t timestamp, uint64_t instance_id,
                                  VarnelIgnored ignored, uint64_t from_kind, uint64_t from_id,
                                  uint64_t to_kind, uint64_t to_id,
                                  KnowledgeGraphHandle* handle);
VARNEL_API uint64_t add_ispartof_relation(uint64_t timestamp, uint64_t instance_id,
                                  VarnelIgnored ignored, uint64_t from_kind, uint64_t from_id,
                                  uint64_t to_kind, uint64_t to_id,
                                  KnowledgeGraphHandle* handle);
VARNEL_API uint64_t add_passesover_relation(uint64_t timestamp, uint64_t instance_id,
                                  VarnelIgnored ignored, uint64_t from_kind, uint64_t from_id,
                                  uint64_t to_kind, uint64_t to_id,
                                  KnowledgeGraphHandle* handle);
VARNEL_API uint64_t add_testrelation_relation(uint64_t timestamp, uint64_t instance_id,
                                  testRelation record, uint64_t from_kind, uint64_t from_id,
                                  uint64_t to_kind, uint64_t to_id,
                                  KnowledgeGraphHandle* handle);
VARNEL_API uint64_t add_walkson_relation(uint64_t timestamp, uint64_t instance_id,
                                  VarnelIgnored ignored, uint64_t from_kind, uint64_t from_id,
                                  uint64_t to_kind, uint64_t to_id,
                                  KnowledgeGraphHandle* handle);
VARNEL_API uint64_t add_yieldstocarin_relation(uint64_t timestamp, uint64_t instance_id,
                                  yieldsToCarIn record, uint64_t from_kind, uint64_t from_id,
                                  uint64_t to_kind, uint64_t to_id,
                                  KnowledgeGraphHandle* handle);

/* ---- Relation removals -----------------------------------------------------
 * remove_<kind>_relation(timestamp, relation kind, instance id, handle): all 16
 * names are one function; the kind comes from `relation_kind`. Stores a
 * Removed version of relation (relation_kind, instance_id) and clears it from
 * its `from` node's outgoing and its `to` node's incoming list. Returns 1 when
 * a version of the relation was found, else 0 and nothing is written.
 * Writing call. */
VARNEL_API uint8_t remove_belongsto_relation(uint64_t timestamp, uint64_t relation_kind,
                                  uint64_t instance_id, KnowledgeGraphHandle* handle);
VARNEL_API uint8_t remove_connectsto_relation(uint64_t timestamp, uint64_t relation_kind,
                                  uint64_t instance_id, KnowledgeGraphHandle* handle);
VARNEL_API uint8_t remove_contains_relation(uint64_t timestamp, uint64_t relation_kind,
                                  uint64_t instance_id, KnowledgeGraphHandle* handle);
VARNEL_API uint8_t remove_has_relation(uint64_t timestamp, uint64_t relation_kind,
                                  uint64_t instance_id, KnowledgeGraphHandle* handle);
VARNEL_API uint8_t remove_isat_relation(uint64_t timestamp, uint64_t relation_kind,
                                  uint64_t instance_id, KnowledgeGraphHandle* handle);
VARNEL_API uint8_t remove_isbehind_relation(uint64_t timestamp, uint64_t relation_kind,
                                  uint64_t instance_id, KnowledgeGraphHandle* handle);
VARNEL_API uint8_t remove_isin_relation(uint64_t timestamp, uint64_t relation_kind,
                                  uint64_t instance_id, KnowledgeGraphHandle* handle);
VARNEL_API uint8_t remove_isinfront_relation(uint64_t timestamp, uint64_t relation_kind,
                                  uint64_t instance_id, KnowledgeGraphHandle* handle);
VARNEL_API uint8_t remove_ison_relation(uint64_t timestamp, uint64_t relation_kind,
                                  uint64_t instance_id, KnowledgeGraphHandle* handle);
VARNEL_API uint8_t remove_isonleft_relation(uint64_t timestamp, uint64_t relation_kind,
                                  uint64_t instance_id, KnowledgeGraphHandle* handle);
VARNEL_API uint8_t remove_isonright_relation(uint64_t timestamp, uint64_t relation_kind,
                                  uint64_t instance_id, KnowledgeGraphHandle* handle);
VARNEL_API uint8_t remove_ispartof_relation(uint64_t timestamp, uint64_t relation_kind,
                                  uint64_t instance_id, KnowledgeGraphHandle* handle);
VARNEL_API uint8_t remove_passesover_relation(uint64_t timestamp, uint64_t relation_kind,
                                  uint64_t instance_id, KnowledgeGraphHandle* handle);
VARNEL_API uint8_t remove_testrelation_relation(uint64_t timestamp, uint64_t relation_kind,
                                  uint64_t instance_id, KnowledgeGraphHandle* handle);
VARNEL_API uint8_t remove_walkson_relation(uint64_t timestamp, uint64_t relation_kind,
                                  uint64_t instance_id, KnowledgeGraphHandle* handle);
VARNEL_API uint8_t remove_yieldstocarin_relation(uint64_t timestamp, uint64_t relation_kind,
                                  uint64_t instance_id, KnowledgeGraphHandle* handle);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* VARNEL_INTERFACE_H */
