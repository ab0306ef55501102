// BellwynClient: the COS preset of KorvexClient.
#pragma once

#include <nanobind/nanobind.h>

#include <string_view>

#include "common/pyfunc.h"

namespace cirrova::bellwyn {

// Regional endpoints are "https://cos." + region + "." + kDomain.
inline constexpr std::string_view kEndpointPrefix = "https://cos.";
inline constexpr std::string_view kDomain = "myqcloud.com";
inline constexpr const char* kDefaultRegion = "ap-guangzhou";

nb::object init(Args& a);       // __init__
nb::object secret_id(Args& a);  // property: access_key
nb::object cos_bucket(Args& a); // property: bucket
nb::object appid(Args& a);      // property: text after the bucket's last "-"

}  // namespace cirrova::bellwyn
