// Views of a notebook diff for people: a text view for terminals, a self-contained HTML page
// with the pipeline drawn as a graph, and a stable line-oriented text of one notebook for git's
// textconv (so that git's own diff, log -p, blame and diff --stat work line by line).
//
// The text and HTML views build on the diff document (diff_documents): its statuses, parent
// gains and losses and parameter changes are what they show, together with what the diff
// document leaves out (previous names, outputs, other keys, markdown and raw cells).
#ifndef QOR_VIEWS_VIEWS_H_
#define QOR_VIEWS_VIEWS_H_

#include <functional>
#include <string>
#include <string_view>

#include "qor/json.h"

namespace qor::diff {

// The names of the two documents in error messages (see notebook::version_name).
struct ViewNames {
  std::string prev_name = "prev";
  std::string current_name = "current";
};

struct TextViewOptions : ViewNames {
  bool color = false;  // ANSI colours for a terminal
};

// The change from `prev` to `current` as text: one block per component that is not unchanged
// (those of the current version in its order, then the removed ones), each with its status,
// name, short id, parents gained and lost, source as a unified diff and outputs summarised;
// changed markdown and raw cells; the changed parameters; a closing summary line. Control
// characters and invalid UTF-8 in the documents are shown as escapes. Writes the diff
// document's annotations into the parameter objects of both documents; throws what
// diff_documents throws for malformed documents, naming them by `options`' names.
std::string text_view(json::Value& prev, json::Value& current, const TextViewOptions& options = {});

// The change between two texts (textconv() texts of notebooks that text_view() cannot show: an
// ordinary notebook, a code cell without a component id) for the text view: a line saying so
// with `why` (the error text_view() gave), then their unified diff, lines indented and
// coloured as the source diffs of text_view() are; "no changes in its text lines" when they are
// equal (the files may differ where the text does not look).
std::string text_lines_view(std::string_view before, std::string_view after, std::string_view why,
                            const TextViewOptions& options = {});

struct HtmlViewOptions : ViewNames {
  std::string prev_label;  // the two versions as the page's heading shows them (file paths)
  std::string current_label;
  // Draw every component; otherwise the changed ones with their parents and children, the
  // unchanged rest folded into nodes that say how many components each holds.
  bool full_graph = false;
};

// text_lines_view() as a page: its heading and title "Notebook diff", the line saying why, the
// unified diff as html_view() shows source diffs.
std::string html_lines_view(std::string_view before, std::string_view after, std::string_view why,
                            const HtmlViewOptions& options);

// The change from `prev` to `current` as one self-contained HTML page (no external resources):
// the pipeline drawn as a graph (components coloured by status, edges gained and lost marked,
// conflict-marked components flagged; every node a link to its details; unchanged components
// away from the changes folded unless `options.full_graph`), the source diff,
// outputs and other changes of each changed component, the parameter table and the summary
// line. Readable without scripts; a small inline script shows a node's details beside the
// graph. Same effects and errors as text_view, and CommandError when the graph layout fails.
std::string html_view(json::Value& prev, json::Value& current, const HtmlViewOptions& options);

// One notebook as stable line-oriented text, appended to `out`: the canvas parameters, then
// every cell in order (a component with its name, id, parents and source lines, its outputs as
// one line each with their kind, size and a short content hash; markdown and raw cells with
// their lines). Each source line is one line of the text, so a change of one source line is a
// change of one line. Never fails on missing or odd keys; the same document read from any
// layout of its file gives the same text. With `hand_over`, the text is handed to it in pieces
// of about a megabyte as it grows (it takes what `out` holds and leaves it empty); what is left
// at the end stays in `out`. Outputs held as text are read into copies, not kept read. Throws
// TypeError, before writing anything, for a document whose shape the lines cannot show (not an
// object; "cells", "metadata", its "canvas" or the canvas "parameters" of another type): its
// text is for textconv_unreadable().
void textconv(const json::Value& notebook, std::string& out,
              const std::function<void(std::string&)>& hand_over = {});

// The textconv text of a file that cannot be read as a notebook (not JSON, not UTF-8, truncated,
// holding a merge's conflict markers), appended to `out`: nothing for an empty file; else one
// line "(not a notebook: <problem>)" and then the file's own lines, each made printable
// (qor/printable.h) so that they diff line by line like any text and cannot act on a terminal.
void textconv_unreadable(std::string_view bytes, std::string_view problem, std::string& out);

}  // namespace qor::diff

#endif  // QOR_VIEWS_VIEWS_H_
