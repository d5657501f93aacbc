// What a program built on the core sets up for itself before it runs an operation. A library
// caller leaves these alone: they change process-wide signal dispositions and descriptors.
#ifndef QOR_PROGRAM_H_
#define QOR_PROGRAM_H_

#include <string_view>

namespace qor::program {

// Installs handlers for SIGINT, SIGTERM and SIGHUP that pass the signal on to a running git,
// remove the temporary files and directories of the operations in progress, and end the process
// by the same signal. Ignores SIGPIPE and SIGXFSZ, so that a closed output and a file-size limit
// are write errors like any other (the operation fails or carries on, the process is not
// killed). With `keep_other_handlers`, a signal whose action is not the default keeps it (for a
// program that runs inside a Python interpreter, which handles SIGINT itself).
void install_signal_cleanup(bool keep_other_handlers = false);

// Lets the operations read their input files through read-only mappings of the files where
// nobody changes a file while it is read (the versions git hands a merge driver), which spares
// copying them: installs a handler for SIGBUS, the signal a thread gets when it reads a mapped
// page that the file no longer has. Should that happen, the process does the clean-up of
// install_signal_cleanup(), prints `error_prefix` (at most 64 bytes, "<program>: error: ")
// followed by the error the operation gives for a file it cannot read ("[Errno 5]
// Input/output error: '<path>'", after the file's name), and exits with status 1 (the file
// being written is left as it was, unless it was already replaced). Without this call, files
// are always copied. Not for a library caller.
void guard_mapped_inputs(std::string_view error_prefix);

// Opens /dev/null on whichever of the standard descriptors 0, 1 and 2 is closed, so that no
// file the program opens later takes their place and receives its messages. It is opened for
// reading only, so that writing to a closed output still fails.
void open_standard_descriptors();

// For a program that runs one operation and exits: the allocator's heaps grow in steps of
// 64 MB of address space instead of a page or so at a time, and keep what is freed. Each
// growth step takes the process's memory-map lock for writing, so it waits for, and holds up,
// the other threads' mappings and the population of their file buffers; the merge's reading
// and building threads otherwise take dozens of them at once. Memory is only committed as it
// is touched, so the resident size does not grow. Left as it is under a limit on the address
// space or data size, or with strict overcommit accounting.
void grow_heaps_in_large_steps();

}  // namespace qor::program

#endif  // QOR_PROGRAM_H_
