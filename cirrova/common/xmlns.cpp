#include "xmlns.h"

#include "pyutil.h"

namespace cirrova {

std::string xml_namespace(nb::handle element) {
    nb::object tag = getattr(element, CIRROVA_STR("tag"));
    if (!PyUnicode_Check(tag.ptr())) return {};
    std::string_view t = utf8(tag);
    if (t.empty() || t[0] != '{') return {};
    size_t close = t.find('}');
    if (close == std::string_view::npos) return {};
    return std::string(t.substr(0, close + 1));
}

}  // namespace cirrova
