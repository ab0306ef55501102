// Default-namespace detection in XML replies parsed by ElementTree.
#pragma once

#include <nanobind/nanobind.h>

#include <string>

namespace cirrova {

// "{uri}" when the element's tag is namespace-qualified ("{uri}Name"),
// else "". Element paths such as ns + "Contents" then match either form.
std::string xml_namespace(nanobind::handle element);

}  // namespace cirrova
