#pragma once

#include <string>
#include <string_view>

#include "model/provider.hpp"

namespace dapplewick {

// Drops one leading "web:" (tested first) or "api:"; anything else is returned unchanged. Nothing is trimmed.
std::string_view stripKindPrefix(std::string_view credential);

// The usual preparation of a stored credential: one kind prefix dropped, then white space and line breaks trimmed
// from both ends. An empty result means there is no usable credential.
std::string prepareCredential(std::string_view credential);

// The credential-kind test for a credential without a "web:" or "api:" prefix: true for an API key, false for a
// browser session (text containing "=" or, ignoring ASCII case, "cookie").
bool isAPIKeyCredential(std::string_view credential, Provider provider);

}  // namespace dapplewick
