// The text view of a notebook diff: blocks of plain lines in reading order, coloured with ANSI
// escapes when asked. Everything shown from the documents passes through display(), so that a
// notebook cannot send control sequences to the terminal.
#include <string>
#include <string_view>
#include <vector>

#include "views/changes.h"
#include "views/line_diff.h"
#include "views/views.h"

namespace qor::diff {
namespace {

using detail::Change;
using detail::Changes;
using detail::Component;

constexpr const char* kReset = "\x1b[0m";
constexpr const char* kBold = "\x1b[1m";
constexpr const char* kRed = "\x1b[31m";
constexpr const char* kGreen = "\x1b[32m";
constexpr const char* kYellow = "\x1b[33m";
constexpr const char* kMagenta = "\x1b[35m";
constexpr const char* kCyan = "\x1b[36m";

class Writer {
 public:
  explicit Writer(bool color) : color_(color) {}

  // Appends `text` in `style` (an ANSI sequence, or null for none).
  Writer& put(std::string_view text, const char* style = nullptr) {
    if (color_ && style) out_ += style;
    out_ += text;
    if (color_ && style) out_ += kReset;
    return *this;
  }
  Writer& line() {
    out_ += '\n';
    return *this;
  }
  std::string take() { return std::move(out_); }

 private:
  bool color_;
  std::string out_;
};

const char* change_style(Change c) {
  switch (c) {
    case Change::kAdded:
      return kGreen;
    case Change::kRemoved:
      return kRed;
    case Change::kModified:
      return kYellow;
    default:
      return kCyan;
  }
}

// The unified diff of two line lists, each line indented by two blanks.
void source_diff(Writer& w, const std::vector<std::string>& before,
                 const std::vector<std::string>& after) {
  const std::vector<std::string_view> a(before.begin(), before.end());
  const std::vector<std::string_view> b(after.begin(), after.end());
  const auto edits = detail::diff_text_lines(a, b);
  const auto hunks = detail::unified_hunks(edits);
  for (const detail::Hunk& h : hunks) {
    w.put("  ").put(detail::hunk_header(h), kCyan).line();
    for (std::size_t k = h.first; k < h.last; ++k) {
      const detail::LineEdit& e = edits[k];
      const bool old_side = e.op != detail::LineOp::kInsert;
      const std::string_view text = old_side ? a[e.old_index] : b[e.new_index];
      const char* style = e.op == detail::LineOp::kDelete   ? kRed
                          : e.op == detail::LineOp::kInsert ? kGreen
                                                            : nullptr;
      const char* mark = e.op == detail::LineOp::kDelete   ? "-"
                         : e.op == detail::LineOp::kInsert ? "+"
                                                           : " ";
      w.put("  ").put(detail::cat(mark, detail::display(detail::diff_line_text(text))), style);
      w.line();
      if (detail::needs_no_newline_mark(a, b, e)) {
        w.put("  \\ No newline at end of file").line();
      }
    }
  }
}

// Keys whose values changed, with both values: "  headerColor: \"#ff0000\" -> \"#00ff00\"", "  +
// metadata.tags: [\"x\"]" for a key added, "  - ..." for one removed. Values too long for one
// line are shown in their indented form, as a line diff.
void key_changes(Writer& w, const std::vector<detail::KeyChange>& changes) {
  constexpr std::size_t kOneLine = 100;
  for (const detail::KeyChange& k : changes) {
    const std::string before = k.before ? detail::display_json(*k.before) : std::string();
    const std::string after = k.after ? detail::display_json(*k.after) : std::string();
    if (before.size() > kOneLine || after.size() > kOneLine) {
      w.put("  " + k.key + ":").line();
      source_diff(w, k.before ? detail::display_json_lines(*k.before) : std::vector<std::string>(),
                  k.after ? detail::display_json_lines(*k.after) : std::vector<std::string>());
    } else if (!k.before) {
      w.put("  ").put("+ " + k.key + ": " + after, kGreen).line();
    } else if (!k.after) {
      w.put("  ").put("- " + k.key + ": " + before, kRed).line();
    } else {
      w.put("  " + k.key + ": ").put(before, kRed).put(" -> ").put(after, kGreen).line();
    }
  }
}

std::string join_links(const std::vector<detail::ParentLink>& links, const char* mark) {
  std::string out;
  for (const auto& l : links) {
    if (!out.empty()) out += ", ";
    out += mark;
    out += l.label;
  }
  return out;
}

std::string output_list(const std::vector<detail::OutputInfo>& outputs, bool sizes) {
  std::string out;
  for (const auto& o : outputs) {
    if (!out.empty()) out += ", ";
    out += o.kind;
    if (sizes) out += detail::cat(" ", detail::format_size(o.size));
  }
  return out;
}

void outputs_line(Writer& w, const Component& c) {
  if (c.change == Change::kAdded || c.change == Change::kRemoved) {
    const auto& outputs = c.change == Change::kAdded ? c.outputs : c.prev_outputs;
    if (outputs.empty()) return;
    w.put("  outputs: " + std::to_string(outputs.size()) + " (" + output_list(outputs, true) + ")");
    w.line();
    return;
  }
  if (!c.outputs_changed) {
    if (c.outputs.empty()) return;
    w.put("  outputs: " + std::to_string(c.outputs.size()) + " unchanged (" +
          output_list(c.outputs, false) + ")")
        .line();
    return;
  }
  std::string text = "  outputs: " + std::to_string(c.prev_outputs.size()) + " -> " +
                     std::to_string(c.outputs.size());
  for (std::size_t i = 0; i < c.output_same.size(); ++i) {
    if (c.output_same[i]) continue;
    const auto& a = c.prev_outputs[i];
    const auto& b = c.outputs[i];
    text += detail::cat("; changed #", std::to_string(i + 1), " ", b.kind);
    if (a.kind != b.kind) text += detail::cat(" (was ", a.kind, ")");
    text += detail::cat(" ", detail::format_size(a.size), " -> ", detail::format_size(b.size));
  }
  for (std::size_t i = c.output_same.size(); i < c.outputs.size(); ++i) {
    text += detail::cat("; added #", std::to_string(i + 1), " ", c.outputs[i].kind, " ",
                        detail::format_size(c.outputs[i].size));
  }
  for (std::size_t i = c.output_same.size(); i < c.prev_outputs.size(); ++i) {
    text += detail::cat("; removed #", std::to_string(i + 1), " ", c.prev_outputs[i].kind, " ",
                        detail::format_size(c.prev_outputs[i].size));
  }
  w.put(text).line();
}

void component_block(Writer& w, const Component& c) {
  w.put(detail::change_word(c.change), change_style(c.change)).put("  ");
  w.put(c.name.empty() ? "(unnamed)" : c.name, kBold);
  if (c.renamed()) {
    w.put("  (renamed from " + (c.prev_name.empty() ? std::string("(unnamed)") : c.prev_name) +
          ")");
  }
  w.put("  id " + c.short_id);
  if (c.conflict) w.put("  ").put("[conflict]", kMagenta);
  w.line();
  if (c.change == Change::kAdded && !c.gained.empty()) {
    w.put("  parents: " + join_links(c.gained, "")).line();
  } else if (c.change == Change::kRemoved && !c.lost.empty()) {
    w.put("  parents: " + join_links(c.lost, "")).line();
  } else if (!c.gained.empty() || !c.lost.empty()) {
    w.put("  parents:");
    if (!c.gained.empty()) w.put(" ").put(join_links(c.gained, "+"), kGreen);
    if (!c.lost.empty()) w.put(" ").put(join_links(c.lost, "-"), kRed);
    w.line();
  }
  if (c.change == Change::kAdded) {
    source_diff(w, {}, c.source);
  } else if (c.change == Change::kRemoved) {
    source_diff(w, c.prev_source, {});
  } else if (c.change == Change::kModified) {
    if (c.prev_source == c.source) {
      w.put("  source: the same text, stored in other line pieces").line();
    } else {
      source_diff(w, c.prev_source, c.source);
    }
  }
  outputs_line(w, c);
  key_changes(w, c.other_changes);
}

void text_cell_block(Writer& w, const detail::TextCell& t) {
  w.put(detail::display(t.cell_type) + " cell ")
      .put(detail::change_word(t.change), change_style(t.change));
  w.put("  " + t.label).line();
  source_diff(w, t.prev_source, t.source);
  key_changes(w, t.other_changes);
}

void parameter_block(Writer& w, const Changes& changes) {
  w.put("parameters", kBold).line();
  for (const auto& p : changes.parameters) {
    if (p.change == Change::kAdded) {
      w.put("  ").put("+ " + p.name + ": " + p.new_value + " (" + p.new_type + ")", kGreen).line();
    } else if (p.change == Change::kRemoved) {
      w.put("  ").put("- " + p.name + ": " + p.old_value + " (" + p.old_type + ")", kRed).line();
    } else {
      if (p.value_changed || p.type_changed) {
        w.put("  " + p.name + ": ");
        if (p.value_changed) w.put(p.old_value, kRed).put(" -> ").put(p.new_value, kGreen);
        if (p.value_changed && p.type_changed) w.put(", ");
        if (p.type_changed) {
          w.put("type ").put(p.old_type, kRed).put(" -> ").put(p.new_type, kGreen);
        }
        w.line();
      }
      key_changes(w, p.other_changes);
    }
  }
  if (!changes.parameter_order.empty()) {
    w.put("  order: " + detail::join(changes.parameter_order) + " (was " +
          detail::join(changes.prev_parameter_order) + ")")
        .line();
  }
}

// The components that changed place, by name (or id).
void moved_line(Writer& w, const Changes& changes) {
  w.put("moved", kBold).put("  " + detail::join(changes.moved_labels())).line();
}

}  // namespace

std::string text_view(json::Value& prev, json::Value& current, const TextViewOptions& options) {
  const Changes changes =
      detail::collect_changes(prev, current, options.prev_name, options.current_name);
  Writer w(options.color);
  if (!changes.repeated_ids.empty()) {
    w.put("repeated component ids (only the last cell of each is compared)", kBold).line();
    for (const std::string& r : changes.repeated_ids) w.put("  " + r, kMagenta).line();
    w.line();
  }
  for (const detail::Entry& e : changes.order) {
    if (e.component) {
      component_block(w, changes.components[e.index]);
    } else {
      text_cell_block(w, changes.text_cells[e.index]);
    }
    w.line();
  }
  if (!changes.moved.empty()) {
    moved_line(w, changes);
    w.line();
  }
  if (!changes.notebook_changes.empty()) {
    w.put("notebook", kBold).line();
    key_changes(w, changes.notebook_changes);
    w.line();
  }
  if (!changes.parameters.empty() || !changes.parameter_order.empty()) {
    parameter_block(w, changes);
    w.line();
  }
  w.put(changes.summary(), kBold).line();
  return w.take();
}

std::string text_lines_view(std::string_view before, std::string_view after, std::string_view why,
                            const TextViewOptions& options) {
  Writer w(options.color);
  w.put(detail::cat("(not a pipeline notebook, shown as text line by line: ", detail::display(why),
                    ")"),
        kBold)
      .line();
  if (before == after) {
    // The files may still differ where the text does not look (layout, line ends).
    w.put("no changes in its text lines", kBold).line();
    return w.take();
  }
  source_diff(w, detail::owned_lines(before), detail::owned_lines(after));
  return w.take();
}

}  // namespace qor::diff
