// The resolution of one merged notebook's conflicts: what is left in it (conflict blocks,
// components and parameters marked "<<< " / ">>> ", parent records that name no component),
// grouped into conflicts as the conflict scan counts them; the decisions taken on them; the
// notebook those decisions give; and the checks it must pass before it may be written. The shell
// command and the page's handlers both work through this one class.
#ifndef QOR_TOOLS_RESOLVE_RESOLUTION_H_
#define QOR_TOOLS_RESOLVE_RESOLUTION_H_

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "qor/json.h"

namespace qor::resolve {

// The three versions a merge started from, as far as they are known: base, current and
// incoming. A missing version (a side that did not have the file) is an empty notebook; an
// unknown one (the notebook is not being merged) is nullopt.
struct Stages {
  std::optional<json::Value> base, current, incoming;
};

enum class ConflictKind {
  kBlock,      // a conflict block in a cell's source
  kComponent,  // components marked "<<< " / ">>> ": two versions of one component (the current
               // cell and the incoming conflict copy), a component kept against a deletion, or
               // two components whose names collide
  kParameter,  // canvas parameters marked "<<< " / ">>> "
  kParent,     // a parent record that names no component
};

// "conflict block", "component", "parameter", "dangling parent".
const char* kind_name(ConflictKind kind);

// What a decision takes.
enum class Take {
  kCurrent,   // the current side's version
  kIncoming,  // the incoming side's version
  kBoth,      // both: the two sides' lines of a block, one after the other; both components,
              // each under its own name
  kEdit,      // a text of the user's: a block's lines, a component's source, a parameter's value
};

// "current", "incoming", "both", "edit"; and the reverse (nullopt for another word).
const char* take_name(Take take);
std::optional<Take> take_from_name(std::string_view name);

struct Decision {
  Take take = Take::kCurrent;
  std::string text;  // for kEdit
};

// One conflict, as the notebook holds it when the resolution starts.
struct Conflict {
  std::string key;  // "1", "2", ... in notebook order: cells first, then the parameters
  ConflictKind kind = ConflictKind::kBlock;
  std::size_t cell = 0;  // the (first) cell concerned, from 0; for parameters the position in
                         // the parameter list
  std::string name;      // the unmarked name of the component or parameter ("" when unnamed)
  std::string label;     // how people see it: "cell 3 (train): conflict block, source lines 2-6"
  std::vector<std::string> component_ids;  // the components concerned (for the graph)
  std::string what;  // for components: "two versions", "kept against a deletion",
                     // "names collide"
  // The versions as text for people (sources with their names, parents, outputs summarised as
  // kind and size): nullopt where that side has no version.
  std::optional<std::string> base, current, incoming;
  bool can_current = true;   // whether Take::kCurrent is possible
  bool can_incoming = true;  // whether Take::kIncoming is possible
  bool can_both = false;     // whether Take::kBoth is possible
  bool can_edit = false;     // whether Take::kEdit is possible
  std::string edit_start;    // the text an edit starts from
};

// Something the merge decided by itself that a person may want to look at; no decision needed.
struct ReviewItem {
  std::size_t cell = 0;
  std::string component_id;
  std::string text;  // "cell 4 (plot): the incoming header colour \"#f00\" was not taken"
};

namespace detail {

// What a conflict is, beyond what people see of it.
struct ConflictDetail {
  // Blocks: the lines [first, last] of the cell's source, from 0.
  std::size_t first = 0, last = 0;
  // Components: the marked cells, in notebook order; `copy` marks an incoming conflict copy of
  // the cell before it (a ">>> " cell right after a "<<< " cell whose id no version knows).
  struct Member {
    std::size_t cell = 0;
    std::string cid;
    std::string name;  // unmarked
    bool current = false;
    bool copy = false;
  };
  std::vector<Member> members;
  // Parameters: their positions in the parameter list, and whether each is the current side's.
  std::vector<std::pair<std::size_t, bool>> parameters;
  // Dangling parents: the id the record names.
  std::string parent_id;
};

}  // namespace detail

class Resolution {
 public:
  // Starts from `working` (the notebook as it is now, hand edits included) and the versions of
  // `stages`; `path` names the notebook in texts. Throws TypeError or KeyError when `working`
  // is not a notebook (an object with a "cells" list).
  Resolution(json::Value working, Stages stages, std::string path);

  const std::string& path() const { return path_; }
  const std::vector<Conflict>& conflicts() const { return conflicts_; }
  const std::vector<ReviewItem>& review() const { return review_; }
  const std::map<std::string, Decision>& decisions() const { return decisions_; }

  // The conflicts whose component (by name or component id) or parameter (by name) is one of
  // `components` or `parameters`; every conflict when both are empty. Throws ValueError naming
  // a selector that matches no conflict.
  std::vector<std::string> select(const std::vector<std::string>& components,
                                  const std::vector<std::string>& parameters) const;

  // Takes `decision` for the conflict `key`, replacing an earlier one; nullopt withdraws it.
  // Throws ValueError when there is no such conflict or it does not allow the decision ("both"
  // where the two cannot stand together, an edit of a dangling parent).
  void decide(const std::string& key, const std::optional<Decision>& decision);

  // The notebook as the decisions taken so far make it.
  const json::Value& result() const { return result_; }
  // What the result of conflict `key` is under its decision, as text for people; nullopt when
  // it has none.
  std::optional<std::string> result_text(const std::string& key) const;

  // Why the result may not be written yet, one line each, empty when it may: conflicts without a
  // decision, and what the checks find (markers or marked names left, component ids that are
  // not unique, parent records that name no component, a cycle among parents, a cell that is
  // not a notebook cell).
  std::vector<std::string> problems() const;

  // The number of conflicts without a decision.
  std::size_t left() const { return conflicts_.size() - decisions_.size(); }

 private:
  // What component and parent decisions do to the cells (defined with rebuild()).
  struct CellEdits;

  // rebuild() and its steps, in its order.
  void rebuild();
  void decide_blocks(json::Array& cells);
  void decide_components(const json::Array& cells, CellEdits& edits);
  void decide_parents(json::Array& cells, CellEdits& edits);
  static json::Array edited_cells(json::Array& cells, CellEdits& edits);
  void decide_parameters(json::Value& doc);

  std::string path_;
  json::Value working_;
  Stages stages_;
  std::vector<Conflict> conflicts_;
  std::vector<detail::ConflictDetail> details_;  // beside conflicts_
  std::vector<ReviewItem> review_;
  std::map<std::string, Decision> decisions_;
  json::Value result_;
  std::map<std::string, std::string> result_texts_;
};

// The checks a resolved notebook must pass before it is written, one line each (empty: it
// passes): no conflict block or marked name left, unique component ids and cell ids, every
// parent record naming a component, no cycle among parents, cells that are objects with a
// "cell_type", a "source" and a "metadata" object.
std::vector<std::string> check_notebook(const json::Value& doc);

}  // namespace qor::resolve

#endif  // QOR_TOOLS_RESOLVE_RESOLUTION_H_
