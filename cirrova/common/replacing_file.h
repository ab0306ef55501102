// A file written in full before it takes the place of another.
#pragma once

#include <nanobind/nanobind.h>

namespace cirrova {

namespace nb = nanobind;

// Writes into a new temporary file next to `path` (same directory, so the
// final rename stays within one file system). commit() closes it and
// renames it over `path`; every other way out closes and removes it, so a
// failed download leaves the file at `path` as it was. Clean-up on a way
// out keeps the error that is propagating. Through a symbolic link the
// file it names is replaced; an existing path that is not a regular file
// or a directory (a device, a pipe) is written in place.
class ReplacingFile {
public:
    explicit ReplacingFile(nb::handle path);
    ReplacingFile(const ReplacingFile&) = delete;
    ReplacingFile& operator=(const ReplacingFile&) = delete;
    ~ReplacingFile();

    void write(nb::handle data);
    // The file's whole content becomes `data`.
    void rewrite(nb::handle data);
    void commit();

private:
    void close();

    nb::object os_;
    nb::object path_;   // the file to replace (links resolved)
    nb::object temp_;   // empty once renamed, or when writing in place
    nb::object f_;
    nb::object write_;
};

}  // namespace cirrova
