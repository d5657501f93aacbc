// The pipeline graph drawn by Graphviz: a directed graph built through cgraph, laid out by the
// dot engine (layered, left to right) and rendered by the SVG plugin into memory. Graphviz's
// messages are caught by a handler of ours instead of going to standard error.
#include "views/graph_layout.h"

#include <graphviz/cgraph.h>
#include <graphviz/gvc.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string_view>

#include "qor/errors.h"

namespace qor::diff::detail {
namespace {

// cgraph's interface takes char* for strings it only reads (and copies).
char* s(const char* text) { return const_cast<char*>(text); }
char* s(const std::string& text) { return const_cast<char*>(text.c_str()); }

std::string& messages() {
  static std::string text;
  return text;
}

int collect(char* message) {
  messages() += message;
  return 0;
}

// Graphviz's messages go to `collect` while one of these lives.
class MessageCatcher {
 public:
  MessageCatcher() : previous_(agseterrf(collect)) { messages().clear(); }
  ~MessageCatcher() { agseterrf(previous_); }
  MessageCatcher(const MessageCatcher&) = delete;
  MessageCatcher& operator=(const MessageCatcher&) = delete;

 private:
  agusererrf previous_;
};

struct GraphDeleter {
  void operator()(Agraph_t* g) const { agclose(g); }
};
struct LayoutDeleter {
  GVC_t* gvc;
  void operator()(Agraph_t* g) const { gvFreeLayout(gvc, g); }
};

[[noreturn]] void fail(const char* what) {
  std::string text = messages();
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  for (char& c : text) {
    if (c == '\n') c = ' ';
  }
  throw CommandError(std::string("graph layout failed: ") + what + (text.empty() ? "" : ": ") +
                     text);
}

// The one Graphviz context of the process, made at the first layout and kept to the end, and
// the lock every use of Graphviz takes. Graphviz keeps state between layouts in globals (the
// last font name it looked up points into the context's font table, for one), so layouts may
// neither overlap nor outlive the context they started from: a context freed after each layout
// left the next one reading freed memory.
GVC_t* shared_context() {
  static GVC_t* const gvc = gvContext();
  if (gvc == nullptr) fail("no Graphviz context");
  return gvc;
}

std::mutex& graphviz_lock() {
  static std::mutex lock;
  return lock;
}

// A label in Graphviz's escaped-string form: a backslash stands for itself only when doubled.
std::string escaped(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == '\\') out += '\\';
    out += c;
  }
  return out;
}

struct Look {
  const char* fill;
  const char* border;
  const char* style;
};

Look look(NodeStyle style) {
  switch (style) {
    case NodeStyle::kAdded:
      return {"#dafbe1", "#1a7f37", "rounded,filled"};
    case NodeStyle::kRemoved:
      return {"#ffebe9", "#cf222e", "rounded,filled,dashed"};
    case NodeStyle::kModified:
      return {"#fff8c5", "#9a6700", "rounded,filled"};
    case NodeStyle::kChanged:
      return {"#ddf4ff", "#0969da", "rounded,filled"};
    case NodeStyle::kMissing:
      return {"#ffffff", "#8c959f", "rounded,dashed"};
    case NodeStyle::kFolded:
      return {"#eaeef2", "#8c959f", "rounded,filled,dotted"};
    case NodeStyle::kUnchanged:
      break;
  }
  return {"#f6f8fa", "#8c959f", "rounded,filled"};
}

// Layout sizes up to which dot takes a few seconds at most, and from which it is asked to spend
// less on crossings (dense graphs).
constexpr std::size_t kMaxLayoutSize = 8000;
constexpr std::size_t kCheapLayoutSize = 3000;
constexpr std::size_t kMaxNodes = 4000;

}  // namespace

std::size_t layout_size(std::size_t node_count, const std::vector<GraphEdge>& edges) {
  std::vector<std::vector<std::size_t>> out(node_count);  // edge indices by source
  for (std::size_t e = 0; e < edges.size(); ++e) out.at(edges[e].from).push_back(e);
  // A depth-first search: edges into a node still on the stack close a cycle and are left out;
  // the reversed finishing order of the others is a topological order.
  enum : std::uint8_t { kNew, kOpen, kDone };
  std::vector<std::uint8_t> state(node_count, kNew);
  std::vector<bool> closes(edges.size(), false);
  std::vector<std::size_t> order;
  order.reserve(node_count);
  std::vector<std::pair<std::size_t, std::size_t>> stack;  // node, next edge to follow
  for (std::size_t root = 0; root < node_count; ++root) {
    if (state[root] != kNew) continue;
    state[root] = kOpen;
    stack.emplace_back(root, 0);
    while (!stack.empty()) {
      auto& [node, next] = stack.back();
      if (next == out[node].size()) {
        state[node] = kDone;
        order.push_back(node);
        stack.pop_back();
        continue;
      }
      const std::size_t e = out[node][next++];
      const std::size_t to = edges[e].to;
      if (state[to] == kOpen) {
        closes[e] = true;
      } else if (state[to] == kNew) {
        state[to] = kOpen;
        stack.emplace_back(to, 0);
      }
    }
  }
  std::vector<std::size_t> layer(node_count, 0);
  for (auto it = order.rbegin(); it != order.rend(); ++it) {
    for (std::size_t e : out[*it]) {
      if (!closes[e]) layer[edges[e].to] = std::max(layer[edges[e].to], layer[*it] + 1);
    }
  }
  // Each node then moves up to the layer before its nearest child, as dot's ranking keeps edges
  // short: a parent that no component names sits next to its child, not in the first layer.
  for (std::size_t node : order) {
    std::size_t nearest = SIZE_MAX;
    for (std::size_t e : out[node]) {
      if (!closes[e] && edges[e].to != node) nearest = std::min(nearest, layer[edges[e].to]);
    }
    if (nearest != SIZE_MAX && nearest > layer[node] + 1) layer[node] = nearest - 1;
  }
  std::size_t size = node_count;
  for (std::size_t e = 0; e < edges.size(); ++e) {
    const std::size_t a = layer[edges[e].from], b = layer[edges[e].to];
    size += (a > b ? a - b : b - a);
  }
  return size;
}

namespace {

// The graph's own attributes and the defaults of its nodes and edges; `cheap`: a layout that
// gives up sooner on crossings and ranks the nodes in one pass over the whole graph (newrank:
// a quarter of the time on the folded graph of 2,300 nodes of a 20,000-component pipeline)
// for large or dense graphs.
void set_graph_attributes(Agraph_t* g, bool cheap) {
  agattr(g, AGRAPH, s("rankdir"), s("LR"));
  agattr(g, AGRAPH, s("nodesep"), s("0.25"));
  agattr(g, AGRAPH, s("ranksep"), s("0.45"));
  agattr(g, AGRAPH, s("bgcolor"), s("transparent"));
  agattr(g, AGRAPH, s("id"), s("pipeline"));
  if (cheap) {
    agattr(g, AGRAPH, s("mclimit"), s("0.1"));
    agattr(g, AGRAPH, s("nslimit"), s("1"));
    agattr(g, AGRAPH, s("nslimit1"), s("1"));
    agattr(g, AGRAPH, s("newrank"), s("true"));
  }
  agattr(g, AGNODE, s("shape"), s("box"));
  agattr(g, AGNODE, s("fontname"), s("Helvetica"));
  agattr(g, AGNODE, s("fontsize"), s("11"));
  agattr(g, AGNODE, s("margin"), s("0.12,0.05"));
  agattr(g, AGNODE, s("height"), s("0.4"));
  agattr(g, AGEDGE, s("arrowsize"), s("0.7"));
}

// The attributes each node and edge sets, declared with their defaults.
struct Attributes {
  explicit Attributes(Agraph_t* g)
      : label(agattr(g, AGNODE, s("label"), s(""))),
        tooltip(agattr(g, AGNODE, s("tooltip"), s(""))),
        href(agattr(g, AGNODE, s("href"), s(""))),
        id(agattr(g, AGNODE, s("id"), s(""))),
        cls(agattr(g, AGNODE, s("class"), s(""))),
        style(agattr(g, AGNODE, s("style"), s("rounded,filled"))),
        fill(agattr(g, AGNODE, s("fillcolor"), s("#f6f8fa"))),
        border(agattr(g, AGNODE, s("color"), s("#8c959f"))),
        penwidth(agattr(g, AGNODE, s("penwidth"), s("1"))),
        peripheries(agattr(g, AGNODE, s("peripheries"), s("1"))),
        fontcolor(agattr(g, AGNODE, s("fontcolor"), s("#1f2328"))),
        edge_color(agattr(g, AGEDGE, s("color"), s("#57606a"))),
        edge_style(agattr(g, AGEDGE, s("style"), s("solid"))),
        edge_width(agattr(g, AGEDGE, s("penwidth"), s("1"))),
        edge_class(agattr(g, AGEDGE, s("class"), s(""))) {}

  Agsym_t *label, *tooltip, *href, *id, *cls, *style, *fill, *border, *penwidth, *peripheries,
      *fontcolor;
  Agsym_t *edge_color, *edge_style, *edge_width, *edge_class;
};

std::vector<Agnode_t*> add_nodes(Agraph_t* g, const std::vector<GraphNode>& nodes,
                                 const Attributes& a) {
  std::vector<Agnode_t*> made;
  made.reserve(nodes.size());
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    const GraphNode& n = nodes[i];
    std::string name = std::to_string(i);
    name.insert(name.begin(), 'n');
    Agnode_t* v = agnode(g, s(name), 1);
    const Look l = look(n.style);
    agxset(v, a.label, s(escaped(n.sublabel.empty() ? n.label : n.label + "\n" + n.sublabel)));
    agxset(v, a.tooltip, s(escaped(n.tooltip)));
    if (!n.href.empty()) agxset(v, a.href, s(escaped(n.href)));
    agxset(v, a.id, s(n.svg_id));
    agxset(v, a.cls, s(n.css_class));
    agxset(v, a.style, s(l.style));
    agxset(v, a.fill, s(l.fill));
    agxset(v, a.border, s(n.conflict ? "#8250df" : l.border));
    if (n.conflict) agxset(v, a.penwidth, s("3"));
    if (n.renamed) agxset(v, a.peripheries, s("2"));
    if (n.style == NodeStyle::kMissing) agxset(v, a.fontcolor, s("#57606a"));
    made.push_back(v);
  }
  return made;
}

void add_edges(Agraph_t* g, const std::vector<GraphEdge>& edges, const std::vector<Agnode_t*>& made,
               const Attributes& a) {
  for (const GraphEdge& e : edges) {
    Agedge_t* edge = agedge(g, made.at(e.from), made.at(e.to), nullptr, 1);
    switch (e.kind) {
      case EdgeKind::kGained:
        agxset(edge, a.edge_color, s("#1a7f37"));
        agxset(edge, a.edge_width, s("2.2"));
        agxset(edge, a.edge_class, s("edge-gained"));
        break;
      case EdgeKind::kLost:
        agxset(edge, a.edge_color, s("#cf222e"));
        agxset(edge, a.edge_style, s("dashed"));
        agxset(edge, a.edge_width, s("1.6"));
        agxset(edge, a.edge_class, s("edge-lost"));
        break;
      case EdgeKind::kKept:
        agxset(edge, a.edge_class, s("edge-kept"));
        break;
    }
  }
}

// The graph laid out by dot and rendered in `format` into memory; `read` gets the graph (its
// attributes hold the layout) and the rendered text, and gives the result. The layout is freed
// before the graph, also when `read` throws.
template <class Read>
auto render(GVC_t* gvc, Agraph_t* g, const char* format, Read read) {
  if (gvLayout(gvc, g, "dot") != 0) fail("dot");
  const std::unique_ptr<Agraph_t, LayoutDeleter> layout(g, LayoutDeleter{gvc});
  char* data = nullptr;
  unsigned int length = 0;
  const int rendered = gvRenderData(gvc, g, format, &data, &length);
  if (rendered != 0 || !data) fail(format);
  const std::string text(data, length);
  gvFreeRenderData(data);
  return read(g, text);
}

// Builds the graph of `nodes` and `edges` and renders it (render()); nothing when its layout
// would take too long.
template <class Read>
auto build_and_render(const std::vector<GraphNode>& nodes, const std::vector<GraphEdge>& edges,
                      const char* format, Read read)
    -> std::optional<decltype(read(nullptr, std::string()))> {
  const std::size_t size = layout_size(nodes.size(), edges);
  if (nodes.size() > kMaxNodes || size > kMaxLayoutSize) return std::nullopt;
  const std::lock_guard lock(graphviz_lock());
  MessageCatcher catcher;
  GVC_t* const gvc = shared_context();
  std::unique_ptr<Agraph_t, GraphDeleter> graph(agopen(s("pipeline"), Agdirected, nullptr));
  if (!graph) fail("no graph");
  Agraph_t* g = graph.get();
  set_graph_attributes(g, size > kCheapLayoutSize || edges.size() > 2 * nodes.size());
  const Attributes attributes(g);
  add_edges(g, edges, add_nodes(g, nodes, attributes), attributes);
  return render(gvc, g, format, read);
}

// The numbers of a Graphviz point list ("x,y x,y", or "e,x,y ..." for an edge whose arrow tip
// comes first).
std::vector<double> numbers(const char* text) {
  std::vector<double> out;
  if (text == nullptr) return out;
  const char* p = text;
  while (*p != '\0') {
    if ((*p >= '0' && *p <= '9') || *p == '-' || *p == '.') {
      char* end = nullptr;
      out.push_back(std::strtod(p, &end));
      p = end;
    } else {
      ++p;
    }
  }
  return out;
}

// The layout dot attached to the laid-out graph `g` as attributes: "bb" (llx,lly,urx,ury), node
// "pos" (centre) with "width" and "height" in inches, edge "pos" (B-spline control points, after
// "e,x,y" for the arrow tip). Graphviz's y grows upwards; the layout's grows downwards.
GraphLayout read_layout(Agraph_t* g, const std::vector<GraphNode>& nodes,
                        const std::vector<GraphEdge>& edges) {
  GraphLayout layout;
  const std::vector<double> bb = numbers(agget(g, s("bb")));
  if (bb.size() == 4) {
    layout.width = bb[2];
    layout.height = bb[3];
  }
  const auto point = [&](double x, double y) { return LayoutPoint{x, layout.height - y}; };
  std::vector<Agnode_t*> by_index(nodes.size());
  for (Agnode_t* v = agfstnode(g); v; v = agnxtnode(g, v)) {
    const std::size_t i = std::strtoul(agnameof(v) + 1, nullptr, 10);
    if (i < by_index.size()) by_index[i] = v;
  }
  for (Agnode_t* v : by_index) {
    GraphLayout::Box box;
    if (v) {
      const std::vector<double> pos = numbers(agget(v, s("pos")));
      if (pos.size() == 2) box.centre = point(pos[0], pos[1]);
      box.width = std::strtod(agget(v, s("width")), nullptr) * 72;
      box.height = std::strtod(agget(v, s("height")), nullptr) * 72;
    }
    layout.nodes.push_back(box);
  }
  for (const GraphEdge& e : edges) {
    std::vector<LayoutPoint> points;
    Agedge_t* edge = agedge(g, by_index.at(e.from), by_index.at(e.to), nullptr, 0);
    const char* pos = edge ? agget(edge, s("pos")) : nullptr;
    const std::vector<double> values = numbers(pos);
    const bool tip = pos != nullptr && pos[0] == 'e';
    for (std::size_t i = tip ? 2 : 0; i + 1 < values.size(); i += 2) {
      points.push_back(point(values[i], values[i + 1]));
    }
    if (tip && values.size() >= 2) points.push_back(point(values[0], values[1]));
    layout.edges.push_back(std::move(points));
  }
  return layout;
}

}  // namespace

std::optional<std::string> draw_graph(const std::vector<GraphNode>& nodes,
                                      const std::vector<GraphEdge>& edges) {
  return build_and_render(nodes, edges, "svg", [](Agraph_t*, const std::string& svg) {
    // The element alone, without the XML prolog and doctype.
    const std::size_t start = svg.find("<svg");
    if (start == std::string::npos) fail("svg");
    return svg.substr(start);
  });
}

std::optional<GraphLayout> lay_out_graph(const std::vector<GraphNode>& nodes,
                                         const std::vector<GraphEdge>& edges) {
  return build_and_render(nodes, edges, "dot", [&](Agraph_t* g, const std::string&) {
    return read_layout(g, nodes, edges);
  });
}

}  // namespace qor::diff::detail
