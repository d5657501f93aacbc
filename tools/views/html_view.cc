// The HTML view of a notebook diff: one page with its style and a small script inline. The
// pipeline graph (graph_layout.cc) is embedded as SVG whose nodes link to the details of their
// components, so the page works without scripts; the script only shows those details in a panel
// beside the graph. Every text from the documents is escaped for HTML after display().
#include <string_view>
#include <unordered_map>

#include "views/changes.h"
#include "views/graph_fold.h"
#include "views/graph_layout.h"
#include "views/line_diff.h"
#include "views/views.h"

namespace qor::diff {
namespace {

using detail::Change;
using detail::Changes;
using detail::Component;

constexpr const char* kStyle = R"css(
:root{--fg:#1f2328;--muted:#57606a;--line:#d0d7de;--add:#1a7f37;--add-bg:#dafbe1;--del:#cf222e;
--del-bg:#ffebe9;--mod:#9a6700;--mod-bg:#fff8c5;--chg:#0969da;--chg-bg:#ddf4ff;--conf:#8250df}
*{box-sizing:border-box}
body{margin:0;font:14px/1.45 system-ui,-apple-system,"Segoe UI",Helvetica,Arial,sans-serif;color:var(--fg);background:#fff}
header,main,footer{padding:0 1.5rem}
header{padding-top:1rem;border-bottom:1px solid var(--line)}
h1{font-size:1.4rem;margin:0 0 .25rem}
h2{font-size:1.15rem;margin:1.5rem 0 .5rem;border-bottom:1px solid var(--line);padding-bottom:.25rem}
h3{font-size:1rem;margin:0 0 .4rem;display:flex;flex-wrap:wrap;gap:.5rem;align-items:baseline}
.files{margin:0;color:var(--muted)}
.summary{font-size:1.05rem;font-weight:600;margin:.4rem 0}
.legend{list-style:none;padding:0;margin:.25rem 0 .75rem;display:flex;flex-wrap:wrap;gap:.4rem 1rem;color:var(--muted);font-size:.85rem}
.legend span.sw{display:inline-block;width:1.6em;height:.9em;border:1.5px solid;border-radius:3px;vertical-align:middle;margin-right:.3em}
.legend span.ln{display:inline-block;width:2em;border-top:2px solid;vertical-align:middle;margin-right:.3em}
.badge{display:inline-block;padding:0 .45em;border-radius:1em;font-size:.8rem;font-weight:600;border:1px solid}
.added .badge,.badge.added{color:var(--add);background:var(--add-bg)}
.removed .badge,.badge.removed{color:var(--del);background:var(--del-bg)}
.modified .badge,.badge.modified{color:var(--mod);background:var(--mod-bg)}
.renamed .badge,.changed .badge,.badge.renamed,.badge.changed{color:var(--chg);background:var(--chg-bg)}
.conflict-flag{color:#fff;background:var(--conf);border-radius:1em;padding:0 .45em;font-size:.8rem;font-weight:600}
.graph-wrap{display:flex;gap:1rem;align-items:flex-start}
.graph{flex:1 1 auto;min-width:0;overflow:auto;max-height:75vh;border:1px solid var(--line);border-radius:6px;padding:.5rem;background:#fcfcfd}
#panel{flex:0 0 28rem;max-width:45%;max-height:75vh;overflow:auto;border:1px solid var(--line);border-radius:6px;padding:.75rem;background:#fff;box-shadow:0 3px 12px rgba(0,0,0,.08)}
#panel[hidden]{display:none}
#panel .close{float:right;border:1px solid var(--line);background:#f6f8fa;border-radius:4px;cursor:pointer}
g.node.selected path,g.node.selected polygon{stroke:#0969da;stroke-width:4}
g.node a{cursor:pointer}
.hint{color:var(--muted);font-size:.85rem;margin:.3rem 0 0}
article{border:1px solid var(--line);border-radius:6px;padding:.6rem .8rem;margin:.75rem 0;background:#fff}
article:target,li:target{outline:3px solid var(--chg)}
article.added{border-left:5px solid var(--add)}
article.removed{border-left:5px solid var(--del)}
article.modified{border-left:5px solid var(--mod)}
article.renamed,article.changed{border-left:5px solid var(--chg)}
article.conflict{box-shadow:inset 0 0 0 2px var(--conf)}
.id{color:var(--muted);font-size:.85rem}
.meta{margin:.2rem 0;color:var(--fg)}
.meta b{color:var(--muted);font-weight:600}
.gained{color:var(--add)}
.lost{color:var(--del);text-decoration:line-through}
table.diff{border-collapse:collapse;width:100%;font:12px/1.4 ui-monospace,"DejaVu Sans Mono",Menlo,Consolas,monospace;margin:.4rem 0}
table.diff td{padding:0 .5em;vertical-align:top}
table.diff td.ln{color:var(--muted);text-align:right;width:1%;white-space:nowrap;user-select:none}
table.diff td.code{white-space:pre-wrap;word-break:break-all}
table.diff tr.del td.code{background:var(--del-bg)}
table.diff tr.add td.code{background:var(--add-bg)}
table.diff tr.hunk td{color:var(--chg);background:#f6f8fa}
table.params,table.keys{border-collapse:collapse;min-width:50%}
table.params th,table.params td,table.keys th,table.keys td{border:1px solid var(--line);padding:.25rem .6rem;text-align:left;vertical-align:top}
table.params th,table.keys th{background:#f6f8fa}
table.keys code{white-space:pre-wrap;word-break:break-all}
table.params td.value{font-family:ui-monospace,"DejaVu Sans Mono",Menlo,Consolas,monospace;font-size:12px;white-space:pre-wrap;word-break:break-all}
tr.param.added td.new,tr.param.modified td.new.changed{background:var(--add-bg)}
tr.param.removed td.old,tr.param.modified td.old.changed{background:var(--del-bg)}
ul.unchanged{columns:18rem;padding-left:1.2rem}
footer{color:var(--muted);font-size:.8rem;padding-top:1rem;padding-bottom:1rem}
@media print{
 .graph{overflow:visible;max-height:none;border:none}
 .graph svg{max-width:100%;height:auto}
 #panel,.hint{display:none}
 article{break-inside:avoid}
 a{color:inherit;text-decoration:none}
}
)css";

constexpr const char* kScript = R"js(
(function(){
  var panel=document.getElementById('panel');
  if(!panel)return;
  var selected=null;
  function show(id,node){
    var source=document.getElementById(id);
    if(!source)return false;
    var copy=source.cloneNode(true);
    copy.removeAttribute('id');
    var holder=document.createElement('div');
    holder.appendChild(copy);
    var close=document.createElement('button');
    close.className='close';close.type='button';close.textContent='close';
    close.addEventListener('click',function(){panel.hidden=true;if(selected)selected.classList.remove('selected');selected=null;});
    panel.replaceChildren(close,holder);
    panel.hidden=false;
    if(selected)selected.classList.remove('selected');
    selected=node;if(node)node.classList.add('selected');
    return true;
  }
  document.querySelectorAll('.graph svg g.node a').forEach(function(a){
    a.addEventListener('click',function(ev){
      var href=a.getAttribute('href')||a.getAttributeNS('http://www.w3.org/1999/xlink','href')||'';
      if(href.charAt(0)==='#'&&show(href.slice(1),a.closest('g.node')))ev.preventDefault();
    });
  });
})();
)js";

void escape(std::string_view text, std::string& out) {
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
}

std::string esc(std::string_view text) {
  std::string out;
  escape(text, out);
  return out;
}

// The reader's word for a component, with "renamed" and "conflict" where they apply.
std::string status_words(const Component& c) {
  std::string words = detail::change_word(c.change);
  if (c.renamed() && c.change != Change::kRenamed) words += " \xC2\xB7 renamed";
  if (c.conflict) words += " \xC2\xB7 conflict";
  return words;
}

detail::NodeStyle node_style(Change change) {
  switch (change) {
    case Change::kAdded:
      return detail::NodeStyle::kAdded;
    case Change::kRemoved:
      return detail::NodeStyle::kRemoved;
    case Change::kModified:
      return detail::NodeStyle::kModified;
    case Change::kRenamed:
    case Change::kChanged:
      return detail::NodeStyle::kChanged;
    case Change::kUnchanged:
      break;
  }
  return detail::NodeStyle::kUnchanged;
}

// At most `limit` characters (code points) of `text`, with an ellipsis when cut.
std::string shortened(const std::string& text, std::size_t limit) {
  std::size_t count = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) continue;
    if (count++ == limit) return text.substr(0, i) + "\xE2\x80\xA6";
  }
  return text;
}

std::string display_name(const std::string& name) { return name.empty() ? "(unnamed)" : name; }

void source_table(std::string& out, const std::vector<std::string>& before,
                  const std::vector<std::string>& after) {
  const std::vector<std::string_view> a(before.begin(), before.end());
  const std::vector<std::string_view> b(after.begin(), after.end());
  const auto edits = detail::diff_text_lines(a, b);
  const auto hunks = detail::unified_hunks(edits);
  if (hunks.empty()) return;
  out += "<table class=\"diff\"><tbody>\n";
  for (const detail::Hunk& h : hunks) {
    out += "<tr class=\"hunk\"><td colspan=\"3\">";
    escape(detail::hunk_header(h), out);
    out += "</td></tr>\n";
    for (std::size_t k = h.first; k < h.last; ++k) {
      const detail::LineEdit& e = edits[k];
      const bool del = e.op == detail::LineOp::kDelete, ins = e.op == detail::LineOp::kInsert;
      out += del ? "<tr class=\"del\">" : ins ? "<tr class=\"add\">" : "<tr class=\"ctx\">";
      out += "<td class=\"ln\">";
      if (!ins) out += std::to_string(e.old_index + 1);
      out += "</td><td class=\"ln\">";
      if (!del) out += std::to_string(e.new_index + 1);
      out += "</td><td class=\"code\">";
      out += del ? "-" : ins ? "+" : " ";
      const std::string_view text = ins ? b[e.new_index] : a[e.old_index];
      escape(detail::display(detail::diff_line_text(text)), out);
      out += "</td></tr>\n";
      if (detail::needs_no_newline_mark(a, b, e)) {
        out +=
            "<tr class=\"ctx\"><td class=\"ln\"></td><td class=\"ln\"></td><td class=\"code\">"
            "\\ No newline at end of file</td></tr>\n";
      }
    }
  }
  out += "</tbody></table>\n";
}

std::string links_html(const std::vector<detail::ParentLink>& links, const char* cls,
                       const char* mark) {
  std::string out;
  for (const auto& l : links) {
    if (!out.empty()) out += ", ";
    out += "<span class=\"";
    out += cls;
    out += "\">";
    out += mark;
    escape(l.label, out);
    out += "</span>";
  }
  return out;
}

void outputs_html(std::string& out, const Component& c) {
  auto list = [](const std::vector<detail::OutputInfo>& outputs) {
    std::string s;
    for (const auto& o : outputs) {
      if (!s.empty()) s += ", ";
      s += esc(o.kind) + " " + detail::format_size(o.size);
    }
    return s;
  };
  if (c.change == Change::kAdded || c.change == Change::kRemoved) {
    const auto& outputs = c.change == Change::kAdded ? c.outputs : c.prev_outputs;
    if (outputs.empty()) return;
    out += "<p class=\"meta outputs\"><b>Outputs</b> " + std::to_string(outputs.size()) + ": " +
           list(outputs) + "</p>\n";
    return;
  }
  if (!c.outputs_changed) {
    if (c.outputs.empty()) return;
    out += "<p class=\"meta outputs\"><b>Outputs</b> " + std::to_string(c.outputs.size()) +
           " unchanged: " + list(c.outputs) + "</p>\n";
    return;
  }
  out += "<p class=\"meta outputs\"><b>Outputs</b> " + std::to_string(c.prev_outputs.size()) +
         " \xE2\x86\x92 " + std::to_string(c.outputs.size()) + "</p>\n<ul class=\"outputs\">\n";
  for (std::size_t i = 0; i < c.output_same.size(); ++i) {
    if (c.output_same[i]) continue;
    out += "<li>changed #" + std::to_string(i + 1) + " " + esc(c.outputs[i].kind);
    if (c.outputs[i].kind != c.prev_outputs[i].kind) {
      out += " (was " + esc(c.prev_outputs[i].kind) + ")";
    }
    out += ": " + detail::format_size(c.prev_outputs[i].size) + " \xE2\x86\x92 " +
           detail::format_size(c.outputs[i].size) + "</li>\n";
  }
  for (std::size_t i = c.output_same.size(); i < c.outputs.size(); ++i) {
    out += "<li class=\"gained\">added #" + std::to_string(i + 1) + " " + esc(c.outputs[i].kind) +
           ": " + detail::format_size(c.outputs[i].size) + "</li>\n";
  }
  for (std::size_t i = c.output_same.size(); i < c.prev_outputs.size(); ++i) {
    out += "<li class=\"lost\">removed #" + std::to_string(i + 1) + " " +
           esc(c.prev_outputs[i].kind) + ": " + detail::format_size(c.prev_outputs[i].size) +
           "</li>\n";
  }
  out += "</ul>\n";
}

// The keys whose values changed, with their old and new values (as one line of JSON each).
void key_changes_html(std::string& out, const std::vector<detail::KeyChange>& changes) {
  if (changes.empty()) return;
  out +=
      "<table class=\"keys\"><thead><tr><th>Key</th><th>Old value</th><th>New value</th>"
      "</tr></thead><tbody>\n";
  for (const detail::KeyChange& k : changes) {
    out += "<tr><td><code>" + esc(k.key) + "</code></td><td><code>" +
           (k.before ? esc(detail::display_json(*k.before)) : std::string("(none)")) +
           "</code></td><td><code>" +
           (k.after ? esc(detail::display_json(*k.after)) : std::string("(none)")) +
           "</code></td></tr>\n";
  }
  out += "</tbody></table>\n";
}

void component_article(std::string& out, const Component& c, std::size_t index) {
  const char* word = detail::change_word(c.change);
  out += "<article id=\"c-" + std::to_string(index) + "\" class=\"component " + word +
         (c.conflict ? " conflict" : "") + "\" data-status=\"" + word + "\" data-diff-status=\"" +
         esc(c.status) + "\">\n<h3><span class=\"badge\">" + word +
         "</span> <span class=\"name\">" + esc(display_name(c.name)) + "</span>";
  if (c.renamed()) {
    out += " <span class=\"was\">renamed from " + esc(display_name(c.prev_name)) + "</span>";
  }
  out += " <code class=\"id\">id " + esc(c.short_id) + "</code>";
  if (c.conflict) out += " <span class=\"conflict-flag\">conflict</span>";
  out += "</h3>\n";
  if (c.change == Change::kAdded && !c.gained.empty()) {
    out += "<p class=\"meta\"><b>Parents</b> " + links_html(c.gained, "parent", "") + "</p>\n";
  } else if (c.change == Change::kRemoved && !c.lost.empty()) {
    out += "<p class=\"meta\"><b>Parents</b> " + links_html(c.lost, "parent", "") + "</p>\n";
  } else if (!c.gained.empty() || !c.lost.empty()) {
    out += "<p class=\"meta\"><b>Parents</b> ";
    out += links_html(c.gained, "gained", "+ ");
    if (!c.gained.empty() && !c.lost.empty()) out += ", ";
    out += links_html(c.lost, "lost", "\xE2\x88\x92 ");
    out += "</p>\n";
  }
  if (c.change == Change::kAdded) {
    source_table(out, {}, c.source);
  } else if (c.change == Change::kRemoved) {
    source_table(out, c.prev_source, {});
  } else if (c.change == Change::kModified) {
    if (c.prev_source == c.source) {
      out += "<p class=\"meta\">Source: the same text, stored in other line pieces.</p>\n";
    } else {
      source_table(out, c.prev_source, c.source);
    }
  }
  outputs_html(out, c);
  key_changes_html(out, c.other_changes);
  out += "</article>\n";
}

void text_cell_article(std::string& out, const detail::TextCell& t) {
  const char* word = detail::change_word(t.change);
  out += "<article class=\"textcell " + std::string(word) + "\" data-status=\"" + word +
         "\">\n<h3><span class=\"badge\">" + word + "</span> <span class=\"name\">" +
         esc(detail::display(t.cell_type)) + " cell</span> <code class=\"id\">" + esc(t.label) +
         "</code></h3>\n";
  source_table(out, t.prev_source, t.source);
  key_changes_html(out, t.other_changes);
  out += "</article>\n";
}

void parameter_table(std::string& out, const Changes& changes) {
  if (!changes.notebook_changes.empty()) {
    out += "<section id=\"notebook\">\n<h2>Notebook</h2>\n";
    key_changes_html(out, changes.notebook_changes);
    out += "</section>\n";
  }
  out += "<section id=\"parameters\">\n<h2>Parameters</h2>\n";
  if (!changes.parameter_order.empty()) {
    out += "<p class=\"order\">Reordered: " + esc(detail::join(changes.parameter_order)) +
           " (was " + esc(detail::join(changes.prev_parameter_order)) + ").</p>\n";
  }
  if (changes.parameters.empty()) {
    if (changes.parameter_order.empty()) out += "<p>No parameter changed.</p>\n";
    out += "</section>\n";
    return;
  }
  out +=
      "<table class=\"params\"><thead><tr><th>Parameter</th><th>Change</th><th>Old value</th>"
      "<th>New value</th><th>Type</th></tr></thead><tbody>\n";
  for (const auto& p : changes.parameters) {
    const char* word = detail::change_word(p.change);
    const bool added = p.change == Change::kAdded, removed = p.change == Change::kRemoved;
    std::string type = added ? p.new_type : p.old_type;
    if (!added && !removed && p.type_changed) type = p.old_type + " \xE2\x86\x92 " + p.new_type;
    out += "<tr class=\"param " + std::string(word) + "\" data-status=\"" + word +
           "\"><td class=\"name\">" + esc(p.name) + "</td><td><span class=\"badge " + word + "\">" +
           (p.type_changed && !p.value_changed                          ? "type changed"
            : !added && !removed && !p.type_changed && !p.value_changed ? "keys changed"
                                                                        : word) +
           "</span></td>";
    out += "<td class=\"value old" + std::string(p.value_changed ? " changed" : "") + "\">" +
           (added ? "" : esc(p.old_value)) + "</td>";
    out += "<td class=\"value new" + std::string(p.value_changed ? " changed" : "") + "\">" +
           (removed ? "" : esc(p.new_value)) + "</td>";
    out += "<td class=\"type\">" + esc(type) + "</td></tr>\n";
  }
  out += "</tbody></table>\n";
  std::vector<detail::KeyChange> keys;
  for (const auto& p : changes.parameters) {
    keys.insert(keys.end(), p.other_changes.begin(), p.other_changes.end());
  }
  key_changes_html(out, keys);
  out += "</section>\n";
}

// The nodes of the components, then one for each parent id that names no component, with the
// edges between them.
struct PipelineGraph {
  std::vector<detail::GraphNode> nodes;
  std::vector<detail::GraphEdge> edges;
};

PipelineGraph pipeline_graph(const Changes& changes) {
  PipelineGraph graph;
  std::vector<detail::GraphNode>& nodes = graph.nodes;
  std::unordered_map<std::string, std::size_t> index;
  for (std::size_t i = 0; i < changes.components.size(); ++i) {
    const Component& c = changes.components[i];
    detail::GraphNode n;
    n.label = shortened(display_name(c.name), 36);
    n.sublabel = status_words(c);
    n.tooltip = display_name(c.name) + " (" + status_words(c) + ", id " + c.short_id + ")";
    n.href = "#c-" + std::to_string(i);
    n.svg_id = "n-" + std::to_string(i);
    n.css_class = std::string("status-") + detail::change_word(c.change) +
                  (c.renamed() ? " renamed" : "") + (c.conflict ? " conflict" : "");
    n.style = node_style(c.change);
    n.renamed = c.renamed();
    n.conflict = c.conflict;
    nodes.push_back(std::move(n));
    index.emplace(c.key, i);
  }
  auto node_of = [&](const detail::ParentLink& link) {
    auto [it, inserted] = index.emplace(link.key, nodes.size());
    if (inserted) {
      detail::GraphNode n;
      n.label = shortened(link.label, 36);
      n.sublabel = "unknown parent";
      n.tooltip = link.label + " (no component has this id)";
      n.svg_id = "m-" + std::to_string(nodes.size());
      n.css_class = "missing";
      n.style = detail::NodeStyle::kMissing;
      nodes.push_back(std::move(n));
    }
    return it->second;
  };
  for (std::size_t i = 0; i < changes.components.size(); ++i) {
    const Component& c = changes.components[i];
    for (const auto& p : c.parents) graph.edges.push_back({node_of(p), i, detail::EdgeKind::kKept});
    for (const auto& p : c.gained)
      graph.edges.push_back({node_of(p), i, detail::EdgeKind::kGained});
    for (const auto& p : c.lost) graph.edges.push_back({node_of(p), i, detail::EdgeKind::kLost});
  }
  return graph;
}

// The node that stands for the unchanged components `members` (indices of components).
detail::GraphNode fold_node(const Changes& changes, const std::vector<std::size_t>& members,
                            std::size_t k) {
  detail::GraphNode n;
  const std::size_t count = members.size();
  n.label = count == 1 ? shortened(display_name(changes.components[members[0]].name), 36)
                       : std::to_string(count) + " unchanged components";
  n.sublabel = count == 1 ? "unchanged \xC2\xB7 folded" : "folded";
  constexpr std::size_t kNamed = 5;
  for (std::size_t i = 0; i < count && i < kNamed; ++i) {
    n.tooltip += (i ? ", " : "") + display_name(changes.components[members[i]].name);
  }
  if (count > kNamed) n.tooltip += " and " + std::to_string(count - kNamed) + " more";
  n.tooltip += count == 1 ? " (unchanged)" : " (unchanged, folded)";
  n.href = count == 1 ? "#c-" + std::to_string(members[0]) : "#unchanged";
  n.svg_id = "f-" + std::to_string(k);
  n.css_class = "folded";
  n.style = detail::NodeStyle::kFolded;
  return n;
}

// The changed components with their parents and children, and the unchanged rest folded
// (detail::fold_graph); unknown parents count as changes.
PipelineGraph folded(const Changes& changes, PipelineGraph graph) {
  std::vector<bool> marked(graph.nodes.size(), true);
  for (std::size_t i = 0; i < changes.components.size(); ++i) {
    const Component& c = changes.components[i];
    marked[i] = c.change != Change::kUnchanged || c.conflict;
  }
  const detail::FoldedGraph f = detail::fold_graph(graph.nodes.size(), graph.edges, marked);
  PipelineGraph out;
  out.nodes.reserve(f.kept.size() + f.folds.size());
  for (std::size_t i : f.kept) out.nodes.push_back(std::move(graph.nodes[i]));
  for (std::size_t k = 0; k < f.folds.size(); ++k) {
    out.nodes.push_back(fold_node(changes, f.folds[k], k));
  }
  out.edges = f.edges;
  return out;
}

// The pipeline drawn as SVG (empty when it is too large to lay out): every component with
// `full`, else folded(); `folds` counts the nodes that stand for folded components.
std::string graph_svg(const Changes& changes, bool full, std::size_t& folds) {
  PipelineGraph graph = pipeline_graph(changes);
  if (!full) graph = folded(changes, std::move(graph));
  folds = 0;
  for (const detail::GraphNode& n : graph.nodes) folds += n.style == detail::NodeStyle::kFolded;
  return detail::draw_graph(graph.nodes, graph.edges).value_or(std::string());
}

void legend(std::string& out) {
  out += "<ul class=\"legend\">";
  const char* items[][3] = {
      {"added", "#dafbe1", "#1a7f37"},     {"removed", "#ffebe9", "#cf222e"},
      {"modified", "#fff8c5", "#9a6700"},  {"renamed or changed", "#ddf4ff", "#0969da"},
      {"unchanged", "#f6f8fa", "#8c959f"}, {"conflict", "#ffffff", "#8250df"}};
  for (const auto& item : items) {
    out += "<li><span class=\"sw\" style=\"background:" + std::string(item[1]) +
           ";border-color:" + item[2] + "\"></span>" + item[0] + "</li>";
  }
  out +=
      "<li><span class=\"ln\" style=\"border-color:#1a7f37\"></span>parent gained</li>"
      "<li><span class=\"ln\" style=\"border-color:#cf222e;border-top-style:dashed\"></span>"
      "parent lost</li><li>double border: renamed</li>"
      "<li><span class=\"sw\" style=\"background:#eaeef2;border-color:#8c959f;"
      "border-style:dotted\"></span>unchanged components, folded</li></ul>\n";
}

// The page up to its header's file line: "<title>: prev -> current" as title and heading.
void page_start(std::string& out, std::string_view title, const std::string& prev_label,
                const std::string& current_label) {
  out +=
      "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
      "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n<title>";
  out += esc(title) + ": " + esc(prev_label) + " \xE2\x86\x92 " + esc(current_label);
  out += "</title>\n<style>";
  out += kStyle;
  out += "</style>\n</head>\n<body>\n<header>\n<h1>" + esc(title) + "</h1>\n<p class=\"files\">";
  out += "<span class=\"old\">" + esc(prev_label) + "</span> \xE2\x86\x92 <span class=\"new\">" +
         esc(current_label) + "</span></p>\n";
}

}  // namespace

std::string html_lines_view(std::string_view before, std::string_view after, std::string_view why,
                            const HtmlViewOptions& options) {
  std::string out;
  page_start(out, "Notebook diff", detail::display(options.prev_label),
             detail::display(options.current_label));
  out +=
      "<p class=\"summary\" id=\"summary\">Not a pipeline notebook, shown as text line by "
      "line: " +
      esc(detail::display(why)) + "</p>\n</header>\n<main>\n<section id=\"changes\">\n";
  if (before == after) {
    out += "<p>No changes in its text lines.</p>\n";
  } else {
    source_table(out, detail::owned_lines(before), detail::owned_lines(after));
  }
  out += "</section>\n</main>\n<footer>qordiff</footer>\n</body>\n</html>\n";
  return out;
}

std::string html_view(json::Value& prev, json::Value& current, const HtmlViewOptions& options) {
  const Changes changes =
      detail::collect_changes(prev, current, options.prev_name, options.current_name);
  std::size_t folds = 0;
  const std::string svg = graph_svg(changes, options.full_graph, folds);
  const std::string prev_label = detail::display(options.prev_label);
  const std::string current_label = detail::display(options.current_label);
  const std::string summary = changes.summary();

  std::string out;
  out.reserve(svg.size() + 64 * 1024);
  page_start(out, "Pipeline diff", prev_label, current_label);
  out += "<p class=\"summary\" id=\"summary\">" + esc(summary) + "</p>\n";
  legend(out);
  out += "</header>\n<main>\n<section id=\"graph-section\">\n<h2>Pipeline</h2>\n";
  if (svg.empty()) {
    out += "<p class=\"undrawn\">The pipeline has " + std::to_string(changes.components.size()) +
           " components, too many (or too entangled) to lay out in a few seconds; the changes "
           "are listed below.</p>\n";
  } else {
    out += "<div class=\"graph-wrap\"><div class=\"graph\">\n" + svg +
           "</div><aside id=\"panel\" hidden></aside></div>\n"
           "<p class=\"hint\">Each component links to its details below.";
    if (folds != 0) {
      out +=
          " Shown: the changed components with their parents and children; each dotted grey "
          "node holds unchanged components joined to them alike (qordiff --graph=full draws "
          "every component).";
    }
    out += "</p>\n";
  }
  out += "</section>\n";

  std::size_t shown = 0;
  for (const auto& e : changes.order) shown += e.component ? 1 : 0;
  const std::size_t cells = changes.order.size() - shown;
  out += "<section id=\"changes\">\n<h2>Changed components (" + std::to_string(shown) + ")" +
         (cells == 0 ? std::string() : " and cells (" + std::to_string(cells) + ")") + "</h2>\n";
  if (!changes.repeated_ids.empty()) {
    out +=
        "<p class=\"warning\">Repeated component ids (only the last cell of each is "
        "compared): " +
        esc(detail::join(changes.repeated_ids)) + ".</p>\n";
  }
  if (changes.order.empty() && changes.moved.empty()) {
    out += "<p>No component or cell changed.</p>\n";
  }
  if (!changes.moved.empty()) {
    out += "<p class=\"order\">Moved: " + esc(detail::join(changes.moved_labels())) + ".</p>\n";
  }
  for (const auto& e : changes.order) {
    if (e.component) {
      component_article(out, changes.components[e.index], e.index);
    } else {
      text_cell_article(out, changes.text_cells[e.index]);
    }
  }
  out += "</section>\n";
  parameter_table(out, changes);

  std::string unchanged;
  std::size_t unchanged_count = 0;
  for (std::size_t i = 0; i < changes.components.size(); ++i) {
    const Component& c = changes.components[i];
    if (c.change != Change::kUnchanged) continue;
    ++unchanged_count;
    unchanged += "<li id=\"c-" + std::to_string(i) + "\" class=\"component unchanged\" " +
                 "data-status=\"unchanged\"><span class=\"name\">" + esc(display_name(c.name)) +
                 "</span> <code class=\"id\">id " + esc(c.short_id) + "</code>";
    if (!c.parents.empty()) {
      unchanged += " \xE2\x80\x94 parents: " + links_html(c.parents, "parent", "");
    }
    unchanged += "</li>\n";
  }
  if (unchanged_count) {
    out += "<section id=\"unchanged\">\n<h2>Unchanged components (" +
           std::to_string(unchanged_count) + ")</h2>\n<ul class=\"unchanged\">\n" + unchanged +
           "</ul>\n</section>\n";
  }
  out += "</main>\n<footer>" + esc(summary) + " \xE2\x80\x94 qordiff</footer>\n<script>";
  out += kScript;
  out += "</script>\n</body>\n</html>\n";
  return out;
}

}  // namespace qor::diff
