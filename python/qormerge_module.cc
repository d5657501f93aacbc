// Module qor_kelm_git.scripts.qormerge: the qormerge command for `python3 -m`. Importing it
// only performs its imports; main() runs the same C++ command as the qormerge executable.
#include <pybind11/pybind11.h>

#include <iostream>

#include "driver/qormerge_cli.h"
#include "py_args.h"
#include "py_errors.h"
#include "py_json.h"
#include "qor/program.h"

namespace pyb = pybind11;

namespace {

const qor::py::Signature kMain{"main", {{"argv", false}}};

}  // namespace

PYBIND11_MODULE(qormerge, m) {
  pyb::options options;
  options.disable_function_signatures();
  qor::py::register_error_translator();
  m.doc() = "The qormerge merge driver: `python3 -m qor_kelm_git.scripts.qormerge --help`.";
  // The imports of the command, done when the module loads.
  pyb::module_::import("argparse");
  pyb::module_::import("logging");
  pyb::module_::import("qor_kelm_git.drivers").attr("merge_files");
  m.def(
      "main",
      [](const pyb::args& args, const pyb::kwargs& kwargs) {
        auto v = qor::py::bind_args(kMain, args, kwargs);
        pyb::object argv = v[0] && !v[0].is_none()
                               ? v[0]
                               : pyb::module_::import("sys").attr("argv")[pyb::slice(1, {}, {})];
        std::vector<std::string> words;
        // As the command receives them: the bytes os.fsencode() gives.
        for (pyb::handle a : argv) words.push_back(qor::py::fs_path(a));
        pyb::module_::import("sys").attr("stdout").attr("flush")();
        pyb::module_::import("sys").attr("stderr").attr("flush")();
        // SIGTERM and SIGHUP clean up as for the executable; Python keeps its own SIGINT.
        qor::program::install_signal_cleanup(true);
        pyb::gil_scoped_release nogil;
        const int status = qor::cli::qormerge_main(words, std::cout, std::cerr);
        std::cout.flush();
        return status;
      },
      qor::py::function_doc(kMain,
                            "Run qormerge with `argv` (default: sys.argv[1:]); returns the exit "
                            "status.")
          .c_str());
}
