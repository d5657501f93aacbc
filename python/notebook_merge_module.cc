// Module qor_kelm_git.drivers.notebook_merge: MergeCell, the cell difference `_cell_changed`
// and the difference markers. Debug records of the core go to Python's root logger.
#include <pybind11/pybind11.h>

#include "py_args.h"
#include "py_cell.h"
#include "py_errors.h"
#include "py_json.h"
#include "py_tree.h"
#include "qor/errors.h"
#include "qor/log.h"
#include "qor/merge.h"

namespace pyb = pybind11;
using qor::py::MergeCellHolder;
using qor::py::PyTree;
using PyMergeCell = qor::merge::BasicMergeCell<PyTree>;

namespace {

// A marker of a difference; printed as "$insert", "$delete" or "$replace".
struct Symbol {
  std::string label;
};

PyMergeCell view(const MergeCellHolder& self) {
  const MergeCellHolder& state = qor::py::initialised(self);
  return PyMergeCell(state.data, qor::merge::side_from_name(state.file_type));
}

qor::py::Markers markers(const pyb::module_& m) {
  return {m.attr("insert"), m.attr("delete"), m.attr("replace")};
}

// Whether the root logger wants debug records, as asked once when a whole merge starts
// (-1: ask Python each time). Per thread: each merge runs on its caller's thread.
thread_local int debug_for_this_merge = -1;

bool root_logger_wants_debug() {
  pyb::object root = pyb::module_::import("logging").attr("getLogger")();
  return root.attr("isEnabledFor")(10).cast<bool>();
}

void connect_root_logger() {
  // The merge may run without the GIL; the sink takes it back for Python's logging.
  qor::log::set_debug_sink({
      [] {
        if (debug_for_this_merge >= 0) return debug_for_this_merge == 1;
        pyb::gil_scoped_acquire gil;
        return root_logger_wants_debug();
      },
      [](std::string_view record) {
        pyb::gil_scoped_acquire gil;
        pyb::module_::import("logging").attr("debug")(qor::py::make_str(record));
      },
  });
}

// The module's GitCommandError class, created at import.
PyObject* git_command_error = nullptr;

// git's report of conflicts from Git.merge_file: Python callers expect it as an error,
// GitCommandError, the way GitPython's runner reports a non-zero exit status.
struct GitConflicts {
  std::string command;
  int status;
  std::string stderr_text;
};

// Raises GitConflicts as GitCommandError, with GitPython's message and the attributes callers
// inspect.
void translate_git_errors(std::exception_ptr p) {
  try {
    std::rethrow_exception(p);
  } catch (const GitConflicts& e) {
    const std::string message =
        "Cmd('git') failed due to: exit code(" + std::to_string(e.status) +
        ")\n  cmdline: " + e.command +
        (e.stderr_text.empty() ? std::string() : "\n  stderr: " + qor::py_quote(e.stderr_text));
    pyb::object exc = pyb::reinterpret_borrow<pyb::object>(git_command_error)(message);
    exc.attr("command") = e.command;
    exc.attr("status") = e.status;
    exc.attr("stderr") = qor::py::make_str(e.stderr_text);
    exc.attr("stdout") = "";
    PyErr_SetObject(git_command_error, exc.ptr());
  }
}

// A runner over any Python object with a `merge_file` method (our Git, GitPython's
// git.cmd.Git, ...). An exception whose class is named GitCommandError is git's report of
// conflicts; any other exception passes through.
class PythonRunner : public qor::merge::GitRunner {
 public:
  explicit PythonRunner(pyb::object runner) : runner_(std::move(runner)) {}

  qor::merge::MergeFileStatus merge_file(const std::vector<std::string>& args) override {
    pyb::tuple paths(args.size());
    for (std::size_t i = 0; i < args.size(); ++i) paths[i] = qor::py::make_str(args[i]);
    try {
      runner_.attr("merge_file")(*paths);
    } catch (pyb::error_already_set& e) {
      if (pyb::str(e.type().attr("__name__")).cast<std::string>() == "GitCommandError") {
        return {1, ""};
      }
      throw;
    }
    return {};
  }

 private:
  pyb::object runner_;
};

std::vector<std::string> text_lines(const pyb::object& list) {
  std::vector<std::string> lines;
  const Py_ssize_t n = PyList_GET_SIZE(list.ptr());
  lines.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PyList_GET_ITEM(list.ptr(), i);
    if (!PyUnicode_Check(item)) {
      PyErr_Format(PyExc_TypeError, "sequence item %zd: expected str instance, %.80s found", i,
                   Py_TYPE(item)->tp_name);
      throw pyb::error_already_set();
    }
    lines.push_back(qor::py::str_text(item));
  }
  return lines;
}

std::optional<std::string> optional_text(const pyb::object& value) {
  if (!value || value.is_none()) return std::nullopt;
  return qor::py::str_text(value);
}

std::string path_text(const pyb::handle& value) {
  pyb::object path = pyb::reinterpret_steal<pyb::object>(PyOS_FSPath(value.ptr()));
  if (!path) throw pyb::error_already_set();
  if (!PyUnicode_Check(path.ptr())) {
    throw qor::TypeError("git arguments must be str or os.PathLike, not " +
                         std::string(Py_TYPE(value.ptr())->tp_name));
  }
  return qor::py::fs_path(path);
}

const qor::py::Signature kMergeCellInit{"__init__", {{"cell"}, {"file_type"}}};
const qor::py::Signature kAddConflictMark{"add_conflict_mark", {}};
const qor::py::Signature kGitInit{"__init__", {}};
const qor::py::Signature kMergeSource{"_merge_source",
                                      {{"g"},
                                       {"current"},
                                       {"base"},
                                       {"incoming"},
                                       {"current_name", false},
                                       {"incoming_name", false}}};
const qor::py::Signature kMergeFiles{
    "merge_files",
    {{"base_file_path"}, {"current_file_path"}, {"incoming_file_path"}, {"file_path"}}};
const qor::py::Signature kCellChanged{"_cell_changed", {{"cell0"}, {"cell1"}}};

}  // namespace

PYBIND11_MODULE(notebook_merge, m) {
  pyb::options options;
  options.disable_function_signatures();
  qor::py::register_error_translator();
  pyb::register_local_exception_translator(&translate_git_errors);
  connect_root_logger();
  pyb::module_::import("qor_kelm_git.drivers.common");
  m.doc() = "The three-way merge engine for pipeline notebooks.";

  pyb::class_<Symbol>(m, "Symbol", "A marker of a structural difference.")
      .def_property_readonly("label", [](const Symbol& s) { return s.label; })
      .def("__repr__", [](const Symbol& s) { return "$" + s.label; })
      .def("__str__", [](const Symbol& s) { return "$" + s.label; });
  m.attr("insert") = pyb::cast(Symbol{"insert"});
  m.attr("delete") = pyb::cast(Symbol{"delete"});
  m.attr("replace") = pyb::cast(Symbol{"replace"});

  pyb::class_<MergeCellHolder, qor::py::CellHolder> merge_cell(
      m, "MergeCell", pyb::dynamic_attr(),
      qor::py::class_doc("MergeCell", kMergeCellInit,
                         "Data structure to represent a cell that undergos merge process.")
          .c_str());
  merge_cell.attr("BASE") = qor::merge::kBaseName;
  merge_cell.attr("CURRENT") = qor::merge::kCurrentName;
  merge_cell.attr("INCOMING") = qor::merge::kIncomingName;
  merge_cell
      .def(pyb::init([](const pyb::args& args, const pyb::kwargs& kwargs) {
             auto v = qor::py::bind_args(kMergeCellInit, args, kwargs);
             qor::py::check_arg(v[0], "cell", &PyDict_Type);
             qor::py::check_arg(v[1], "file_type", &PyUnicode_Type);
             MergeCellHolder holder;
             holder.data = v[0];
             holder.file_type = qor::py::str_text(v[1]);
             qor::merge::side_from_name(holder.file_type);
             return holder;
           }),
           qor::py::method_doc(kMergeCellInit).c_str())
      .def_property_readonly("file_type",
                             [](const MergeCellHolder& self) {
                               return std::string(qor::merge::side_name(view(self).file_type()));
                             })
      .def_property_readonly(
          "_file_type",
          [](const MergeCellHolder& self) { return qor::py::initialised(self).file_type; })
      .def(
          "add_conflict_mark", [](const MergeCellHolder& self) { view(self).add_conflict_mark(); },
          qor::py::method_doc(kAddConflictMark,
                              "Change name adding '<<< ' when current cell.\n"
                              "Change name adding '>>> ' when incoming cell.")
              .c_str());

  git_command_error =
      PyErr_NewExceptionWithDoc("qor_kelm_git.drivers.notebook_merge.GitCommandError",
                                "git reported a non-zero exit status below 128 (for git "
                                "merge-file: the number of conflicts).",
                                nullptr, nullptr);
  m.attr("GitCommandError") = pyb::reinterpret_borrow<pyb::object>(git_command_error);

  pyb::class_<qor::merge::Git>(
      m, "Git", qor::py::class_doc("Git", kGitInit, "Runs the git program found on PATH.").c_str())
      .def(pyb::init([](const pyb::args& args, const pyb::kwargs& kwargs) {
             qor::py::bind_args(kGitInit, args, kwargs);
             return qor::merge::Git();
           }),
           qor::py::method_doc(kGitInit).c_str())
      .def(
          "merge_file",
          [](qor::merge::Git& self, const pyb::args& args) {
            std::vector<std::string> paths;
            for (pyb::handle a : args) paths.push_back(path_text(a));
            qor::merge::MergeFileStatus status;
            {
              pyb::gil_scoped_release nogil;
              status = self.merge_file(paths);
            }
            if (status.conflicts != 0) {
              std::string command = "git merge-file";
              for (const std::string& p : paths) command += " " + p;
              throw GitConflicts{std::move(command), status.conflicts, std::move(status.messages)};
            }
          },
          // Takes any number of paths, which a Signature cannot show: the text signature is
          // written out.
          "merge_file(self, *args)\n--\n\n"
          "Run `git merge-file` with the given paths. Raises GitCommandError when git reports "
          "conflicts (exit status 1 to 127), RuntimeError when git fails, OSError when it "
          "cannot be started.");

  m.def(
      "_merge_source",
      [](const pyb::args& args, const pyb::kwargs& kwargs) {
        auto v = qor::py::bind_args(kMergeSource, args, kwargs);
        for (std::size_t i = 1; i <= 3; ++i) {
          qor::py::check_arg(v[i], kMergeSource.params[i].name, &PyList_Type);
        }
        for (std::size_t i = 4; i <= 5; ++i) {
          if (v[i]) qor::py::check_arg(v[i], kMergeSource.params[i].name, &PyUnicode_Type, true);
        }
        const auto current = text_lines(v[1]), base = text_lines(v[2]), incoming = text_lines(v[3]);
        std::vector<std::string> lines;
        if (pyb::isinstance<qor::merge::Git>(v[0])) {
          auto* git = v[0].cast<qor::merge::Git*>();
          pyb::gil_scoped_release nogil;
          lines = qor::merge::merge_source(*git, current, base, incoming, optional_text(v[4]),
                                           optional_text(v[5]));
        } else {
          PythonRunner runner(v[0]);
          lines = qor::merge::merge_source(runner, current, base, incoming, optional_text(v[4]),
                                           optional_text(v[5]));
        }
        pyb::list result;
        for (const std::string& line : lines) result.append(qor::py::make_str(line));
        return result;
      },
      qor::py::function_doc(kMergeSource,
                            "Merge three versions of a cell's source lines with `git merge-file`, "
                            "run by `g`; conflict blocks are labelled `current_name` and "
                            "`incoming_name` when given.")
          .c_str());

  m.def(
      "merge_files",
      [](const pyb::args& args, const pyb::kwargs& kwargs) {
        auto v = qor::py::bind_args(kMergeFiles, args, kwargs);
        for (std::size_t i = 0; i < 4; ++i) {
          qor::py::check_arg(v[i], kMergeFiles.params[i].name, &PyUnicode_Type);
        }
        const std::string base = qor::py::fs_path(v[0]), current = qor::py::fs_path(v[1]),
                          incoming = qor::py::fs_path(v[2]), file_path = qor::py::str_text(v[3]);
        struct DebugOnce {
          explicit DebugOnce(bool on) { debug_for_this_merge = on ? 1 : 0; }
          ~DebugOnce() { debug_for_this_merge = -1; }
        } debug_once(root_logger_wants_debug());
        pyb::gil_scoped_release nogil;
        qor::merge::merge_files(base, current, incoming, file_path);
      },
      qor::py::function_doc(kMergeFiles, "Ipython Notebook Merge Driver main").c_str());

  m.def(
      "_cell_changed",
      [m](const pyb::args& args, const pyb::kwargs& kwargs) {
        auto v = qor::py::bind_args(kCellChanged, args, kwargs);
        for (const pyb::object& cell : v) {
          pyb::object parents = cell.attr("parents");
          qor::merge::strip_names<PyTree>(parents);
        }
        const qor::json::Value older = qor::py::to_value(v[0].attr("data"));
        const qor::json::Value newer = qor::py::to_value(v[1].attr("data"));
        return qor::py::from_delta(qor::merge::cell_difference(older, newer), markers(m));
      },
      qor::py::function_doc(kCellChanged,
                            "Return the structural difference of a cell from its older version "
                            "`cell0` to its newer version `cell1`, without the execution count. "
                            "Removes the parent names of both cells.")
          .c_str());
}
