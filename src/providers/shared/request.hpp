#pragma once

#include <string>
#include <string_view>

#include "model/http.hpp"

namespace dapplewick {

// The usual API read: a GET of `url` carrying the credential header, then "Accept: application/json", then the
// User-Agent, in that order, with the default timeout and no body.
HTTPRequest jsonGet(std::string url, HTTPHeader credential, std::string_view userAgent);

}  // namespace dapplewick
