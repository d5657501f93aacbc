// The pipeline graph as a reader needs it: what changed with its parents and children, and the
// unchanged rest folded into nodes that each stand for a group of components (private to the
// diff views).
#ifndef QOR_VIEWS_GRAPH_FOLD_H_
#define QOR_VIEWS_GRAPH_FOLD_H_

#include <cstddef>
#include <vector>

#include "views/graph_layout.h"

namespace qor::diff::detail {

// A graph with folded nodes. Its nodes are numbered kept nodes first, in the order of `kept`,
// then the folds, in the order of `folds`.
struct FoldedGraph {
  std::vector<std::size_t> kept;                // nodes of the original graph drawn as they are
  std::vector<std::vector<std::size_t>> folds;  // each fold's original nodes, in their order
  std::vector<GraphEdge> edges;                 // over the new numbering, without repeats
};

// Folds the graph of `node_count` nodes and `edges` (parent to child) around the nodes marked in
// `marked`: those and every parent and child of one of them are kept; the others are unchanged
// parts, folded: the parts joined by edges (either way) form a group, and groups that touch the
// same kept nodes the same way (the same parents, the same children) become one fold, so that
// parallel chains, and the components joined to nothing, each fold into one node. An edge between
// kept nodes stays as it is; edges between a kept node and a fold become one edge of their kind
// for each (parent, child, kind). Folds come in the order of their first node; nothing is folded
// when every node is kept.
FoldedGraph fold_graph(std::size_t node_count, const std::vector<GraphEdge>& edges,
                       const std::vector<bool>& marked);

}  // namespace qor::diff::detail

#endif  // QOR_VIEWS_GRAPH_FOLD_H_
