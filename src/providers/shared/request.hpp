#pragma once

#include <string>
#include <string_view>

#include "common/url.hpp"
#include "model/http.hpp"

namespace dapplewick {

// The usual API read: a GET of `url` carrying the credential header, then "Accept: application/json", then the
// User-Agent, in that order, with the default timeout and no body.
HTTPRequest jsonGet(std::string url, HTTPHeader credential, std::string_view userAgent);
// "Authorization: Bearer TOKEN".
HTTPHeader bearerHeader(std::string_view token);

// An "application/x-www-form-urlencoded" body from ordered name-value pairs: each name and value percent-encoded
// but for the unreserved characters (a space is "%20", and "+", "/", "=" and "&" are escaped, so a form reader
// gives every value back unchanged), pairs joined by "&".
std::string formEncode(const QueryItems& pairs);

}  // namespace dapplewick
