// Folding of the pipeline graph: kept nodes, groups of the others joined by edges (a union-find
// over the edges between folded nodes), groups merged by the kept nodes they touch, and the
// edges renumbered. Linear in the graph, up to the sorting of the groups' neighbours.
#include "views/graph_fold.h"

#include <algorithm>
#include <map>
#include <numeric>
#include <set>
#include <tuple>
#include <utility>

namespace qor::diff::detail {
namespace {

// Groups of nodes joined by edges, with path halving.
class Groups {
 public:
  explicit Groups(std::size_t n) : parent_(n) { std::iota(parent_.begin(), parent_.end(), 0); }
  std::size_t find(std::size_t x) {
    while (parent_[x] != x) x = parent_[x] = parent_[parent_[x]];
    return x;
  }
  void join(std::size_t a, std::size_t b) {
    a = find(a);
    b = find(b);
    if (a != b) parent_[std::max(a, b)] = std::min(a, b);
  }

 private:
  std::vector<std::size_t> parent_;
};

// How a group touches the kept nodes: its kept parents and its kept children, in node order.
using Touch = std::pair<std::vector<std::size_t>, std::vector<std::size_t>>;

}  // namespace

FoldedGraph fold_graph(std::size_t node_count, const std::vector<GraphEdge>& edges,
                       const std::vector<bool>& marked) {
  std::vector<bool> kept(node_count, false);
  for (std::size_t i = 0; i < node_count; ++i) kept[i] = marked.at(i);
  for (const GraphEdge& e : edges) {
    if (marked.at(e.from)) kept.at(e.to) = true;
    if (marked.at(e.to)) kept.at(e.from) = true;
  }
  Groups groups(node_count);
  for (const GraphEdge& e : edges) {
    if (!kept[e.from] && !kept[e.to]) groups.join(e.from, e.to);
  }
  std::vector<std::set<std::size_t>> parents(node_count), children(node_count);
  for (const GraphEdge& e : edges) {
    if (kept[e.from] && !kept[e.to]) parents[groups.find(e.to)].insert(e.from);
    if (!kept[e.from] && kept[e.to]) children[groups.find(e.from)].insert(e.to);
  }
  // New numbers: kept nodes first, then one per fold, in the order of their first node.
  FoldedGraph out;
  std::vector<std::size_t> number(node_count, 0);
  for (std::size_t i = 0; i < node_count; ++i) {
    if (kept[i]) {
      number[i] = out.kept.size();
      out.kept.push_back(i);
    }
  }
  std::map<Touch, std::size_t> fold_of;  // by how the group touches the kept nodes
  std::vector<std::size_t> fold_of_group(node_count, 0);
  for (std::size_t i = 0; i < node_count; ++i) {
    if (kept[i]) continue;
    const std::size_t g = groups.find(i);
    if (g == i) {
      Touch touch{{parents[g].begin(), parents[g].end()}, {children[g].begin(), children[g].end()}};
      const auto [it, added] = fold_of.emplace(std::move(touch), out.folds.size());
      if (added) out.folds.emplace_back();
      fold_of_group[g] = it->second;
    }
    out.folds[fold_of_group[g]].push_back(i);
    number[i] = out.kept.size() + fold_of_group[g];
  }
  std::set<std::tuple<std::size_t, std::size_t, EdgeKind>> seen;
  for (const GraphEdge& e : edges) {
    if (!kept[e.from] && !kept[e.to]) continue;
    const GraphEdge renumbered{number[e.from], number[e.to], e.kind};
    if (kept[e.from] && kept[e.to]) {
      out.edges.push_back(renumbered);
    } else if (seen.emplace(renumbered.from, renumbered.to, renumbered.kind).second) {
      out.edges.push_back(renumbered);
    }
  }
  return out;
}

}  // namespace qor::diff::detail
