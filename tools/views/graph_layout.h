// The pipeline graph of the HTML view, laid out and drawn as SVG by Graphviz's dot (private to
// the diff views; the one place that uses Graphviz).
#ifndef QOR_VIEWS_GRAPH_LAYOUT_H_
#define QOR_VIEWS_GRAPH_LAYOUT_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qor::diff::detail {

// How a node is drawn; kFolded stands for a group of unchanged components.
enum class NodeStyle : std::uint8_t {
  kUnchanged,
  kAdded,
  kRemoved,
  kModified,
  kChanged,
  kMissing,
  kFolded
};

struct GraphNode {
  std::string label;     // first line: the component's name
  std::string sublabel;  // second line: its status
  std::string tooltip;
  std::string href;       // where a click on the node leads ("#c-3")
  std::string svg_id;     // id of the node's SVG group
  std::string css_class;  // class of the node's SVG group, after "node"
  NodeStyle style = NodeStyle::kUnchanged;
  bool renamed = false;   // drawn with a double border
  bool conflict = false;  // drawn with a thick purple border
};

enum class EdgeKind : std::uint8_t { kKept, kGained, kLost };

// An edge from parent `from` to child `to` (indices into the nodes).
struct GraphEdge {
  std::size_t from, to;
  EdgeKind kind;
};

// Lays the graph out left to right in layers (dot breaks cycles by reversing edges for the
// layout) and returns the drawing as one <svg> element; nothing when the layout would take more
// than a few seconds (dot's time grows with the nodes plus the layers that the edges cross).
// Large or dense graphs are laid out with fewer crossing-reduction passes. Texts are UTF-8
// without control characters. Throws CommandError with Graphviz's message when the layout or
// drawing fails. Not reentrant: Graphviz keeps its error handler in process-wide state.
std::optional<std::string> draw_graph(const std::vector<GraphNode>& nodes,
                                      const std::vector<GraphEdge>& edges);

// A point of a layout, in points (1/72 inch), x to the right and y downwards from the top left.
struct LayoutPoint {
  double x = 0, y = 0;
};

// Where the layout of draw_graph() puts each node and edge, for a page that draws the graph
// itself: node boxes (centre and size) in the order of the nodes given, and each edge as the
// control points of its cubic B-spline (1 + 3k points) followed by its arrow head's tip, in the
// order of the edges given.
struct GraphLayout {
  double width = 0, height = 0;
  struct Box {
    LayoutPoint centre;
    double width = 0, height = 0;
  };
  std::vector<Box> nodes;
  std::vector<std::vector<LayoutPoint>> edges;
};

// The layout draw_graph() draws, as coordinates; nothing when draw_graph() would draw nothing.
// Same errors and the same caveat on reentrancy.
std::optional<GraphLayout> lay_out_graph(const std::vector<GraphNode>& nodes,
                                         const std::vector<GraphEdge>& edges);

// The size of the layered layout of a graph: its nodes plus, for each edge, the number of
// layers from one end to the other when every node sits one layer after its furthest parent, then
// moves up to the layer before its nearest child (cycles broken at the edges that close them). What
// dot's layout time grows with.
std::size_t layout_size(std::size_t node_count, const std::vector<GraphEdge>& edges);

}  // namespace qor::diff::detail

#endif  // QOR_VIEWS_GRAPH_LAYOUT_H_
