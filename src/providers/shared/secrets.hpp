#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "model/environment.hpp"

namespace dapplewick {

// What a service's credential shows a server, as each table line names it: the engine redacts these from every
// error text and note, in whatever form a server echoes them. Each takes the credential as the line's route
// passes it, and the environment for the services that read keys from it; none throws.

// An API key or token sent whole: the credential without its kind prefix, trimmed.
std::vector<std::string> keySecrets(std::string_view credential, const Environment& environment);

// A pasted Cookie header: each cookie value of kMinRedactedSecretBytes or more, so that the cookie names stay
// readable; the whole credential, as keySecrets gives it, only when it holds no such value (a bare token).
std::vector<std::string> cookieSecrets(std::string_view credential, const Environment& environment);

}  // namespace dapplewick
