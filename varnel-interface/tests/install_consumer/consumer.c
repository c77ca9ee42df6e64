/* Sets the graph up, adds one node, and exits 0 when it is counted. */
#include <stdio.h>

#include <varnel_interface.h>

int main(void) {
  KnowledgeGraphHandle* graph = initialize_knowledge_graph();
  int ok;
  if (graph == NULL) return 2;
  ok = add_ego_node(1, 1, NULL, graph) == VARNEL_NODE_EGO && get_node_count(graph) == 1;
  release_knowledge_graph(graph);
  puts(ok ? "consumer: ok" : "consumer: wrong count");
  return ok ? 0 : 1;
}
