#include "replacing_file.h"

#include "pyutil.h"

namespace cirrova {

ReplacingFile::ReplacingFile(nb::handle path) {
    os_ = steal_or_throw(PyImport_ImportModule("os"));
    nb::object ospath = getattr(os_, CIRROVA_STR("path"));
    nb::object open = import_attr("builtins", "open");
    // A device, a pipe and the like (os.devnull) are written in place:
    // renaming over them would replace the node itself.
    if (truthy(call_method(ospath, CIRROVA_STR("exists"), {path.ptr()})) &&
        !truthy(call_method(ospath, CIRROVA_STR("isfile"), {path.ptr()}))) {
        f_ = vcall(open, {path.ptr(), CIRROVA_STR("wb")});
        write_ = getattr(f_, CIRROVA_STR("write"));
        return;
    }
    // Through a symbolic link the file it names is replaced, not the link.
    path_ = call_method(ospath, CIRROVA_STR("realpath"), {path.ptr()});
    nb::object parts = call_method(ospath, CIRROVA_STR("split"), {path_.ptr()});
    nb::object dir = steal_or_throw(PySequence_GetItem(parts.ptr(), 0));
    nb::object base = steal_or_throw(PySequence_GetItem(parts.ptr(), 1));
    nb::object six = nb::int_(6);
    // A fresh name, created exclusively: nothing that exists is overwritten.
    for (int attempt = 0;; ++attempt) {
        nb::object random = call_method(os_, CIRROVA_STR("urandom"), {six.ptr()});
        nb::object token = call_method(random, CIRROVA_STR("hex"), {});
        nb::object name = steal_or_throw(PyUnicode_FromFormat(".%S.%U.part", base.ptr(), token.ptr()));
        nb::object temp = call_method(ospath, CIRROVA_STR("join"), {dir.ptr(), name.ptr()});
        try {
            f_ = vcall(open, {temp.ptr(), CIRROVA_STR("xb")});
        } catch (nb::python_error& e) {
            if (attempt < 16 && e.matches(PyExc_FileExistsError)) continue;
            throw;
        }
        temp_ = std::move(temp);
        break;
    }
    write_ = getattr(f_, CIRROVA_STR("write"));
}

ReplacingFile::~ReplacingFile() {
    if (f_.is_valid()) run_keeping_error([this] { close(); });
    if (temp_.is_valid()) run_keeping_error([this] { call_method(os_, CIRROVA_STR("unlink"), {temp_.ptr()}); });
}

void ReplacingFile::write(nb::handle data) { vcall(write_, {data.ptr()}); }

void ReplacingFile::rewrite(nb::handle data) {
    call_method(f_, CIRROVA_STR("seek"), {nb::int_(0).ptr()});
    write(data);
    call_method(f_, CIRROVA_STR("truncate"), {});
}

void ReplacingFile::close() {
    nb::object f = std::move(f_);
    write_.reset();
    call_method(f, CIRROVA_STR("close"), {});
}

void ReplacingFile::commit() {
    close();
    if (!temp_.is_valid()) return;  // written in place
    // A file that is replaced keeps its permissions (a private copy stays private).
    try {
        nb::object st = call_method(os_, CIRROVA_STR("stat"), {path_.ptr()});
        nb::object mode = getattr(st, CIRROVA_STR("st_mode"));
        nb::object mask = nb::int_(07777);
        nb::object bits = steal_or_throw(PyNumber_And(mode.ptr(), mask.ptr()));
        call_method(os_, CIRROVA_STR("chmod"), {temp_.ptr(), bits.ptr()});
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_FileNotFoundError)) throw;  // nothing there yet
    }
    call_method(os_, CIRROVA_STR("replace"), {temp_.ptr(), path_.ptr()});
    temp_.reset();
}

}  // namespace cirrova
