// The command's flow over the notebooks: read each with its versions, then list, decide from the
// shell, or serve the page; write only notebooks whose result passes the checks.
#include "resolve/command.h"

#include <memory>
#include <set>

#include "qor/errors.h"
#include "resolve/server.h"
#include "resolve/session.h"
#include "views/changes.h"

namespace qor::resolve {
namespace {

using diff::detail::display;

// The notebooks to resolve. One that cannot be taken (not JSON, merged as text, deleted on one
// side) is named on `err` with why, counted in `skipped`, and left out: the others go on.
std::vector<std::unique_ptr<NotebookFile>> open_notebooks(const CommandOptions& options,
                                                          std::ostream& err, int& skipped) {
  std::vector<std::unique_ptr<NotebookFile>> notebooks;
  if (options.mergetool) {
    const std::vector<std::string>& f = *options.mergetool;
    notebooks.push_back(
        std::make_unique<NotebookFile>(f[3], f[3], stages_from_files(f[0], f[1], f[2], f[3])));
    return notebooks;
  }
  std::vector<std::pair<std::string, std::string>> files;
  if (options.paths.empty()) {
    files = unmerged_notebooks();
  } else {
    for (const std::string& path : options.paths) files.emplace_back(path, path);
  }
  for (const auto& [shown, file] : files) {
    try {
      notebooks.push_back(std::make_unique<NotebookFile>(
          shown, file, stages_from_index(file, shown).value_or(Stages{})));
    } catch (const Error& e) {
      err << "qorgit resolve: " << printable_line(e.what()) << " (left out)\n";
      ++skipped;
    }
  }
  return notebooks;
}

std::string choices(const Conflict& c) {
  std::string text;
  for (const auto& [take, possible] :
       {std::pair{Take::kCurrent, c.can_current}, std::pair{Take::kIncoming, c.can_incoming},
        std::pair{Take::kBoth, c.can_both}, std::pair{Take::kEdit, c.can_edit}}) {
    if (possible) text += (text.empty() ? "" : ", ") + std::string(take_name(take));
  }
  return text;
}

void list_text(const NotebookFile& nb, std::ostream& out) {
  const Resolution& r = nb.resolution();
  const std::string path = display(nb.shown());
  out << path << ": " << r.left() << " of " << r.conflicts().size() << " left\n";
  for (const Conflict& c : r.conflicts()) {
    out << "  " << c.key << "  " << display(c.label) << "  [" << choices(c) << "]\n";
  }
  for (const ReviewItem& item : r.review()) {
    out << "  review: " << display(item.text) << "\n";
  }
}

std::set<const NotebookFile*> decide_from_shell(
    const CommandOptions& options, std::vector<std::unique_ptr<NotebookFile>>& notebooks,
    std::ostream& err) {
  // A selector must name a conflict in one of the notebooks at least.
  std::vector<std::string> unmatched;
  for (const auto& group : options.takes) {
    for (const auto& name : group.components) {
      bool found = false;
      for (const auto& nb : notebooks) {
        try {
          nb->resolution().select({name}, {});
          found = true;
        } catch (const ValueError&) {
        }
      }
      if (!found) unmatched.push_back("component " + name);
    }
    for (const auto& name : group.parameters) {
      bool found = false;
      for (const auto& nb : notebooks) {
        try {
          nb->resolution().select({}, {name});
          found = true;
        } catch (const ValueError&) {
        }
      }
      if (!found) unmatched.push_back("parameter " + name);
    }
  }
  if (!unmatched.empty()) {
    throw ValueError(
        "no conflict of a " + display(unmatched.front()) + " in " +
        (notebooks.size() == 1 ? display(notebooks.front()->shown()) : "these notebooks"));
  }
  std::set<const NotebookFile*> refused;
  for (auto& nb : notebooks) {
    Resolution& r = nb->resolution();
    std::vector<std::string> decided;
    for (const auto& group : options.takes) {
      std::vector<std::string> keys;
      if (group.components.empty() && group.parameters.empty()) {
        keys = r.select({}, {});
      } else {
        for (const auto& name : group.components) {
          try {
            for (auto& k : r.select({name}, {})) keys.push_back(k);
          } catch (const ValueError&) {
          }
        }
        for (const auto& name : group.parameters) {
          try {
            for (auto& k : r.select({}, {name})) keys.push_back(k);
          } catch (const ValueError&) {
          }
        }
      }
      const bool everything = group.components.empty() && group.parameters.empty();
      for (const std::string& key : keys) {
        if (everything && std::find(decided.begin(), decided.end(), key) != decided.end()) {
          continue;
        }
        try {
          r.decide(key, Decision{group.take, {}});
          decided.push_back(key);
        } catch (const ValueError& e) {
          err << "qorgit resolve: " << display(e.what()) << "\n";
          refused.insert(nb.get());
        }
      }
    }
  }
  return refused;
}

}  // namespace

int run_command(const CommandOptions& options, std::ostream& out, std::ostream& err) {
  int skipped = 0;
  std::vector<std::unique_ptr<NotebookFile>> notebooks = open_notebooks(options, err, skipped);
  // A notebook left out is left unresolved: the exit status says so whatever the others give.
  const auto status_with_skipped = [&](int status) {
    return skipped != 0 ? std::max(status, 1) : status;
  };
  if (notebooks.empty() && skipped != 0) return 1;
  if (notebooks.empty()) {
    // A notebook added (git add) with conflicts left is no longer unmerged: say where to look.
    out << "qorgit resolve: no unmerged notebooks (for one already added with conflicts left, "
           "give its path; qorgit check lists them)\n";
    return 0;
  }
  const notebook::Layout layout = recorded_layout();
  const bool add = options.add && !options.mergetool;
  if (options.list) {
    bool left = false;
    if (options.json) {
      json::Array list;
      for (std::size_t i = 0; i < notebooks.size(); ++i) {
        list.push_back(notebook_state(*notebooks[i], i));
      }
      out << json::write(json::Value(json::Object{{"notebooks", json::Value(std::move(list))}}))
          << "\n";
    }
    for (const auto& nb : notebooks) {
      if (!options.json) list_text(*nb, out);
      left = left || nb->resolution().left() != 0;
    }
    return status_with_skipped(left ? 1 : 0);
  }
  if (!options.takes.empty()) {
    // A decision refused leaves its notebook unwritten, even when a later --take covers the
    // conflict: the result would not be the one asked for.
    const std::set<const NotebookFile*> refused = decide_from_shell(options, notebooks, err);
    int status = 0;
    for (auto& nb : notebooks) {
      if (refused.contains(nb.get())) {
        err << "qorgit resolve: " << display(nb->shown()) << ": not written\n";
        status = 1;
        continue;
      }
      const std::vector<std::string> left = nb->resolution().problems();
      if (!left.empty()) {
        for (const std::string& p : left) {
          err << display(nb->shown()) << ": left: " << display(p) << "\n";
        }
        err << "qorgit resolve: " << display(nb->shown()) << ": not written\n";
        status = 1;
        continue;
      }
      nb->save(layout);
      const bool staged = add && in_work_tree(nb->file());
      if (staged) stage(nb->file());
      const std::size_t resolved = nb->resolution().conflicts().size();
      out << "qorgit resolve: " << display(nb->shown()) << ": " << resolved
          << (resolved == 1 ? " conflict" : " conflicts") << " resolved, written"
          << (staged ? " and staged" : "") << "\n";
    }
    return status_with_skipped(status);
  }
  ServeOptions serve_options;
  serve_options.open_browser = options.open_browser;
  serve_options.idle_timeout = options.idle_timeout;
  serve_options.announce = [&](const std::string& url) {
    out << "qorgit resolve: the page is at " << url << "\n";
    out.flush();
  };
  serve_options.save = [&](NotebookFile& nb) {
    nb.save(layout);
    if (add && in_work_tree(nb.file())) stage(nb.file());
  };
  const bool all = serve(notebooks, serve_options);
  for (const auto& nb : notebooks) {
    if (nb->saved()) {
      out << "qorgit resolve: " << display(nb->shown()) << ": written" << (add ? " and staged" : "")
          << "\n";
    } else {
      err << "qorgit resolve: " << display(nb->shown()) << ": not saved, left as it was\n";
    }
  }
  return status_with_skipped(all ? 0 : 1);
}

}  // namespace qor::resolve
