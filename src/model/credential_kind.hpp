#pragma once

#include <string_view>

#include "model/provider.hpp"

namespace dapplewick {

// The credential-kind test for a credential without a "web:" or "api:" prefix: true for an API key, false for a
// browser session (text containing "=" or, ignoring ASCII case, "cookie").
bool isAPIKeyCredential(std::string_view credential, Provider provider);

}  // namespace dapplewick
